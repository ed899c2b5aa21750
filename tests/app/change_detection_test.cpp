#include "app/change_detection.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tarnix {
namespace {

using test::MakeDirs;
using test::TempDir;
using test::WriteFile;

class ChangeDetection : public ::testing::Test {
 protected:
  // A new pack over the files of `files` (name -> content), written to disk as sources.
  void Build(PackContents* pack, const std::vector<std::pair<std::string, std::string>>& files,
             CompressionType type = CompressionType::Compressed) {
    pack->compressionType = type;
    for (const auto& [name, content] : files) {
      std::string path = dir_ / ("src/" + name);
      WriteFile(path, content);
      pack->entries.emplace_back();
      pack->entries.back().setSource("root/" + name, path, static_cast<uint32_t>(content.size()), pack);
    }
  }
  // Writes a pack of `files` to pak_.
  void WriteOldPack(const std::vector<std::pair<std::string, std::string>>& files,
                    CompressionType type = CompressionType::Compressed) {
    PackContents old;
    Build(&old, files, type);
    ASSERT_TRUE(old.write(pak_, {}, nullptr)) << old.errorText;
  }
  // Writes a pack of `files` to pak_ and returns how a scan of `now` compares with it.
  PackCheck Compare(const std::vector<std::pair<std::string, std::string>>& files,
                    const std::vector<std::pair<std::string, std::string>>& now,
                    CompressionType before = CompressionType::Compressed,
                    CompressionType after = CompressionType::Compressed) {
    WriteOldPack(files, before);
    PackContents fresh;
    Build(&fresh, now, after);
    std::string error;
    return IsPackUnchanged(pak_, fresh, &error);
  }
  TempDir dir_;
  std::string pak_ = dir_ / "out.pak";
};

TEST_F(ChangeDetection, SameFilesInAnyOrderAreUnchanged) {
  EXPECT_EQ(Compare({{"a", "abc"}, {"b", "12"}}, {{"a", "abc"}, {"b", "12"}}), PackCheck::Unchanged);
  EXPECT_EQ(Compare({{"a", "abc"}, {"b", "12"}}, {{"b", "12"}, {"a", "abc"}}), PackCheck::Unchanged);
  EXPECT_EQ(Compare({}, {}, CompressionType::Uncompressed, CompressionType::Uncompressed),
            PackCheck::Unchanged);
}

TEST_F(ChangeDetection, AnyDifferenceIsAChange) {
  EXPECT_EQ(Compare({{"a", "abc"}}, {{"a", "abd"}}), PackCheck::Changed);  // same size
  EXPECT_EQ(Compare({{"a", "abc"}}, {{"A", "abc"}}), PackCheck::Changed);  // case counts
  EXPECT_EQ(Compare({{"a", "abc"}}, {{"a", "abc"}, {"b", ""}}), PackCheck::Changed);
  EXPECT_EQ(Compare({{"a", "abc"}, {"b", ""}}, {{"a", "abc"}}), PackCheck::Changed);
  EXPECT_EQ(Compare({{"a", "abc"}}, {{"a", "abc"}}, CompressionType::Compressed,
                    CompressionType::Uncompressed),
            PackCheck::Changed);
  EXPECT_EQ(Compare({}, {}, CompressionType::Uncompressed, CompressionType::Compressed),
            PackCheck::Changed);
}

TEST_F(ChangeDetection, NoPackOrNotAPack) {
  PackContents empty;
  empty.compressionType = CompressionType::Uncompressed;
  std::string error;
  EXPECT_EQ(IsPackUnchanged(dir_ / "none.pak", empty, &error), PackCheck::Changed);
  // Something that is not a pack compares as an empty uncompressed pack and is left alone.
  WriteFile(dir_ / "text.pak", "not a pack at all");
  EXPECT_EQ(IsPackUnchanged(dir_ / "text.pak", empty, &error), PackCheck::Unchanged);
  MakeDirs(dir_ / "adir.pak");
  EXPECT_EQ(IsPackUnchanged(dir_ / "adir.pak", empty, &error), PackCheck::Unchanged);
  empty.compressionType = CompressionType::Compressed;
  EXPECT_EQ(IsPackUnchanged(dir_ / "text.pak", empty, &error), PackCheck::Changed);
}

TEST_F(ChangeDetection, ADamagedTableIsRewrittenEvenForAnEmptyScan) {
  WriteFile(pak_, std::string("TRNX\x01\x00\x05\x00\x00\x00", 10) + "short");
  PackContents empty;
  empty.compressionType = CompressionType::Uncompressed;
  std::string error;
  EXPECT_EQ(IsPackUnchanged(pak_, empty, &error), PackCheck::Changed);
}

TEST_F(ChangeDetection, ASourceThatChangedSizeSinceTheListingIsAChange) {
  WriteOldPack({{"a", "abc"}});
  PackContents fresh;
  Build(&fresh, {{"a", "abc"}});
  fresh.entries[0].size = 2;  // the listing saw 2 bytes: the pack's checksum covers 3
  std::string error;
  EXPECT_EQ(IsPackUnchanged(pak_, fresh, &error), PackCheck::Changed);
}

TEST_F(ChangeDetection, AnUnreadableSourceFailsWithItsName) {
  WriteOldPack({{"a", "abc"}});
  PackContents fresh;
  Build(&fresh, {{"a", "abc"}});
  // A directory cannot be read as a file, for root too (POSIX opens it, then fails to read).
  MakeDirs(dir_ / "adir");
  fresh.entries[0].sourcePath = dir_ / "adir";
  std::string error;
  EXPECT_EQ(IsPackUnchanged(pak_, fresh, &error), PackCheck::Failed);
  EXPECT_EQ(error.rfind("Failed to ", 0), 0u) << error;
  EXPECT_NE(error.find((dir_ / "adir") + ": "), std::string::npos) << error;
}

TEST_F(ChangeDetection, DuplicateStoredNamesDoNotVouchForAnotherFile) {
  // Built by hand: two records named root/a, while the scan has root/a and root/b.
  PackContents fresh;
  Build(&fresh, {{"a", "abc"}, {"b", "xyz"}}, CompressionType::Uncompressed);
  std::string rec;
  auto record = [&rec](uint32_t offset) {
    rec += std::string("\x06\x00root/a", 8);
    for (uint32_t v : {offset, 3u, 0x359A672Fu}) {
      for (int i = 0; i < 4; ++i) rec += static_cast<char>(v >> (8 * i));
    }
  };
  record(50);
  record(53);
  WriteFile(pak_, std::string("TRNX\x01\x00\x02\x00\x00\x00", 10) + rec + "abcabc");
  std::string error;
  EXPECT_EQ(IsPackUnchanged(pak_, fresh, &error), PackCheck::Changed);
}

}  // namespace
}  // namespace tarnix

#include "app/driver.h"

#include <gtest/gtest.h>

#include <new>

#include "app/change_detection.h"
#include "pack/checksum.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;
using Files = std::vector<std::pair<std::string, std::string>>;
constexpr CompressionType Compressed = CompressionType::Compressed, Plain = CompressionType::Uncompressed;

int RunTool(const std::vector<std::string>& args, std::string* out, const EntryDataOptions& tuning = {}) {
  out->clear();
  Console console(out);
  return RunTarnix(args, console, tuning);
}

TEST(CommandLine, UsageRootNameAndOptions) {
  std::string out;
  EXPECT_EQ(RunTool({}, &out) + out.size(), 1u);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"Tarnix"}, {"Tarnix", "dir"}}) {
    EXPECT_EQ(RunTool(args, &out), 0);
    EXPECT_EQ(out, "Tarnix v1.00 - Packs multiple files into a Ombrel .pak file\n\nArguments:\n"
                   " -uc: Do not compress the resulting file.\n -v: Verify each file can be read back correctly.\n"
                   "\nUsage:\n Tarnix.exe <directory> <pack filename> [-uc] [-v]\n");
  }
  const std::pair<const char*, const char*> roots[] = {{"data/assets/", "assets"}, {"data\\assets", "assets"},
                                                       {"C:/", "C:"}, {".", "."}, {"assets//", ""}, {"", ""}};
  for (const auto& [directory, root] : roots) EXPECT_EQ(RootName(directory), root) << directory;
  TempDir dir;
  WriteFile(dir / "src/a.txt", "abc");
  const std::pair<std::vector<std::string>, int> options[] = {
      {{}, 1}, {{"-UC", "-V"}, 0}, {{"-uc"}, 0}, {{"-Uc", "-uC", "--uc", "/uc", "-verify"}, 1}};
  for (const auto& [extra, type] : options) {
    std::vector<std::string> args = {"Tarnix", dir / "src", dir / "o.pak"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(RunTool(args, &out), 0) << out;
    EXPECT_EQ(ReadFile(dir / "o.pak")[5], type);
  }
  // "-uc" in the directory's place is the directory.
  EXPECT_EQ(RunTool({"Tarnix", "-uc", dir / "new.pak", "out.pak"}, &out), 1);
  EXPECT_EQ(out, "Tarnix v1.00\nCannot read directory -uc: No such file or directory\n");
}

class ChangeDetection : public ::testing::Test {
 protected:
  // A scan of `files` (name -> content), written to disk as sources.
  void Scan(PackContents* pack, const Files& files, CompressionType type) {
    pack->compressionType = type;
    for (const auto& [name, content] : files) {
      WriteFile(dir_ / ("src/" + name), content);
      pack->entries.emplace_back();
      pack->entries.back().setSource("root/" + name, dir_ / ("src/" + name), static_cast<uint32_t>(content.size()), pack);
    }
  }
  // Packs `before` (unless empty), then compares a scan of `after` with what is at pak_.
  Status Compare(const Files& before, const Files& after, CompressionType was, CompressionType now,
                 bool verify = false, bool* unchanged = nullptr) {
    PackContents old, fresh, existing;
    Scan(&old, before, was);
    if (!before.empty() && !old.write(pak_, {})) ADD_FAILURE() << old.errorText;
    Scan(&fresh, after, now);
    if (after.size() == 1 && after[0].first == "dir") fresh.entries[0].sourcePath = dir_.path();
    bool ignored = false;
    return IsPackUnchanged(pak_, fresh, existing, verify, unchanged != nullptr ? unchanged : &ignored);
  }
  bool Unchanged(const Files& before, const Files& after, CompressionType was = Compressed,
                 CompressionType now = Compressed, bool verify = false) {
    bool unchanged = false;
    EXPECT_TRUE(Compare(before, after, was, now, verify, &unchanged).ok());
    return unchanged;
  }
  TempDir dir_;
  std::string pak_ = dir_ / "out.pak";
};

TEST_F(ChangeDetection, UnchangedOnlyWhenEveryNameAndChecksumAgree) {
  EXPECT_TRUE(Unchanged({{"a", "abc"}, {"b", "12"}}, {{"b", "12"}, {"a", "abc"}}));
  EXPECT_FALSE(Unchanged({{"a", "abc"}}, {{"a", "abd"}}));  // same size
  EXPECT_FALSE(Unchanged({{"a", "abc"}}, {{"A", "abc"}}));  // case counts
  EXPECT_FALSE(Unchanged({{"a", "abc"}}, {{"a", "abc"}, {"b", ""}}));
  EXPECT_FALSE(Unchanged({{"a", "abc"}, {"b", ""}}, {{"a", "abc"}}));
  EXPECT_FALSE(Unchanged({{"a", "abc"}}, {{"a", "abc"}}, Compressed, Plain));
  // Not a pack, or not one whose layout is whole: written anew.
  for (const std::string& bytes : {std::string("TRNX\1\0\0\0\0\0", 10), std::string("not a pack"),
                                   std::string("TRNX\1\0\0\0\0\0x", 11), std::string("TRNX\1\0\1\0\0\0", 10)}) {
    WriteFile(pak_, bytes);
    EXPECT_EQ(Unchanged({}, {}, Plain, Plain), bytes.size() == 10 && bytes[6] == 0) << bytes;
    EXPECT_FALSE(Unchanged({}, {}, Plain, Compressed));
  }
  // A source that cannot be read fails the run (a directory, for root too).
  Status failed = Compare({{"dir", "abc"}}, {{"dir", "abc"}}, Compressed, Compressed);
  EXPECT_EQ(failed.message(), "Failed to open " + dir_.path() + ": it is a directory, not a regular file");
}

TEST_F(ChangeDetection, WithVerifyTheStoredDataMustReadBack) {
  const std::string content = test::RandomBytes(5000, 2);
  EXPECT_TRUE(Unchanged({{"a", content}}, {{"a", content}}, Compressed, Compressed, true));
  std::string bytes = ReadFile(pak_);
  bytes[bytes.size() - 1] ^= 1;  // the Adler-32 of the only chunk
  WriteFile(pak_, bytes);
  EXPECT_TRUE(Unchanged({}, {{"a", content}}));
  EXPECT_FALSE(Unchanged({}, {{"a", content}}, Compressed, Compressed, true));
  // Data that decodes soundly, but not to what the table vouches for.
  test::MadeEntry other{"root/a", content};
  other.stored = test::Chunk(test::RandomBytes(5000, 3));
  WriteFile(pak_, test::MakePack({other}, true).bytes);
  EXPECT_FALSE(Unchanged({}, {{"a", content}}, Compressed, Compressed, true));
}

TEST(Driver, FailuresReportTheFileAndKeepTheOldPack) {
  TempDir dir;
  for (std::string name : {"a", "b", "c"}) WriteFile(dir / ("src/" + name), name + " entry");
  const std::string pak = dir / "old.pak";
  WriteFile(pak, "previous");
  EntryDataOptions damaging;
  damaging.chunkHook = [](size_t entry, size_t, uint8_t* framed, size_t) {
    if (entry == 1) framed[6] ^= 0xFF;  // first deflate byte of the second entry
  };
  std::string out;
  EXPECT_EQ(RunTool({"Tarnix", dir / "src", pak, "-v"}, &out, damaging), 1);
  const std::string shown = "Tarnix v1.00\nAdding a...Done\nAdding b...Done\nAdding c...Done\n\rWriting compressed " +
                            pak + " [.  ] 33%\rWriting compressed " + pak + " [.. ] 66%\nFailed to verify src/b (data: " +
                            std::to_string(Checksum32("b entry", 7)) + ", saved: ";
  EXPECT_EQ(out.substr(0, shown.size()), shown);
  EXPECT_EQ(out.substr(out.size() - 2), ")\n");
  EntryDataOptions starving;
  starving.chunkHook = [](size_t, size_t, uint8_t*, size_t) { throw std::bad_alloc(); };
  EXPECT_EQ(RunTool({"Tarnix", dir / "src", pak}, &out, starving), 1);
  EXPECT_EQ(out.substr(out.find("33%") + 3), "\nFailed to write " + pak + ": out of memory\n");
  EXPECT_EQ(ReadFile(pak), "previous");
  EXPECT_EQ(test::Listing(dir.path()), (std::vector<std::string>{"old.pak", "src"}));
  EXPECT_EQ(RunTool({"Tarnix", dir / "src", pak}, &out, damaging), 0);  // without -v, not looked for
}

}  // namespace
}  // namespace tarnix

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "pack/pack_contents.h"
#include "support/test_support.h"
#include "tarnix/tarnix.h"

namespace tarnix {
namespace {

using test::ReadFile;
using test::TempDir;

// Writes `files` (stored name, content) as a pack at `path`; what it shows goes to `shown`.
bool Write(const TempDir& dir, const std::string& path, const std::vector<std::pair<std::string, std::string>>& files,
           CompressionType type, PackContents* pack, std::string* shown = nullptr) {
  pack->compressionType = type;
  for (size_t i = 0; i < files.size(); ++i) {
    test::WriteFile(dir / ("src" + std::to_string(i)), files[i].second);
    pack->entries.emplace_back();
    pack->entries.back().setSource(files[i].first, dir / ("src" + std::to_string(i)),
                                   static_cast<uint32_t>(files[i].second.size()), pack);
  }
  WriteOptions options;
  if (shown != nullptr) {
    options.progress = [shown](const WriteProgress& at) {
      *shown += at.done ? "done" : std::to_string(at.entry) + "/" + std::to_string(at.count) + " ";
    };
  }
  return pack->write(path, options);
}

TEST(PackWriter, LaysOutHeaderTableAndDataExactly) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"r/a", test::RandomBytes(70000, 1)}, {"r/b", ""}, {"0123456789", "tail"}};
  for (CompressionType type : {CompressionType::Uncompressed, CompressionType::Compressed}) {
    for (size_t n : {0, 3}) {
      PackContents pack;
      std::string shown;
      ASSERT_TRUE(Write(dir, dir / "p.pak", {files.begin(), files.begin() + n}, type, &pack, &shown));
      // The header and table exactly, each stored form where the table says (what the stored
      // forms hold is the pipeline's test).
      const std::string written = ReadFile(dir / "p.pak");
      std::vector<test::MadeEntry> made;
      for (size_t i = 0; i < n; ++i) {
        made.emplace_back(files[i].first, files[i].second);
        made[i].stored = written.substr(pack.entries[i].offset, *pack.entries[i].storedSize);
      }
      EXPECT_EQ(written, test::MakePack(made, type == CompressionType::Compressed).bytes);
      EXPECT_EQ(shown, n == 0 ? "done" : "0/3 1/3 2/3 done");
    }
  }
}

TEST(PackWriter, FailuresLeaveTheOldPackAndNoTemporaryFile) {
  TempDir dir;
  test::WriteFile(dir / "out/old.pak", "previous pack");
  test::WriteFile(dir / "src0", "abcd");
  PackContents pack;
  pack.entries.emplace_back();
  pack.entries[0].setSource(std::string(32767, 'n'), dir / "src0", 4, &pack);
  EXPECT_TRUE(pack.write(dir / "n.pak", {})) << pack.errorText;  // the longest name a table holds
  pack.entries[0].name += "n";
  EXPECT_FALSE(pack.write(dir / "out/old.pak", {}));
  EXPECT_NE(pack.errorText.find("the limit is 32767"), std::string::npos);
  pack.entries[0].name = "r/a";
  // A pack of exactly the largest size may be written: here the source fails first.
  pack.entries[0].size = static_cast<uint32_t>(MaxPackSize - HeaderSize - RecordSize("r/a"));
  EXPECT_FALSE(pack.write(dir / "out/old.pak", {}));
  EXPECT_NE(pack.errorText.find(" changed while it was being packed"), std::string::npos);
  pack.compressionType = CompressionType::Compressed;  // whose length is not known in advance
  pack.entries[0].size = 0xFFFFFFFF;
  EXPECT_FALSE(pack.write(dir / "out/old.pak", {}));
  EXPECT_NE(pack.errorText.find(" changed while it was being packed"), std::string::npos);
  EXPECT_FALSE(pack.write(dir / "missing/x.pak", {}));
  EXPECT_EQ(pack.errorText, "Failed to open " + (dir / "missing/x.pak") + ": Failed to open file with errno 2");
  EXPECT_EQ(ReadFile(dir / "out/old.pak"), "previous pack");
  EXPECT_EQ(test::Listing(dir / "out"), std::vector<std::string>{"old.pak"});
}

}  // namespace
}  // namespace tarnix

#include <gtest/gtest.h>

#include "pack/checksum.h"
#include "pack/pack_contents.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::ReadFile;
using test::TempDir;

// Writes `files` (stored name, content) as a pack at `path`; the text it shows goes to `shown`.
bool Write(const TempDir& dir, const std::string& path,
           const std::vector<std::pair<std::string, std::string>>& files, CompressionType type,
           PackContents* pack, std::string* shown = nullptr) {
  pack->compressionType = type;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string source = dir / ("src" + std::to_string(i));
    test::WriteFile(source, files[i].second);
    pack->entries.emplace_back();
    pack->entries.back().setSource(files[i].first, source,
                                   static_cast<uint32_t>(files[i].second.size()), pack);
  }
  WriteOptions options;
  if (shown != nullptr) options.progress = [shown](const std::string& text) { *shown += text; };
  return pack->write(path, options);
}

TEST(PackWriter, LaysOutHeaderTableAndDataExactly) {
  TempDir dir;
  for (CompressionType type : {CompressionType::Uncompressed, CompressionType::Compressed}) {
    PackContents empty;
    std::string shown;
    ASSERT_TRUE(Write(dir, dir / "e.pak", {}, type, &empty, &shown));
    EXPECT_EQ(ReadFile(dir / "e.pak"), std::string("TRNX\x01", 5) + static_cast<char>(type) +
                                           std::string(4, '\0'));
    EXPECT_EQ(shown, " Done\n");
  }
  PackContents pack;
  ASSERT_TRUE(Write(dir, dir / "u.pak", {{"0123456789", "abc"}, {"abcdefghijkl", "defgh"}},
                    CompressionType::Uncompressed, &pack));
  EXPECT_EQ(ReadFile(dir / "u.pak"),
            std::string("TRNX\1\0\2\0\0\0\x0A\0", 12) + "0123456789" + test::Le32(60) +
                test::Le32(3) + test::Le32(0x359A672F) + std::string("\x0C\0", 2) +
                "abcdefghijkl" + test::Le32(63) + test::Le32(5) +
                test::Le32(Checksum32("defgh", 5)) + "abcdefgh");

  const std::string big = test::RandomBytes(70000, 1);
  PackContents compressed;
  ASSERT_TRUE(Write(dir, dir / "c.pak", {{"r/a", big}, {"r/b", ""}, {"r/c", "tail"}},
                    CompressionType::Compressed, &compressed));
  EXPECT_EQ(ReadFile(dir / "c.pak"),
            test::MakePack({{"r/a", big}, {"r/b", ""}, {"r/c", "tail"}}, true).bytes);
  EXPECT_EQ(compressed.entries[1].offset,
            compressed.entries[0].offset + compressed.entries[0].storedSize);
}

TEST(PackWriter, ProgressLinesShowTheBarAndSinglePrecisionPercentages) {
  TempDir dir;
  auto lines = [&dir](size_t n, CompressionType type) {
    std::vector<std::pair<std::string, std::string>> files;
    for (size_t i = 0; i < n; ++i) files.push_back({"r/" + std::to_string(i), ""});
    PackContents pack;
    std::string shown;
    EXPECT_TRUE(Write(dir, dir / "p.pak", files, type, &pack, &shown));
    EXPECT_EQ(shown.substr(shown.size() - 6), " Done\n");
    std::vector<std::string> result;
    for (size_t at = 0, next; at < shown.size() - 6; at = next) {
      next = std::min(shown.find('\r', at + 1), shown.size() - 6);
      result.push_back(shown.substr(at + 1, next - at - 1));
    }
    return result;
  };
  const std::string p = dir / "p.pak";
  EXPECT_EQ(lines(4, CompressionType::Uncompressed),
            (std::vector<std::string>{"Writing " + p + " [.   ] 25%", "Writing " + p + " [..  ] 50%",
                                      "Writing " + p + " [... ] 75%", "Writing " + p + " [....] 100%"}));
  EXPECT_EQ(lines(3, CompressionType::Compressed)[1], "Writing compressed " + p + " [.. ] 66%");
  std::vector<std::string> hundred = lines(100, CompressionType::Uncompressed);
  EXPECT_EQ(hundred[52].substr(hundred[52].size() - 4), " 52%");
  EXPECT_EQ(hundred[58].substr(hundred[58].size() - 4), " 58%");
  // Past 100 entries the bar stays 100 characters wide.
  std::vector<std::string> many = lines(250, CompressionType::Uncompressed);
  const std::string prefix = "Writing " + p + " [";
  EXPECT_EQ(many[2], prefix + "." + std::string(99, ' ') + "] 1%");
  EXPECT_EQ(many[249], prefix + std::string(100, '.') + "] 100%");
}

TEST(PackWriter, FailuresLeaveTheOldPackAndNoTemporaryFile) {
  TempDir dir;
  test::WriteFile(dir / "out/old.pak", "previous pack");
  PackContents pack;
  test::WriteFile(dir / "src0", "abcd");
  pack.entries.emplace_back();
  pack.entries.back().setSource("r/a", dir / "src0", 3, &pack);  // the file has grown
  EXPECT_FALSE(pack.write(dir / "out/old.pak", {}));
  EXPECT_EQ(pack.errorText, (dir / "src0") +
                                " changed while it was being packed: listed with 3 bytes, now 4 bytes");
  pack.entries[0].setSource(std::string(32768, 'n'), dir / "src0", 4, &pack);
  EXPECT_FALSE(pack.write(dir / "out/old.pak", {}));
  EXPECT_NE(pack.errorText.find("the limit is 32767"), std::string::npos);
  pack.entries[0].name = "r/a";
  EXPECT_FALSE(pack.write(dir / "missing/x.pak", {}));
  EXPECT_EQ(pack.errorText, "Failed to open " + (dir / "missing/x.pak") +
                                ": Failed to open file with errno 2");
  EXPECT_EQ(ReadFile(dir / "out/old.pak"), "previous pack");
  EXPECT_EQ(test::Listing(dir / "out"), std::vector<std::string>{"old.pak"});
}

}  // namespace
}  // namespace tarnix

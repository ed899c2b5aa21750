#include <gtest/gtest.h>

#include <dirent.h>

#include "pack/checksum.h"
#include "pack/pack_contents.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Fills `pack` with one entry per content, stored as name i under dir.
void AddFiles(PackContents* pack, const TempDir& dir, const std::vector<std::string>& names,
              const std::vector<std::string>& contents) {
  for (size_t i = 0; i < contents.size(); ++i) {
    std::string path = dir / ("src" + std::to_string(i));
    WriteFile(path, contents[i]);
    pack->entries.emplace_back();
    pack->entries.back().setSource(names[i], path, static_cast<uint32_t>(contents[i].size()), pack);
  }
}

std::vector<std::string> ProgressLines(const std::string& output) {
  std::vector<std::string> lines;
  size_t at = 0;
  while ((at = output.find('\r', at)) != std::string::npos) {
    size_t next = output.find_first_of("\r ", output.find(']', at) + 2);
    lines.push_back(output.substr(at + 1, next - at - 1));
    at = next;
  }
  return lines;
}

TEST(PackWriter, EmptyPackIsTheHeaderAlone) {
  TempDir dir;
  for (CompressionType type : {CompressionType::Uncompressed, CompressionType::Compressed}) {
    PackContents pack;
    pack.compressionType = type;
    std::string out;
    Console console(&out);
    ASSERT_TRUE(pack.write(dir / "e.pak", {}, &console)) << pack.errorText;
    uint8_t t = static_cast<uint8_t>(type);
    EXPECT_EQ(ReadFile(dir / "e.pak"), std::string("TRNX\x01") + static_cast<char>(t) + std::string(4, '\0'));
    EXPECT_EQ(out, " Done\n");
  }
}

TEST(PackWriter, UncompressedLayoutIsExact) {
  TempDir dir;
  PackContents pack;
  AddFiles(&pack, dir, {"0123456789", "abcdefghijkl"}, {"abc", "defgh"});
  ASSERT_TRUE(pack.write(dir / "u.pak", {}, nullptr)) << pack.errorText;
  std::string bytes = ReadFile(dir / "u.pak");
  ASSERT_EQ(bytes.size(), 68u);
  EXPECT_EQ(pack.entries[0].offset, 60u);
  EXPECT_EQ(pack.entries[1].offset, 63u);
  EXPECT_EQ(bytes.substr(60), "abcdefgh");
  EXPECT_EQ(pack.entries[0].checksum, 0x359A672Fu);

  PackContents back;
  ASSERT_TRUE(back.stream.open(dir / "u.pak", OpenMode::Read));
  ASSERT_TRUE(back.read());
  EXPECT_EQ(back.entries[1].name, "abcdefghijkl");
  EXPECT_EQ(back.entries[1].offset, 63u);
  EXPECT_EQ(back.entries[1].checksum, Checksum32("defgh", 5));
}

TEST(PackWriter, CompressedEntriesFollowEachOtherByStoredSize) {
  TempDir dir;
  PackContents pack;
  pack.compressionType = CompressionType::Compressed;
  std::string big = test::RandomBytes(70000, 1);
  AddFiles(&pack, dir, {"r/a", "r/b", "r/c"}, {big, "", "tail"});
  ASSERT_TRUE(pack.write(dir / "c.pak", {}, nullptr));
  EXPECT_EQ(pack.entries[1].offset, pack.entries[0].offset + pack.entries[0].storedSize);
  EXPECT_EQ(pack.entries[2].offset, pack.entries[1].offset + pack.entries[1].storedSize);
  EXPECT_EQ(ReadFile(dir / "c.pak").size(), pack.entries[2].offset + pack.entries[2].storedSize);

  PackContents back;
  ASSERT_TRUE(back.stream.open(dir / "c.pak", OpenMode::Read));
  ASSERT_TRUE(back.read());
  std::vector<uint8_t> content;
  std::string error;
  ASSERT_TRUE(back.entries[0].loadData(&content, &error)) << error;
  EXPECT_EQ(std::string(content.begin(), content.end()), big);
}

TEST(PackWriter, ProgressLinesShowTheBarAndSinglePrecisionPercentages) {
  TempDir dir;
  auto run = [&dir](size_t n, CompressionType type) {
    PackContents pack;
    pack.compressionType = type;
    std::vector<std::string> names, contents;
    for (size_t i = 0; i < n; ++i) {
      names.push_back("r/" + std::to_string(i));
      contents.push_back(std::to_string(i));
    }
    AddFiles(&pack, dir, names, contents);
    std::string out;
    Console console(&out);
    EXPECT_TRUE(pack.write(dir / "p.pak", {}, &console));
    EXPECT_EQ(out.substr(out.size() - 6), " Done\n");
    return ProgressLines(out);
  };
  std::string p = dir / "p.pak";
  EXPECT_EQ(run(4, CompressionType::Uncompressed),
            (std::vector<std::string>{"Writing " + p + " [.   ] 25%", "Writing " + p + " [..  ] 50%",
                                      "Writing " + p + " [... ] 75%", "Writing " + p + " [....] 100%"}));
  std::vector<std::string> three = run(3, CompressionType::Compressed);
  EXPECT_EQ(three[0], "Writing compressed " + p + " [.  ] 33%");
  EXPECT_EQ(three[1], "Writing compressed " + p + " [.. ] 66%");

  std::vector<std::string> hundred = run(100, CompressionType::Uncompressed);
  EXPECT_EQ(hundred[52].substr(hundred[52].size() - 4), " 52%");
  EXPECT_EQ(hundred[58].substr(hundred[58].size() - 4), " 58%");
  EXPECT_EQ(hundred[99].substr(hundred[99].size() - 5), " 100%");

  // Past 100 entries the bar stays 100 characters wide.
  std::vector<std::string> many = run(250, CompressionType::Uncompressed);
  ASSERT_EQ(many.size(), 250u);
  std::string prefix = "Writing " + p + " [";
  EXPECT_EQ(many[0], prefix + std::string(100, ' ') + "] 0%");
  EXPECT_EQ(many[2], prefix + "." + std::string(99, ' ') + "] 1%");
  EXPECT_EQ(many[124], prefix + std::string(50, '.') + std::string(50, ' ') + "] 50%");
  EXPECT_EQ(many[249], prefix + std::string(100, '.') + "] 100%");
}

std::vector<std::string> DirectoryNames(const std::string& path) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PackWriter, FailureLeavesTheOldPackAndNoTemporaryFile) {
  TempDir dir;
  WriteFile(dir / "out/old.pak", "previous pack");
  PackContents pack;
  AddFiles(&pack, dir, {"r/a", "r/b"}, {"abc", "defgh"});
  pack.entries[1].size = 2;  // no longer what the file holds
  EXPECT_FALSE(pack.write(dir / "out/old.pak", {}, nullptr));
  EXPECT_NE(pack.errorText.find("changed while it was being packed"), std::string::npos);
  EXPECT_EQ(ReadFile(dir / "out/old.pak"), "previous pack");
  EXPECT_EQ(DirectoryNames(dir / "out"), std::vector<std::string>{"old.pak"});
}

TEST(PackWriter, OutputThatCannotBeCreatedKeepsTheOpenMessage) {
  TempDir dir;
  PackContents pack;
  EXPECT_FALSE(pack.write(dir / "missing/x.pak", {}, nullptr));
  EXPECT_EQ(pack.errorText, "Failed to open " + (dir / "missing/x.pak") +
                                ": Failed to open file with errno 2");
}

TEST(PackWriter, RefusesNamesTheTableCannotHold) {
  TempDir dir;
  PackContents pack;
  AddFiles(&pack, dir, {std::string(32768, 'n')}, {"x"});
  EXPECT_FALSE(pack.write(dir / "n.pak", {}, nullptr));
  EXPECT_NE(pack.errorText.find("the limit is 32767"), std::string::npos);
  EXPECT_FALSE(test::FileExists(dir / "n.pak"));
}

}  // namespace
}  // namespace tarnix

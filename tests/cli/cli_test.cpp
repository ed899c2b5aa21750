// The programs end to end: exact console output and exit status, and packs that the standard
// inflate reads and tarnix-inspect extracts byte for byte.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <map>

#include "support/test_support.h"

namespace tarnix::test {
namespace {

CommandResult Tarnix(std::vector<std::string> args) {
  args.insert(args.begin(), TARNIX_BINARY);
  return Run(args);
}

CommandResult Inspect(std::vector<std::string> args) {
  args.insert(args.begin(), TARNIX_INSPECT);
  return Run(args);
}

uint32_t At32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
                               static_cast<uint8_t>(b[at + 2]) << 16) |
         static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

// Every entry of a pack decoded with zlib's own inflate: name -> content.
std::map<std::string, std::string> Decode(const std::string& pack) {
  std::map<std::string, std::string> files;
  size_t at = 10;
  for (uint32_t i = 0, count = At32(pack, 6); i < count; ++i) {
    const size_t length = static_cast<uint8_t>(pack[at]) | static_cast<uint8_t>(pack[at + 1]) << 8;
    const std::string name = pack.substr(at + 2, length);
    const uint32_t offset = At32(pack, at + 2 + length), size = At32(pack, at + 6 + length);
    at += 14 + length;
    std::string& content = files[name];
    for (size_t pos = offset; pack[5] == 1 && content.size() < size;) {
      std::string out(32768, '\0');
      uLongf n = out.size();
      const uint32_t stream = At32(pack, pos);
      EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(&out[0]), &n,
                           reinterpret_cast<const Bytef*>(pack.data() + pos + 4), stream), Z_OK);
      content.append(out, 0, n);
      pos += 4 + stream;
    }
    if (pack[5] == 0) content = pack.substr(offset, size);
  }
  return files;
}

TEST(Cli, PacksTheSampleTreeExactlyAndLeavesItAloneNextTime) {
  TempDir dir;
  const std::string pak = dir / "sample.pak";
  CommandResult r = Tarnix({TARNIX_EXAMPLES, pak});
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string listing =
      "Tarnix v1.00\nAdding levels\\dictionary.txt...Done\nAdding levels\\level1.map...Done\n"
      "Adding readme.txt...Done\nAdding sounds\\empty.wav...Done\nAdding sounds\\noise.raw...Done\n"
      "Adding textures\\stone\\albedo.ppm...Done\n";
  std::string progress;
  for (int k = 0; k < 6; ++k) {
    progress += "\rWriting compressed " + pak + " [" + std::string(k + 1, '.') +
                std::string(5 - k, ' ') + "] " + std::to_string((k + 1) * 100 / 6) + "%";
  }
  EXPECT_EQ(r.output, listing + progress + " Done\nWrote " + pak + "\n");
  EXPECT_EQ(r.errors, "");
  const std::string bytes = ReadFile(pak);
  std::map<std::string, std::string> files = Decode(bytes);
  ASSERT_EQ(files.size(), 6u);
  EXPECT_EQ(files["assets/sounds\\noise.raw"], ReadFile(TARNIX_EXAMPLES "/sounds/noise.raw"));

  CommandResult again = Tarnix({TARNIX_EXAMPLES "/", pak, "-v"});  // -v alone never writes
  EXPECT_EQ(again.output, listing + "No file changes found\n");
  EXPECT_EQ(ReadFile(pak), bytes);
}

TEST(Cli, WhatIsPackedExtractsByteForByte) {
  TempDir dir;
  std::map<std::string, std::string> expected;
  for (const auto& e : std::filesystem::recursive_directory_iterator(TARNIX_EXAMPLES)) {
    const std::string rel = std::filesystem::relative(e.path(), TARNIX_EXAMPLES).generic_string();
    if (e.is_regular_file() && rel[0] != '.' && rel != "Thumbs.db") expected[rel] = ReadFile(e.path().string());
  }
  for (const char* option : {"-v", "-uc"}) {
    const std::string pak = dir / (std::string(option) + ".pak");
    ASSERT_EQ(Tarnix({TARNIX_EXAMPLES, pak, option}).status, 0);
    CommandResult test = Inspect({"test", pak});
    EXPECT_EQ(test.output, pak + ": OK, 6 entries\n");
    ASSERT_EQ(Inspect({"extract", pak, dir / option}).status, 0);
    std::map<std::string, std::string> extracted;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir / option + "/assets")) {
      if (e.is_regular_file()) {
        extracted[std::filesystem::relative(e.path(), dir / option + "/assets").generic_string()] =
            ReadFile(e.path().string());
      }
    }
    EXPECT_EQ(extracted, expected);
  }
  // A root name of "." or none at all: the names are stripped, with a warning each.
  WriteFile(dir / "t/a.txt", "abc");
  const std::filesystem::path here = std::filesystem::current_path();
  for (const std::string& arg : {dir / "t//", std::string(".")}) {
    const std::string pak = dir / "r.pak";
    std::filesystem::remove(pak);
    if (arg == ".") std::filesystem::current_path(dir / "t");
    ASSERT_EQ(Tarnix({arg, pak}).status, 0);
    CommandResult x = Inspect({"extract", pak, dir / "x"});
    EXPECT_EQ(x.status, 0) << x.errors;
    EXPECT_EQ(ReadFile(dir / "x/a.txt"), "abc");
    EXPECT_NE(x.errors.find(": warning: entry 0 ("), std::string::npos) << x.errors;
  }
  std::filesystem::current_path(here);
}

}  // namespace
}  // namespace tarnix::test

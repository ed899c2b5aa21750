// The binary end to end: exact console output, exit status and pack bytes.
#include <gtest/gtest.h>

#include "cli/cli_support.h"

namespace tarnix::test {
namespace {

const std::string Examples = TARNIX_EXAMPLES "/assets";

TEST(Cli, UsageAndNoArguments) {
  CommandResult r = Tarnix({"only-one"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output.substr(0, 60), "Tarnix v1.00 - Packs multiple files into a Ombrel .pak file\n");
  EXPECT_EQ(r.errors, "");
}

TEST(Cli, PacksTheSampleTreeWithExactOutputAndLeavesItAloneNextTime) {
  TempDir dir;
  std::string pak = dir / "sample.pak";
  CommandResult r = Tarnix({Examples, pak});
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string listing =
      "Tarnix v1.00\n"
      "Adding levels\\dictionary.txt...Done\n"
      "Adding levels\\level1.map...Done\n"
      "Adding readme.txt...Done\n"
      "Adding sounds\\empty.wav...Done\n"
      "Adding sounds\\noise.raw...Done\n"
      "Adding textures\\stone\\albedo.ppm...Done\n";
  std::string progress;
  for (int k = 0; k < 6; ++k) {
    progress += "\rWriting compressed " + pak + " [" + std::string(k + 1, '.') +
                std::string(5 - k, ' ') + "] " + std::to_string((k + 1) * 100 / 6) + "%";
  }
  EXPECT_EQ(r.output, listing + progress + " Done\nWrote " + pak + "\n");
  EXPECT_EQ(r.errors, "");

  std::map<std::string, std::string> files = DecodePack(ReadFile(pak));
  ASSERT_EQ(files.size(), 6u);
  EXPECT_EQ(files["assets/levels\\dictionary.txt"], ReadFile(Examples + "/levels/dictionary.txt"));
  EXPECT_EQ(files["assets/sounds\\noise.raw"], ReadFile(Examples + "/sounds/noise.raw"));
  EXPECT_EQ(files["assets/sounds\\empty.wav"], "");

  int64_t before = ModifiedTime(pak);
  std::string bytes = ReadFile(pak);
  CommandResult again = Tarnix({Examples + "/", pak, "-v"});  // -v alone never writes
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.output, listing + "No file changes found\n");
  EXPECT_EQ(ModifiedTime(pak), before);
  EXPECT_EQ(ReadFile(pak), bytes);
}

TEST(Cli, UncompressedPacksAreByteExact) {
  TempDir dir;
  WriteFile(dir / "data/a.txt", "abc");
  CommandResult r = Tarnix({dir / "data", dir / "one.pak", "-uc"});
  ASSERT_EQ(r.status, 0);
  const unsigned char expected[] = {0x54, 0x52, 0x4E, 0x58, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00,
                                    0x0A, 0x00, 0x64, 0x61, 0x74, 0x61, 0x2F, 0x61, 0x2E, 0x74,
                                    0x78, 0x74, 0x22, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                                    0x2F, 0x67, 0x9A, 0x35, 0x61, 0x62, 0x63};
  EXPECT_EQ(ReadFile(dir / "one.pak"), std::string(reinterpret_cast<const char*>(expected), 37));
  EXPECT_EQ(r.output, "Tarnix v1.00\nAdding a.txt...Done\n\rWriting " + (dir / "one.pak") +
                          " [.] 100% Done\nWrote " + (dir / "one.pak") + "\n");

  MakeDirs(dir / "empty");
  r = Tarnix({dir / "empty", dir / "empty.pak"});
  EXPECT_EQ(r.output, "Tarnix v1.00\n Done\nWrote " + (dir / "empty.pak") + "\n");
  EXPECT_EQ(ReadFile(dir / "empty.pak"), std::string("TRNX\x01\x01\0\0\0\0", 10));
}

TEST(Cli, StoredNamesFollowTheDirectoryArgument) {
  TempDir dir;
  WriteFile(dir / "assets/sub/f.png", "png");
  for (const std::string& arg : {dir / "assets", dir / "assets/", dir / "assets//"}) {
    ASSERT_EQ(Tarnix({arg, dir / "n.pak", "-uc"}).status, 0);
    std::map<std::string, std::string> files = DecodePack(ReadFile(dir / "n.pak"));
    std::string expected = arg.back() == '/' && arg[arg.size() - 2] == '/' ? "/sub\\f.png"
                                                                             : "assets/sub\\f.png";
    EXPECT_EQ(files.begin()->first, expected) << arg;
  }
}

TEST(Cli, RewritesWhenContentCompressionOrNamesChange) {
  TempDir dir;
  WriteFile(dir / "t/a", "abc");
  WriteFile(dir / "t/b", "xyz");
  std::string pak = dir / "t.pak";
  ASSERT_EQ(Tarnix({dir / "t", pak}).status, 0);
  WriteFile(dir / "t/a", "abd");  // same size
  EXPECT_NE(Tarnix({dir / "t", pak}).output.find("Wrote "), std::string::npos);
  EXPECT_EQ(DecodePack(ReadFile(pak))["t/a"], "abd");
  EXPECT_NE(Tarnix({dir / "t", pak, "-uc"}).output.find("Wrote "), std::string::npos);
  EXPECT_NE(Tarnix({dir / "t", pak, "-uc"}).output.find("No file changes found"), std::string::npos);
  std::rename((dir / "t/b").c_str(), (dir / "t/c").c_str());
  EXPECT_NE(Tarnix({dir / "t", pak, "-uc"}).output.find("Wrote "), std::string::npos);
}

TEST(Cli, VerifiedRunPassesEveryEntry) {
  TempDir dir;
  WriteFile(dir / "v/big", RandomBytes(100000, 3));
  WriteFile(dir / "v/zero", "");
  for (const char* option : {"-v", "-V"}) {
    std::string pak = dir / (std::string(option) == "-v" ? "lower.pak" : "upper.pak");
    CommandResult r = Tarnix({dir / "v", pak, option});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(EndsWith(r.output, "[..] 100% Done\nWrote " + pak + "\n")) << r.output;
  }
}

}  // namespace
}  // namespace tarnix::test

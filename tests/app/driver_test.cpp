#include "app/driver.h"

#include <gtest/gtest.h>

#include "pack/checksum.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

const char* const Usage =
    "Tarnix v1.00 - Packs multiple files into a Ombrel .pak file\n"
    "\n"
    "Arguments:\n"
    " -uc: Do not compress the resulting file.\n"
    " -v: Verify each file can be read back correctly.\n"
    "\n"
    "Usage:\n"
    " Tarnix.exe <directory> <pack filename> [-uc] [-v]\n";

int RunTool(const std::vector<std::string>& args, std::string* out) {
  Console console(out);
  return RunTarnix(args, console);
}

TEST(CommandLine, TooFewArgumentsPrintUsage) {
  std::string out;
  EXPECT_EQ(RunTool({}, &out), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(RunTool({"Tarnix"}, &out), 0);
  EXPECT_EQ(out, Usage);
  out.clear();
  EXPECT_EQ(RunTool({"Tarnix", "dir"}, &out), 0);
  EXPECT_EQ(out, Usage);
}

TEST(CommandLine, RootNameIsTheLastComponent) {
  EXPECT_EQ(RootName("data/assets/"), "assets");
  EXPECT_EQ(RootName("data\\assets"), "assets");
  EXPECT_EQ(RootName("../assets"), "assets");
  EXPECT_EQ(RootName("assets"), "assets");
  EXPECT_EQ(RootName("C:/"), "C:");
  EXPECT_EQ(RootName("."), ".");
  EXPECT_EQ(RootName("assets//"), "");
  EXPECT_EQ(RootName("a\\b/"), "b");
  EXPECT_EQ(RootName(""), "");
}

TEST(CommandLine, OnlyExactOptionsCountAndOnlyAfterThePaths) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "abc");
  auto typeByte = [&](const std::vector<std::string>& options) {
    std::vector<std::string> args = {"Tarnix", dir / "src", dir / "o.pak"};
    args.insert(args.end(), options.begin(), options.end());
    std::string out;
    EXPECT_EQ(RunTool(args, &out), 0) << out;
    return static_cast<int>(ReadFile(dir / "o.pak")[5]);
  };
  EXPECT_EQ(typeByte({}), 1);
  EXPECT_EQ(typeByte({"-UC", "-V"}), 0);
  EXPECT_EQ(typeByte({"-uc"}), 0);
  EXPECT_EQ(typeByte({"-Uc", "-uC", "--uc", "/uc", "-verify"}), 1);

  // "-uc" in the directory's place is the directory.
  std::string out;
  EXPECT_EQ(RunTool({"Tarnix", "-uc", dir / "src", "out.pak"}, &out), 1);
  EXPECT_EQ(out, "Tarnix v1.00\nCannot read directory -uc: No such file or directory\n");
}

}  // namespace
}  // namespace tarnix

namespace tarnix {
namespace {

TEST(Verify, AFailingEntryPrintsItsLineEndsWithStatusOneAndKeepsTheOldPack) {
  TempDir dir;
  WriteFile(dir / "src/a", "first");
  WriteFile(dir / "src/b", "second entry");
  WriteFile(dir / "src/c", "third");
  WriteFile(dir / "old.pak", "previous");
  EntryDataOptions tuning;
  tuning.chunkHook = [](size_t entry, size_t, uint8_t* framed, size_t) {
    if (entry == 1) framed[6] ^= 0xFF;  // first deflate byte of the second entry
  };
  std::string out;
  Console console(&out);
  std::string pak = dir / "old.pak";
  EXPECT_EQ(RunTarnix({"Tarnix", dir / "src", pak, "-v"}, console, tuning), 1);
  const std::string line = "\nFailed to verify src/b (data: " +
                           std::to_string(Checksum32("second entry", 12)) + ", saved: ";
  size_t failure = out.find(line);
  ASSERT_NE(failure, std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - 2), ")\n");
  EXPECT_EQ(out.substr(0, failure),
            "Tarnix v1.00\nAdding a...Done\nAdding b...Done\nAdding c...Done\n"
            "\rWriting compressed " + pak + " [.  ] 33%\rWriting compressed " + pak + " [.. ] 66%");
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(out.find("Wrote"), std::string::npos);
  EXPECT_EQ(ReadFile(pak), "previous");

  // Without -v the same damage is not looked for.
  out.clear();
  EXPECT_EQ(RunTarnix({"Tarnix", dir / "src", pak}, console, tuning), 0);
}

}  // namespace
}  // namespace tarnix

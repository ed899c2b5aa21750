// Windows paths: either slash, and trailing ones, give the same pack; an old pack is replaced,
// and a pack inside the tree is left out.
#include <gtest/gtest.h>

#include "app/driver.h"
#include "support/test_support.h"

namespace tarnix::test {
namespace {

TEST(WindowsCli, EitherSeparatorGivesTheSamePack) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "abc");
  WriteFile(dir / "src/sub/deeper/b.bin", RandomBytes(40000, 1));
  std::string back = dir / "src";
  for (char& c : back) c = c == '/' ? '\\' : c;
  std::string reference, out;
  Console console(&out);
  for (const std::string& arg : {dir / "src", dir / "src/", back, back + "\\", dir / "src\\"}) {
    WriteFile(back + "\\..\\p.pak", "an old pack");
    EXPECT_EQ(RunTarnix({"Tarnix", arg, back + "\\..\\p.pak"}, console), 0) << out;
    if (reference.empty()) reference = ReadFile(dir / "p.pak");
    EXPECT_EQ(ReadFile(dir / "p.pak"), reference) << arg;
  }
  EXPECT_NE(out.find("Adding sub\\deeper\\b.bin...Done\n"), std::string::npos);
  for (const char* line : {"Wrote ", "No file changes found"}) {
    out.clear();
    RunTarnix({"Tarnix", back, back + "\\in.pak", "-uc"}, console);
    EXPECT_NE(out.find(line), std::string::npos) << out;
  }
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"p.pak", "src"}));
}

}  // namespace
}  // namespace tarnix::test

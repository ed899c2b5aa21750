// Windows paths: the directory argument may use backslashes, forward slashes or both, and the
// pack comes out the same; an old pack is replaced, and a pack inside the tree is left out.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/driver.h"
#include "support/test_support.h"

namespace tarnix::test {
namespace {

std::string Pack(const std::vector<std::string>& args) {
  std::string out;
  Console console(&out);
  std::vector<std::string> all = {"Tarnix"};
  all.insert(all.end(), args.begin(), args.end());
  RunTarnix(all, console);
  return out;
}

TEST(WindowsCli, EitherSeparatorGivesTheSamePack) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "abc");
  WriteFile(dir / "src/sub/deeper/b.bin", RandomBytes(40000, 1));
  WriteFile(dir / "src/Desktop.ini", "left out");
  std::string back = dir / "src";
  for (char& c : back) c = c == '/' ? '\\' : c;
  const std::string pak = back + "\\..\\p.pak", forward = dir / "src";
  WriteFile(pak, "an old pack");
  std::string reference;
  for (const std::string& arg : {forward, forward + "/", back, back + "\\", forward + "\\"}) {
    std::filesystem::remove(pak);
    EXPECT_EQ(Pack({arg, pak}).substr(0, 77), "Tarnix v1.00\nAdding a.txt...Done\nAdding sub\\deeper\\b.bin...Done\n\rWriting comp");
    if (reference.empty()) reference = ReadFile(pak);
    EXPECT_EQ(ReadFile(pak), reference) << arg;
  }
  for (const char* line : {"Wrote ", "No file changes found"}) {
    EXPECT_NE(Pack({back, back + "\\in.pak", "-uc"}).find(line), std::string::npos);
  }
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"p.pak", "src"}));
}

}  // namespace
}  // namespace tarnix::test

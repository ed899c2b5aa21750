// Windows paths: the directory argument may use backslashes, forward slashes or both, and the
// pack comes out the same.
#include <gtest/gtest.h>

#include "cli/cli_support.h"

namespace tarnix::test {
namespace {

std::string Backslashed(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

TEST(WindowsCli, EitherSeparatorGivesTheSamePack) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "abc");
  WriteFile(dir / "src/sub/deeper/b.bin", RandomBytes(40000, 1));
  WriteFile(dir / "src/Desktop.ini", "left out");
  WriteFile(dir / "src/.git/config", "left out");
  const std::string forward = dir / "src";
  const std::string back = Backslashed(forward);
  std::string reference;
  for (const std::string& arg : {forward, forward + "/", back, back + "\\", forward + "\\"}) {
    std::string pak = dir / "p.pak";
    std::remove(pak.c_str());
    CommandResult r = Tarnix({arg, pak});
    ASSERT_EQ(r.status, 0) << arg << "\n" << r.output;
    const std::string listing =
        "Tarnix v1.00\nAdding a.txt...Done\nAdding sub\\deeper\\b.bin...Done\n\rWriting compressed ";
    EXPECT_EQ(r.output.substr(0, listing.size()), listing);
    std::string bytes = ReadFile(pak);
    if (reference.empty()) reference = bytes;
    EXPECT_EQ(bytes, reference) << arg;
  }
  std::map<std::string, std::string> files = DecodePack(reference);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files["src/sub\\deeper\\b.bin"], ReadFile(dir / "src/sub/deeper/b.bin"));
}

TEST(WindowsCli, AnOldPackIsReplaced) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "abc");
  const std::string pak = Backslashed(dir / "out.pak");
  WriteFile(pak, "an old pack");
  CommandResult r = Tarnix({Backslashed(dir / "src"), pak, "-uc"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(EndsWith(r.output, " Done\nWrote " + pak + "\n")) << r.output;
  EXPECT_EQ(DecodePack(ReadFile(pak))["src/a.txt"], "abc");
  EXPECT_EQ(Leftovers(dir.path(), "out.pak"), std::vector<std::string>{"src"});
}

}  // namespace
}  // namespace tarnix::test

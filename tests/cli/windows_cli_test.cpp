// Windows paths: the directory argument may use backslashes, forward slashes or both, and the
// pack comes out the same; an old pack is replaced, and a pack in the tree is left out.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace tarnix::test {
namespace {

std::string Backslashed(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

TEST(WindowsCli, EitherSeparatorGivesTheSamePack) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "abc");
  WriteFile(dir / "src/sub/deeper/b.bin", RandomBytes(40000, 1));
  WriteFile(dir / "src/Desktop.ini", "left out");
  WriteFile(dir / "src/.git/config", "left out");
  const std::string forward = dir / "src", back = Backslashed(forward);
  const std::string pak = Backslashed(dir / "p.pak");
  WriteFile(pak, "an old pack");
  std::string reference;
  for (const std::string& arg : {forward, forward + "/", back, back + "\\", forward + "\\"}) {
    std::filesystem::remove(pak);
    CommandResult r = test::Run({TARNIX_BINARY, arg, pak});
    ASSERT_EQ(r.status, 0) << arg << "\n" << r.output;
    const std::string listing =
        "Tarnix v1.00\nAdding a.txt...Done\nAdding sub\\deeper\\b.bin...Done\n\rWriting compressed ";
    EXPECT_EQ(r.output.substr(0, listing.size()), listing);
    if (reference.empty()) reference = ReadFile(pak);
    EXPECT_EQ(ReadFile(pak), reference) << arg;
  }
  CommandResult cat = test::Run({TARNIX_INSPECT, "cat", pak, "src/sub/deeper/b.bin"});
  EXPECT_EQ(cat.output, ReadFile(dir / "src/sub/deeper/b.bin"));
  // Replaced in place, with no temporary file left; inside the tree it is not packed.
  CommandResult r = test::Run({TARNIX_BINARY, back, back + "\\in.pak", "-uc"});
  EXPECT_TRUE(r.output.find("Wrote ") != std::string::npos) << r.output;
  EXPECT_NE(test::Run({TARNIX_BINARY, back, back + "\\in.pak", "-uc"}).output.find("No file changes found"),
            std::string::npos);
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"p.pak", "src"}));
}

}  // namespace
}  // namespace tarnix::test

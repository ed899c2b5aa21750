// Ways a run can fail on every platform: a message that names the file and the reason,
// status 1, and the pack that was there before left exactly as it was.
#include <gtest/gtest.h>

#include "cli/cli_support.h"

namespace tarnix::test {
namespace {

TEST_F(Failure, MissingOrNonDirectorySource) {
  CommandResult r = Tarnix({dir_ / "nope", pak_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Tarnix v1.00\nCannot read directory " + (dir_ / "nope") +
                          ": No such file or directory\n");
  ExpectOldPackKept();
  r = Tarnix({dir_ / "src/a.txt", pak_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Tarnix v1.00\nCannot read directory " + (dir_ / "src/a.txt") +
                          ": Not a directory\n");
  ExpectOldPackKept();
}

TEST_F(Failure, OutputInAMissingFolder) {
  CommandResult r = Tarnix({dir_ / "src", dir_ / "no/such/x.pak"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(EndsWith(r.output, "Adding sub\\b.txt...Done\nFailed to open " +
                                     (dir_ / "no/such/x.pak") + ": Failed to open file with errno 2\n"))
      << r.output;
}

TEST_F(Failure, PackPathThatIsADirectoryCannotBeReplaced) {
  MakeDirs(dir_ / "out/dir.pak");
  CommandResult r = Tarnix({dir_ / "src", dir_ / "out/dir.pak"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("\nFailed to replace " + (dir_ / "out/dir.pak") + ": "), std::string::npos)
      << r.output;
  EXPECT_EQ(Leftovers(dir_ / "out", "t.pak"), std::vector<std::string>{"dir.pak"});
}

}  // namespace
}  // namespace tarnix::test

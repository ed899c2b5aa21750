// Scan cases with symbolic links.
#include <gtest/gtest.h>
#include <unistd.h>

#include "scan/directory_scan.h"
#include "scan/scan_test_support.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::TempDir;
using test::WriteFile;

TEST(ScanDirectory, SkipsBrokenLinksAndDoesNotFollowCycles) {
  TempDir dir;
  WriteFile(dir / "t/a/f", "x");
  ASSERT_EQ(symlink("../../t", (dir / "t/a/loop").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "t/dangling").c_str()), 0);
  ASSERT_EQ(symlink("a/f", (dir / "t/good").c_str()), 0);
  ScanResult r = ScanDirectory(dir / "t");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Names(r), (std::vector<std::string>{"a\\f", "good"}));
  ASSERT_EQ(r.skipped.size(), 2u);
  EXPECT_EQ(r.skipped[0].name, "a\\loop");
  EXPECT_EQ(r.skipped[1].name, "dangling");
  EXPECT_EQ(r.skipped[1].reason, "a symbolic link whose target does not exist");
}

}  // namespace
}  // namespace tarnix

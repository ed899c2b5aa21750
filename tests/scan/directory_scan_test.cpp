#include "scan/directory_scan.h"
#include "scan/scan_test_support.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tarnix {
namespace {

using test::MakeDirs;
using test::TempDir;
using test::WriteFile;

TEST(ScanDirectory, WalksDepthFirstInFoldedOrderWithBackslashes) {
  TempDir dir;
  for (const char* f : {"b.txt", "A.txt", "_u", "Zeta", "sub/two/x.dat", "sub/c", "d", "C"}) {
    WriteFile(dir / std::string("t/") + f, f);
  }
  ScanResult r = ScanDirectory(dir / "t");
  ASSERT_TRUE(r.ok) << r.errorText;
  // a-z fold to A-Z, so "_" (after Z) sorts after every letter.
  EXPECT_EQ(Names(r), (std::vector<std::string>{"A.txt", "b.txt", "C", "d", "sub\\c",
                                                "sub\\two\\x.dat", "Zeta", "_u"}));
  ASSERT_EQ(r.entries.size(), 8u);
  EXPECT_EQ(test::ReadFile(r.entries[5].path), "sub/two/x.dat");
}

TEST(ScanDirectory, TrailingSlashesGiveTheSameNames) {
  TempDir dir;
  WriteFile(dir / "t/s/f", "x");
  ScanResult plain = ScanDirectory(dir / "t");
  ScanResult slash = ScanDirectory(dir / "t/");
  EXPECT_EQ(Names(plain), Names(slash));
  ASSERT_EQ(slash.entries.size(), 1u);
  EXPECT_EQ(test::ReadFile(slash.entries[0].path), "x");
}

TEST(ScanDirectory, LeavesOutIgnoredFilesAndDotDirectoriesOnly) {
  TempDir dir;
  for (const char* f : {"Desktop.INI", "THUMBS.db", "ehthumbs.db", "sub/ehthumbs_vista.db",
                        "sub/PspBrwse.jbf", "thumbs.db.bak", "my_desktop.ini", ".hidden",
                        ".git/config", "sub/.cache/x", "pspbrwse.jbf/inside", "empty/.keep/x"}) {
    WriteFile(dir / std::string("t/") + f, f);
  }
  MakeDirs(dir / "t/only_empty/deeper");
  ScanResult r = ScanDirectory(dir / "t");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(Names(r), (std::vector<std::string>{".hidden", "my_desktop.ini", "pspbrwse.jbf\\inside",
                                                "thumbs.db.bak"}));
}

TEST(ScanDirectory, FailsForAMissingDirectoryOrAFile) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  ScanResult missing = ScanDirectory(dir / "nope");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.errorText, (dir / "nope") + ": No such file or directory");
  ScanResult file = ScanDirectory(dir / "file");
  EXPECT_FALSE(file.ok);
  EXPECT_EQ(file.errorText, (dir / "file") + ": Not a directory");
}

TEST(ScanOrder, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(ScanOrderLess("a_", "B"));
  EXPECT_FALSE(ScanOrderLess("B", "a_"));
  EXPECT_FALSE(ScanOrderLess("a", "A"));   // equal folds: raw bytes, 'A' (0x41) first
  EXPECT_TRUE(ScanOrderLess("A", "a"));
  EXPECT_TRUE(ScanOrderLess("Z", "_"));
  EXPECT_TRUE(ScanOrderLess("z", "\xC3\xA9"));  // bytes above 0x7F are not folded
  EXPECT_TRUE(ScanOrderLess("ab", "abc"));
}

}  // namespace
}  // namespace tarnix

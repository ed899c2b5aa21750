#include "scan/directory_scan.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tarnix {
namespace {

std::vector<std::string> Names(const ScanResult& r) {
  std::vector<std::string> names;
  for (const ScannedFile& e : r.files) names.push_back(e.name);
  return names;
}

TEST(ScanDirectory, WalksDepthFirstInFoldedOrderLeavingOutWhatItShould) {
  test::TempDir dir;
  for (const char* f :
       {"b.txt", "A.txt", "_u", "Zeta", "sub/two/x.dat", "sub/c", "d", "Desktop.INI",
        "sub/THUMBS.db", "EHTHUMBS_VISTA.DB", "thumbs.db.bak", ".hidden", ".git/config",
        "sub/.cache/x", "pspbrwse.jbf/inside", "empty/.keep/x"}) {
    test::WriteFile(dir / std::string("t/") + f, f);
  }
  // a-z fold to A-Z, so "_" (after Z) sorts after every letter.
  const std::vector<std::string> expected = {
      ".hidden", "A.txt",           "b.txt",         "d",    "pspbrwse.jbf\\inside",
      "sub\\c",  "sub\\two\\x.dat", "thumbs.db.bak", "Zeta", "_u"};
  for (const std::string& arg : {dir / "t", dir / "t/"}) {
    ScanResult r = ScanDirectory(arg);
    ASSERT_TRUE(r.status.ok()) << r.status.message();
    EXPECT_EQ(Names(r), expected);
    EXPECT_EQ(test::ReadFile(r.files[6].path), "sub/two/x.dat");
  }
  // Equal when folded, raw bytes decide; bytes above 0x7F are not folded; a prefix comes first.
  for (const auto& [less, more] : {std::pair<const char*, const char*>{"A", "a"},
                                   {"z", "_"},
                                   {"z", "\xC3\xA9"},
                                   {"ab", "abc"}}) {
    EXPECT_TRUE(ScanOrderLess(less, more)) << less << " " << more;
  }
  for (const char* path : {"nope: No such file or directory", "t/b.txt: Not a directory"}) {
    const std::string name = std::string(path).substr(0, std::string(path).find(':'));
    EXPECT_EQ(ScanDirectory(dir / name).status.message(), "Cannot read directory " + (dir / path));
  }
}

}  // namespace
}  // namespace tarnix

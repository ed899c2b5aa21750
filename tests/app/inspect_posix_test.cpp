// Extraction next to symbolic links.
#include <gtest/gtest.h>
#include <unistd.h>

#include "app/inspect_support.h"

namespace tarnix {
namespace {

using test::FileExists;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(Inspect, ExtractNeverFollowsALinkInsideTheFolder) {
  TempDir dir;
  test::MakeDirs(dir / "outside");
  WriteFile(dir / "outside/victim", "untouched");
  test::MakeDirs(dir / "out");
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "out/data").c_str()), 0);
  ASSERT_EQ(symlink((dir / "outside/victim").c_str(), (dir / "out/leaf").c_str()), 0);
  WriteFile(dir / "p.pak", HandMadePack({{"data/victim", "overwritten"}, {"leaf", "new leaf"}}));
  InspectResult r = Inspect({"extract", dir / "p.pak", dir / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("data/victim: cannot use folder " + (dir / "out/data")), std::string::npos)
      << r.errors;
  EXPECT_EQ(ReadFile(dir / "outside/victim"), "untouched");
  // A link where a file goes is replaced by the file, not written through.
  EXPECT_EQ(ReadFile(dir / "out/leaf"), "new leaf");
  EXPECT_EQ(ReadFile(dir / "outside/victim"), "untouched");
}

}  // namespace
}  // namespace tarnix

// The library's public face, as an engine uses it.
#include "tarnix/tarnix.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

TEST(PublicApi, WritesAPackAndReadsItBack) {
  tarnix::test::TempDir dir;
  tarnix::test::WriteFile(dir / "a.txt", "abc");
  tarnix::test::WriteFile(dir / "b.bin", tarnix::test::RandomBytes(40000, 1));
  std::string error;
  EXPECT_FALSE(tarnix::WritePack(dir / "p.pak", {{"d/a", dir / "none"}}, {}, &error));
  EXPECT_EQ(error, "Failed to open " + (dir / "none") + ": No such file or directory");
  ASSERT_TRUE(tarnix::WritePack(dir / "p.pak", {{"d/a", dir / "a.txt"}, {"d/sub\\b", dir / "b.bin"}}, {true, true}, &error));
  tarnix::PackReader pack;
  ASSERT_TRUE(pack.open(dir / "p.pak")) << pack.error();
  ASSERT_EQ(pack.files().size(), 2u);
  EXPECT_EQ(pack.find("d/sub/b"), 1);
  EXPECT_EQ(pack.find("d/c"), -1);
  std::vector<uint8_t> content;
  ASSERT_TRUE(pack.read(1, &content));
  EXPECT_EQ(std::string(content.begin(), content.end()), tarnix::test::ReadFile(dir / "b.bin"));
  EXPECT_FALSE(pack.read(2, &content));
  tarnix::test::WriteFile(dir / "p.pak", tarnix::test::ReadFile(dir / "p.pak") + "x");
  EXPECT_FALSE(pack.open(dir / "p.pak"));
  EXPECT_EQ(pack.error().substr(0, (dir / "p.pak").size() + 11), (dir / "p.pak") + ": entry 1 (");
}

}  // namespace

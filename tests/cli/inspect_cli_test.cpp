// Both programs end to end: what Tarnix packs, tarnix-inspect tests and extracts byte for byte.
#include <gtest/gtest.h>

#include "cli/cli_support.h"

namespace tarnix::test {
namespace {

CommandResult Inspect(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {TARNIX_INSPECT_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

TEST(InspectCli, ExtractRecreatesTheSampleTreeCompressedAndStored) {
  TempDir dir;
  const std::string examples = TARNIX_EXAMPLES "/assets";
  for (const char* option : {"", "-uc"}) {
    std::string pak = dir / (std::string("s") + option + ".pak");
    std::vector<std::string> args = {examples, pak};
    if (*option) args.push_back(option);
    ASSERT_EQ(Tarnix(args).status, 0);
    CommandResult test = Inspect({"test", pak});
    EXPECT_EQ(test.status, 0);
    EXPECT_EQ(test.output, pak + ": OK, 6 entries\n");
    std::string out = dir / (std::string("x") + option);
    CommandResult extract = Inspect({"extract", pak, out});
    EXPECT_EQ(extract.status, 0) << extract.errors;
    std::map<std::string, std::string> expected = TreeFiles(examples);
    expected.erase(".editor/settings.json");  // left out of every pack
    expected.erase("Thumbs.db");
    EXPECT_EQ(TreeFiles(out + "/assets"), expected);
    CommandResult cat = Inspect({"cat", pak, "assets/sounds\\noise.raw"});
    EXPECT_EQ(cat.status, 0);
    EXPECT_EQ(cat.output, ReadFile(examples + "/sounds/noise.raw"));
  }
}

TEST(InspectCli, ErrorsGoToStandardErrorWithUsageStatusTwo) {
  CommandResult r = Inspect({"list"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, "");
  EXPECT_NE(r.errors.find("Usage:"), std::string::npos);
  r = Inspect({"test", "/nonexistent.pak"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors, "/nonexistent.pak: No such file or directory\n");
}

}  // namespace
}  // namespace tarnix::test

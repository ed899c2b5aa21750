// Every way a run can fail: a message that names the file and the reason, status 1, and the
// pack that was there before left exactly as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli_support.h"

namespace tarnix::test {
namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Files in a directory other than `keep`.
std::vector<std::string> Leftovers(const std::string& dir, const std::string& keep) {
  std::vector<std::string> names;
  CommandResult r = RunShell("ls -A " + ShellQuote(dir));
  size_t at = 0, nl;
  while ((nl = r.output.find('\n', at)) != std::string::npos) {
    std::string name = r.output.substr(at, nl - at);
    if (name != keep) names.push_back(name);
    at = nl + 1;
  }
  return names;
}

// Runs Tarnix as an unprivileged user, for whom permissions apply.
CommandResult TarnixAsNobody(const std::vector<std::string>& args) {
  std::string script = "exec setpriv --reuid=65534 --regid=65534 --clear-groups " +
                       ShellQuote(TARNIX_BINARY);
  for (const std::string& a : args) script += " " + ShellQuote(a);
  return RunShell(script);
}

class Failure : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "src/a.txt", "abc");
    WriteFile(dir_ / "src/sub/b.txt", "bbbb");
    WriteFile(dir_ / "out/t.pak", "the previous pack");
    chmod((dir_ / "out").c_str(), 0777);
  }
  void ExpectOldPackKept() {
    EXPECT_EQ(ReadFile(pak_), "the previous pack");
    EXPECT_EQ(Leftovers(dir_ / "out", "t.pak"), std::vector<std::string>{});
  }
  TempDir dir_;
  std::string pak_ = dir_ / "out/t.pak";
};

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

TEST_F(Failure, UnlistableSubdirectory) {
  chmod((dir_ / "src/sub").c_str(), 0700);
  CommandResult r = TarnixAsNobody({dir_ / "src", pak_});
  EXPECT_EQ(r.status, 1) << r.output << r.errors;
  EXPECT_EQ(r.output, "Tarnix v1.00\nCannot read directory " + (dir_ / "src/sub") +
                          ": Permission denied\n");
  ExpectOldPackKept();
}

TEST_F(Failure, UnreadableFile) {
  chmod((dir_ / "src/sub/b.txt").c_str(), 0600);
  CommandResult r = TarnixAsNobody({dir_ / "src", pak_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Tarnix v1.00\nAdding a.txt...Done\nAdding sub\\b.txt...Failed to open " +
                          (dir_ / "src/sub/b.txt") + ": Permission denied\n");
  ExpectOldPackKept();
}

TEST_F(Failure, BrokenLinkIsLeftOutWithAReason) {
  ASSERT_EQ(symlink("gone.txt", (dir_ / "src/link.txt").c_str()), 0);
  CommandResult r = Tarnix({dir_ / "src", dir_ / "new.pak"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output.substr(0, 96),
            "Tarnix v1.00\nSkipping link.txt: a symbolic link whose target does not exist\n"
            "Adding a.txt...Done\n");
  EXPECT_EQ(DecodePack(ReadFile(dir_ / "new.pak")).size(), 2u);
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
  EXPECT_TRUE(EndsWith(r.output, "\nFailed to replace " + (dir_ / "out/dir.pak") +
                                     ": Is a directory\n")) << r.output;
  EXPECT_EQ(Leftovers(dir_ / "out", "t.pak"), std::vector<std::string>{"dir.pak"});
}

TEST_F(Failure, FullDiskIsDetectedAndTheOldPackKept) {
  WriteFile(dir_ / "src/big.bin", RandomBytes(300000, 4));
  // A 64 KiB file-size limit, with SIGXFSZ ignored so the write fails with EFBIG instead.
  for (const char* option : {"", "-uc"}) {
    CommandResult r = RunShell("trap '' XFSZ; ulimit -f 64; exec " + ShellQuote(TARNIX_BINARY) +
                               " " + ShellQuote(dir_ / "src") + " " + ShellQuote(pak_) + " " + option);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_TRUE(EndsWith(r.output, "\nFailed to write " + pak_ + ": File too large\n")) << r.output;
    ExpectOldPackKept();
  }
}

TEST_F(Failure, EntriesAndPacksMustStayBelowTwoGiB) {
  ASSERT_EQ(truncate((dir_ / "src/a.txt").c_str(), 0x80000000LL), 0);  // sparse
  CommandResult r = Tarnix({dir_ / "src", pak_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "Tarnix v1.00\nAdding a.txt...Cannot store " + (dir_ / "src/a.txt") +
                          ": it is 2147483648 bytes, and an entry must stay below 2 GiB\n");
  ExpectOldPackKept();

  ASSERT_EQ(truncate((dir_ / "src/a.txt").c_str(), 0x40000000LL), 0);
  ASSERT_EQ(truncate((dir_ / "src/sub/b.txt").c_str(), 0x40000000LL), 0);
  r = Tarnix({dir_ / "src", pak_, "-uc"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(EndsWith(r.output, "Failed to write " + pak_ +
                                     ": the pack would reach 2 GiB, the largest the format can hold\n"))
      << r.output;
  ExpectOldPackKept();
}

TEST_F(Failure, ManyFilesUnderASmallOpenFileLimit) {
  for (int i = 0; i < 3000; ++i) WriteFile(dir_ / ("many/f" + std::to_string(i)), std::to_string(i));
  CommandResult r = RunShell("ulimit -n 64; exec " + ShellQuote(TARNIX_BINARY) + " " +
                             ShellQuote(dir_ / "many") + " " + ShellQuote(dir_ / "many.pak") + " -v");
  EXPECT_EQ(r.status, 0) << r.output.substr(r.output.size() > 300 ? r.output.size() - 300 : 0);
  std::map<std::string, std::string> files = DecodePack(ReadFile(dir_ / "many.pak"));
  ASSERT_EQ(files.size(), 3000u);
  EXPECT_EQ(files["many/f2999"], "2999");
}

}  // namespace
}  // namespace tarnix::test

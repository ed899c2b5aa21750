// End-to-end cases that need POSIX facilities: another user, resource limits, symbolic links,
// sparse files and names that are not UTF-8.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli_support.h"

namespace tarnix::test {
namespace {

// Runs Tarnix as an unprivileged user, for whom permissions apply.
// The binary is copied into the test's own directory first: the build may lie where that user
// cannot reach it.
CommandResult TarnixAsNobody(const TempDir& dir, const std::vector<std::string>& args) {
  const std::string binary = dir / "bin/Tarnix";
  std::filesystem::create_directories(dir / "bin");
  std::filesystem::copy_file(TARNIX_BINARY, binary,
                             std::filesystem::copy_options::overwrite_existing);
  chmod(binary.c_str(), 0755);
  std::string script = "exec setpriv --reuid=65534 --regid=65534 --clear-groups " +
                       ShellQuote(binary);
  for (const std::string& a : args) script += " " + ShellQuote(a);
  return RunShell(script);
}

TEST_F(Failure, UnlistableSubdirectory) {
  chmod((dir_ / "src/sub").c_str(), 0700);
  CommandResult r = TarnixAsNobody(dir_, {dir_ / "src", pak_});
  EXPECT_EQ(r.status, 1) << r.output << r.errors;
  EXPECT_EQ(r.output, "Tarnix v1.00\nCannot read directory " + (dir_ / "src/sub") +
                          ": Permission denied\n");
  ExpectOldPackKept();
}

TEST_F(Failure, UnreadableFile) {
  chmod((dir_ / "src/sub/b.txt").c_str(), 0600);
  CommandResult r = TarnixAsNobody(dir_, {dir_ / "src", pak_});
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

TEST(Cli, MemoryDoesNotGrowWithFileSize) {
  TempDir dir;
  WriteFile(dir / "big/f", "");
  ASSERT_EQ(truncate((dir / "big/f").c_str(), 256LL << 20), 0);  // 256 MiB of zeros, sparse
  for (const char* option : {"-uc", "-v"}) {
    CommandResult r = Tarnix({dir / "big", dir / "big.pak", option});
    ASSERT_EQ(r.status, 0) << r.output;
#ifndef TARNIX_SANITIZED  // the sanitizers' own bookkeeping is not the tool's
    // The pipeline holds a bounded number of chunks; a whole entry would be 256 MiB.
    EXPECT_LT(r.peakKiB, 64 * 1024) << option;
#endif
  }
}

TEST(Cli, NamesAreBytesAsTheFileSystemGivesThem) {
  TempDir dir;
  const std::string odd = "caf\xE9 \xFF.txt";  // not UTF-8
  WriteFile(dir / ("t/" + odd), "latin-1");
  CommandResult r = Tarnix({dir / "t", dir / "o.pak", "-uc"});
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("Adding " + odd + "...Done\n"), std::string::npos);
  EXPECT_EQ(DecodePack(ReadFile(dir / "o.pak"))["t/" + odd], "latin-1");
}

}  // namespace
}  // namespace tarnix::test

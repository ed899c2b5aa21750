// What a careful user relies on, end to end through the binary on POSIX: "No file changes
// found" only over a whole pack, a pack path handled deliberately, interruptions and failures
// that leave the old pack and no temporary file, and sources that cannot be stored.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "io/binary_stream.h"
#include "support/test_support.h"

namespace tarnix::test {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& a : args) line += " " + ShellQuote(a);
  return line;
}

// Tarnix with its arguments, after `setup` (shell commands such as ulimit).
CommandResult Tarnix(const std::vector<std::string>& args, const std::string& setup = "") {
  return RunShell(setup + (setup.empty() ? "" : "; ") + "exec " + ShellQuote(TARNIX_BINARY) +
                  Quoted(args));
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class Trust : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "src/a.txt", "abc");
    WriteFile(dir_ / "src/sub/b.bin", RandomBytes(70000, 1));
  }
  // The pack at `pak_` is as a fresh run over `src` would write it.
  void ExpectSound(const std::string& option = "") {
    ASSERT_EQ(Tarnix({dir_ / "src", dir_ / "fresh.pak", option}).status, 0);
    EXPECT_EQ(ReadFile(pak_), ReadFile(dir_ / "fresh.pak"));
    fs::remove(dir_ / "fresh.pak");
  }
  void ExpectOldPackKept(const std::string& old) {
    EXPECT_EQ(ReadFile(pak_), old);
    EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"out.pak", "src"}));
  }
  TempDir dir_;
  std::string pak_ = dir_ / "out.pak";
};

TEST_F(Trust, OnlyAWholePackIsUpToDate) {
  ASSERT_EQ(Tarnix({dir_ / "src", pak_}).status, 0);
  const std::string good = ReadFile(pak_);
  std::string damaged = good;
  damaged[damaged.size() - 1] ^= 1;  // the last chunk's Adler-32
  const struct {
    std::string before;
    std::vector<std::string> options;
    const char* last;  // the line the run ends with
  } cases[] = {
      {good.substr(0, good.size() / 2), {}, "Wrote "},
      {good + "x", {}, "Wrote "},
      {damaged, {}, "No file changes found"},  // without -v the data is not read
      {damaged, {"-v"}, "Wrote "},
      {good, {"-v"}, "No file changes found"},
  };
  for (const auto& c : cases) {
    WriteFile(pak_, c.before);
    std::vector<std::string> args = {dir_ / "src", pak_};
    args.insert(args.end(), c.options.begin(), c.options.end());
    CommandResult r = Tarnix(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.rfind(c.last), std::string::npos) << r.output;
    if (c.before != damaged || !c.options.empty()) ExpectSound();
  }
  // A damaged entry is not copied into the new pack, and no copy crosses compression types.
  WriteFile(pak_, damaged);
  WriteFile(dir_ / "src/a.txt", "abd");
  EXPECT_NE(Tarnix({dir_ / "src", pak_}).output.find("Wrote "), std::string::npos);
  ExpectSound();
  for (const char* option : {"-uc", ""}) {
    EXPECT_NE(Tarnix({dir_ / "src", pak_, option}).output.find("Wrote "), std::string::npos);
    ExpectSound(option);
  }
  fs::create_directories(dir_ / "empty");
  WriteFile(pak_, "not a pack");
  EXPECT_EQ(Tarnix({dir_ / "empty", pak_, "-uc"}).status, 0);
  EXPECT_EQ(ReadFile(pak_), std::string("TRNX\1\0\0\0\0\0", 10));
}

TEST_F(Trust, ThePackPathIsHandledDeliberately) {
  // Inside the tree it packs, the pack and stray temporary files are left out.
  WriteFile(dir_ / "src/.tarnix-1-2", "stray");
  for (const char* line : {"Wrote ", "No file changes found"}) {
    CommandResult r = Tarnix({dir_ / "src", dir_ / "src/in.pak"});
    EXPECT_NE(r.output.find(line), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Adding in.pak"), std::string::npos);
  }
  // Anything but a regular file is refused, never opened.
  ASSERT_EQ(mkfifo((dir_ / "fifo.pak").c_str(), 0600), 0);
  fs::create_directories(dir_ / "dir.pak");
  const std::pair<std::string, std::string> refused[] = {
      {dir_ / "fifo.pak", "a FIFO"}, {"/dev/null", "a device"}, {dir_ / "dir.pak", "a directory"}};
  for (const auto& [path, kind] : refused) {
    CommandResult r = Tarnix({dir_ / "src", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "Tarnix v1.00\nRefusing to replace " + path + ": it is " + kind +
                            ", not a regular file\n");
  }
  // A link stays a link: the file it leads to is replaced, and keeps its mode and owner.
  fs::create_directories(dir_ / "real");
  WriteFile(dir_ / "real/p.pak", "old");
  ASSERT_EQ(chmod((dir_ / "real/p.pak").c_str(), 0640), 0);
  ASSERT_EQ(chown((dir_ / "real/p.pak").c_str(), 65534, 65534), geteuid() == 0 ? 0 : -1);
  fs::create_symlink("real/p.pak", dir_ / "link.pak");
  ASSERT_EQ(Tarnix({dir_ / "src", dir_ / "link.pak"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.pak"));
  struct stat st;
  ASSERT_EQ(stat((dir_ / "real/p.pak").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, geteuid() == 0 ? 65534u : geteuid());
  EXPECT_EQ(Listing(dir_ / "real"), std::vector<std::string>{"p.pak"});
  // A new pack gets the mode the umask leaves; a long name still leaves room for the
  // temporary one.
  const std::string longName = dir_ / (std::string(246, 'n') + ".pak");
  ASSERT_EQ(Tarnix({dir_ / "src", longName}, "umask 027").status, 0);
  ASSERT_EQ(stat(longName.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(Trust, TheNewPackReachesTheDiskBeforeItReplacesTheOld) {
  if (RunShell("strace -o /dev/null true").status != 0) GTEST_SKIP() << "strace cannot run here";
  WriteFile(pak_, "old");
  CommandResult r = RunShell("strace -f -e trace=fsync,renameat,renameat2,rename " +
                             ShellQuote(TARNIX_BINARY) + Quoted({dir_ / "src", pak_}) + " >/dev/null");
  std::string calls;
  std::istringstream lines(r.errors);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("resumed>") != std::string::npos) continue;
    if (line.find("fsync(") != std::string::npos) calls += "fsync(";
    if (line.find("rename") != std::string::npos) calls += "rename";
  }
  EXPECT_EQ(calls, "fsync(renamefsync(") << r.errors;
}

TEST_F(Trust, InterruptionsLeaveTheOldPackAndNoTemporaryFile) {
  WriteFile(dir_ / "src/big.bin", RandomBytes(48 << 20, 2));
  WriteFile(pak_, "old");
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    CommandResult r = test::Run({TARNIX_BINARY, dir_ / "src", pak_, "-v"}, signal,
                          [](const std::string& out) { return out.find("\rWriting") != std::string::npos; });
    EXPECT_EQ(r.status, 128 + signal) << r.output;
    ExpectOldPackKept("old");
  }
  ASSERT_EQ(Tarnix({dir_ / "src", pak_, "-uc"}).status, 0);
  CommandResult x = test::Run({TARNIX_INSPECT, "extract", pak_, dir_ / "x", "src/big.bin"}, SIGTERM,
                        [this](const std::string&) {
                          return FileExists(dir_ / "x/src") && !Listing(dir_ / "x/src").empty();
                        });
  EXPECT_EQ(x.status, 128 + SIGTERM);
  EXPECT_EQ(Listing(dir_ / "x/src"), std::vector<std::string>{});
}

TEST_F(Trust, FailuresNameTheFileAndKeepTheOldPack) {
#ifndef TARNIX_SANITIZED  // the sanitizers reserve more address space than these limits allow
  // Without threads to be had, the calling thread packs alone.
  ASSERT_EQ(Tarnix({dir_ / "src", pak_}, "ulimit -s 1000000; ulimit -v 400000").status, 0);
  ExpectSound();
#endif
  WriteFile(pak_, "old");
  WriteFile(dir_ / "src/big.bin", RandomBytes(300000, 4));
  for (const char* option : {"", "-uc"}) {
    // A 64 KiB file-size limit, with SIGXFSZ ignored so the write fails with EFBIG instead.
    CommandResult r = Tarnix({dir_ / "src", pak_, option}, "trap '' XFSZ; ulimit -f 64");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(EndsWith(r.output, "\nFailed to write " + pak_ + ": File too large\n")) << r.output;
    ExpectOldPackKept("old");
  }
  fs::remove(dir_ / "src/big.bin");
  ASSERT_EQ(truncate((dir_ / "src/a.txt").c_str(), 0x80000000LL), 0);  // sparse
  CommandResult r = Tarnix({dir_ / "src", pak_});
  EXPECT_TRUE(EndsWith(r.output, "Adding a.txt...Cannot store " + (dir_ / "src/a.txt") +
                                     ": it is 2147483648 bytes, and an entry must stay below 2 GiB\n"));
  ASSERT_EQ(truncate((dir_ / "src/a.txt").c_str(), 0x7FFF0000LL), 0);
  r = Tarnix({dir_ / "src", pak_, "-uc"});
  EXPECT_TRUE(EndsWith(r.output, "Failed to write " + pak_ +
                                     ": the pack would reach 2 GiB, the largest the format can hold\n"));
  fs::remove(dir_ / "src/a.txt");
  WriteFile(dir_ / "src/sub/back\\slash", "x");
  r = Tarnix({dir_ / "src", pak_});
  EXPECT_EQ(r.output, "Tarnix v1.00\nCannot store " + (dir_ / "src/sub/back\\slash") +
                          ": its name holds a backslash, which a pack takes for a folder separator\n");
  fs::remove(dir_ / "src/sub/back\\slash");
  if (geteuid() != 0) GTEST_SKIP() << "the rest needs root, to run as another user";
  // Run as an unprivileged user, for whom permissions apply, from a copy of the binary that
  // user can reach.
  fs::copy_file(TARNIX_BINARY, dir_ / "Tarnix");
  const std::string asNobody = "exec setpriv --reuid=65534 --regid=65534 --clear-groups " +
                               ShellQuote(dir_ / "Tarnix") + Quoted({dir_ / "src", pak_});
  ASSERT_EQ(chmod((dir_ / "src/sub/b.bin").c_str(), 0600), 0);
  r = RunShell(asNobody);
  EXPECT_EQ(r.output, "Tarnix v1.00\nAdding sub\\b.bin...Failed to open " + (dir_ / "src/sub/b.bin") +
                          ": Permission denied\n");
  ASSERT_EQ(chmod((dir_ / "src/sub").c_str(), 0700), 0);
  r = RunShell(asNobody);
  EXPECT_EQ(r.output, "Tarnix v1.00\nCannot read directory " + (dir_ / "src/sub") + ": Permission denied\n");
  EXPECT_EQ(ReadFile(pak_), "old");
}

TEST_F(Trust, SourcesThatAreNoFilesNeverBlock) {
  ASSERT_EQ(mkfifo((dir_ / "src/pipe").c_str(), 0600), 0);
  CommandResult r = Tarnix({dir_ / "src", pak_});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("Skipping pipe: not a regular file\n"), std::string::npos);
  BinaryStream stream;  // one put where a file was listed
  EXPECT_FALSE(stream.open(dir_ / "src/pipe", OpenMode::Read));
  EXPECT_EQ(stream.status().message(), (dir_ / "src/pipe") + ": it is a FIFO, not a regular file");
}

TEST(Limits, ManyFilesLittleMemoryAndOddNames) {
  TempDir dir;
  for (int i = 0; i < 3000; ++i) WriteFile(dir / ("many/f" + std::to_string(i)), std::to_string(i));
  WriteFile(dir / "many/caf\xE9 \xFF.txt", "latin-1");  // not UTF-8
  CommandResult r = Tarnix({dir / "many", dir / "many.pak", "-v"}, "ulimit -n 64");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("Adding caf\xE9 \xFF.txt...Done\n"), std::string::npos);
  WriteFile(dir / "big/f", "");
  ASSERT_EQ(truncate((dir / "big/f").c_str(), 256LL << 20), 0);  // 256 MiB of zeros, sparse
  for (const char* option : {"-uc", "-v"}) {
    r = test::Run({TARNIX_BINARY, dir / "big", dir / "big.pak", option});
    ASSERT_EQ(r.status, 0);
#ifndef TARNIX_SANITIZED  // the sanitizers' own bookkeeping is not the tool's
    EXPECT_LT(r.peakKiB, 64 * 1024) << option;  // a bounded number of chunks, not the file
#endif
  }
  CommandResult full = RunShell("exec " + ShellQuote(TARNIX_INSPECT) + " list " +
                                ShellQuote(dir / "big.pak") + " >/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.errors, "tarnix-inspect: cannot write standard output: No space left on device\n");
  CommandResult pipe = RunShell(ShellQuote(TARNIX_INSPECT) + " cat " + ShellQuote(dir / "big.pak") +
                                " big/f | head -c 1 >/dev/null");
  EXPECT_NE(pipe.errors.find(": cannot write standard output: Broken pipe"), std::string::npos) << pipe.errors;
}

}  // namespace
}  // namespace tarnix::test

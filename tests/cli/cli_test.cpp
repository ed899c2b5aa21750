// The programs end to end on POSIX: the pack path, interruptions, failures, odd sources.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>
#include <tuple>

#include "platform/platform.h"
#include "support/test_support.h"

namespace tarnix::test {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& a : args) line.append(" ").append(ShellQuote(a));
  return line;
}
// Tarnix with its arguments, after `setup` (shell commands such as ulimit).
CommandResult Tarnix(const std::vector<std::string>& args, const std::string& setup = ":") {
  return RunShell(setup + "; exec " + ShellQuote(TARNIX_BINARY) + Quoted(args));
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Trust : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "src/a.txt", "abc");
    WriteFile(dir_ / "src/sub/b.bin", RandomBytes(70000, 1));
  }
  void ExpectOldPackKept() {
    EXPECT_EQ(ReadFile(pak_), "old");
    EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"out.pak", "src"}));
  }
  TempDir dir_;
  std::string pak_ = dir_ / "out.pak";
};

TEST_F(Trust, ThePackPathIsHandledDeliberately) {
  // Inside the tree it packs, the pack and its temporary files are left out, and only they: a
  // user's file named like one is packed.
  for (const char* name : {".tarnix-0123456789abcdef", "sub/in.pak"})
    WriteFile(dir_ / ("src/" + std::string(name)), name);
  const std::string litter = MakeLitter(dir_ / "src");
  fs::create_symlink(dir_ / "src/in.pak",
                     dir_ / "src/sub/alias.pak");  // the same file by another name
  for (const char* line : {"Wrote ", "No file changes found"}) {
    CommandResult r = Tarnix({dir_ / "src", dir_ / "src/in.pak"});
    EXPECT_TRUE(Has(r.output,
                    "\nAdding .tarnix-0123456789abcdef...Done\nAdding a.txt...Done\n"
                    "Adding sub\\b.bin...Done\nAdding sub\\in.pak...Done\n"))
        << r.output;
    EXPECT_TRUE(Has(r.output, line)) << r.output;
    EXPECT_FALSE(Has(r.output, litter)) << r.output;
  }
  ASSERT_EQ(mkfifo((dir_ / "fifo.pak").c_str(), 0600), 0);
  fs::create_directories(dir_ / "dir.pak");
  // Root gets a null device of its own, which a faulty build may replace without harm; others
  // cannot replace the system's.
  const std::string device = mknod((dir_ / "null.pak").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0
                                 ? dir_ / "null.pak"
                                 : "/dev/null";
  fs::create_symlink("loop2.pak", dir_ / "loop1.pak");
  fs::create_symlink("loop1.pak", dir_ / "loop2.pak");
  fs::create_symlink("gone/p.pak", dir_ / "dangling.pak");
  const std::pair<std::string, std::string> refused[] = {
      {dir_ / "fifo.pak", "it is a FIFO, not a regular file"},
      {device, "it is a device, not a regular file"},
      {dir_ / "dir.pak", "it is a directory, not a regular file"},
      {dir_ / "loop1.pak", "Too many levels of symbolic links"},
      {dir_ / "dangling.pak", "it is a symbolic link whose target does not exist"}};
  for (const auto& [path, reason] : refused) {
    CommandResult r = Tarnix({dir_ / "src", path});
    EXPECT_EQ(r.output, "Tarnix v1.00\nRefusing to replace " + path + ": " + reason + "\n");
    EXPECT_EQ(r.status, 1) << path;
  }
  // A link stays a link: the file it leads to is replaced, and keeps its mode and owner; what a
  // killed run left beside it goes (which names are litter is the platform's test).
  WriteFile(dir_ / "real/p.pak", "old");
  MakeLitter(dir_ / "real");
  ASSERT_EQ(chmod((dir_ / "real/p.pak").c_str(), 02640), 0);
  ASSERT_EQ(chown((dir_ / "real/p.pak").c_str(), 65534, 65534), geteuid() == 0 ? 0 : -1);
  fs::create_symlink(dir_ / "real/p.pak", dir_ / "abs.pak");  // absolute, behind a relative one
  fs::create_symlink("abs.pak", dir_ / "link.pak");
  ASSERT_EQ(Tarnix({dir_ / "src", dir_ / "link.pak"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.pak"));
  struct stat st;
  ASSERT_EQ(stat((dir_ / "real/p.pak").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02640u);
  EXPECT_EQ(st.st_uid, geteuid() == 0 ? 65534u : geteuid());
  EXPECT_EQ(Listing(dir_ / "real"), std::vector<std::string>{"p.pak"});
  // A new pack gets the mode the umask leaves; a long name leaves room for the temporary one.
  const std::string longName = dir_ / (std::string(246, 'n') + ".pak");
  ASSERT_EQ(Tarnix({dir_ / "src", longName}, "umask 027").status, 0);
  ASSERT_EQ(stat(longName.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // Where no file can be unnamed (here /proc is hidden, which linking one takes), each is named
  // for its identity at once: the same pack, and nothing left beside it. (The sanitizers need
  // /proc themselves.)
#ifndef TARNIX_SANITIZED
  if (geteuid() == 0 && RunShell("unshare -m true").status == 0) {
    fs::create_directories(dir_ / "named");
    const std::string run = "mount -t tmpfs none /proc && exec " + ShellQuote(TARNIX_BINARY) +
                            Quoted({dir_ / "src", dir_ / "named/p.pak"});
    EXPECT_EQ(RunShell("unshare -m sh -c " + ShellQuote(run)).status, 0);
    EXPECT_EQ(Listing(dir_ / "named"), std::vector<std::string>{"p.pak"});
    EXPECT_EQ(ReadFile(dir_ / "named/p.pak"), ReadFile(longName));
    // A write that fails takes its named file with it.
    const std::string failing = "mount -t tmpfs none /proc && trap '' XFSZ && ulimit -f 64 && " +
                                ShellQuote(TARNIX_BINARY) +
                                Quoted({dir_ / "src", dir_ / "named/q.pak"});
    EXPECT_EQ(RunShell("unshare -m sh -c " + ShellQuote(failing)).status, 1);
    EXPECT_EQ(Listing(dir_ / "named"), std::vector<std::string>{"p.pak"});
  }
#endif
  // So does a file extract writes, whatever the mode of the file it replaces.
  WriteFile(dir_ / "out/src/a.txt", "old");
  ASSERT_EQ(chmod((dir_ / "out/src/a.txt").c_str(), 04777), 0);
  ASSERT_EQ(RunShell("umask 027; exec " + ShellQuote(TARNIX_INSPECT) +
                     Quoted({"extract", longName, dir_ / "out"}))
                .status,
            0);
  ASSERT_EQ(stat((dir_ / "out/src/a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(dir_ / "out/src/a.txt"), "abc");
}

// The new pack reaches the disk before it replaces the old; extract's files reach it with one
// sync at the end, not one per file.
TEST_F(Trust, WrittenFilesReachTheDisk) {
  if (RunShell("strace -o /dev/null true").status != 0) GTEST_SKIP() << "strace cannot run here";
  WriteFile(pak_, "old");
  const std::pair<std::string, std::string> cases[] = {
      {ShellQuote(TARNIX_BINARY) + Quoted({dir_ / "src", pak_}),
       "fsync rename fsync rename "},  // then the state record
      {ShellQuote(TARNIX_INSPECT) + Quoted({"extract", pak_, dir_ / "x"}), "rename rename syncfs "},
      // Nothing written, nothing to sync.
      {ShellQuote(TARNIX_INSPECT) + Quoted({"extract", pak_, dir_ / "y", "none"}), ""}};
  // An unchanged run whose record shows the pack as it left it reads its table, not the
  // lengths of its 400 chunks, which lie too far apart to be read a page at a time.
  for (int i = 0; i < 100; ++i)
    WriteFile(dir_ / ("many/" + std::to_string(i)), RandomBytes(100000, i));
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // past the racily clean window
  const std::string many = Quoted({dir_ / "many", dir_ / "many.pak"});
  for (int run = 0; run < 2; ++run) RunShell(ShellQuote(TARNIX_BINARY) + many);
  CommandResult reads = RunShell("strace -f -e trace=pread64 " + ShellQuote(TARNIX_BINARY) + many);
  EXPECT_TRUE(Has(reads.output, "No file changes found"));
  EXPECT_LT(std::count(reads.errors.begin(), reads.errors.end(), '\n'), 20) << reads.errors;
  // Nor does one of a set of ten volumes, which opens no source either.
  const std::string set = Quoted({dir_ / "many", dir_ / "s.set", "--volume-size", "1M"});
  for (int run = 0; run < 2; ++run) RunShell(ShellQuote(TARNIX_BINARY) + set);
  reads = RunShell("strace -f -e trace=pread64,openat " + ShellQuote(TARNIX_BINARY) + set);
  EXPECT_TRUE(Has(reads.output, "No file changes found"));
  const std::regex pread("pread64\\(");
  EXPECT_LT(std::distance(std::sregex_iterator(reads.errors.begin(), reads.errors.end(), pread),
                          std::sregex_iterator()),
            100)
      << reads.errors;
  EXPECT_FALSE(std::regex_search(reads.errors, std::regex("many/[0-9]+\"")));
  for (const auto& [command, expected] : cases) {
    CommandResult r = RunShell("strace -f -e trace=fsync,syncfs,renameat,renameat2,rename " +
                               command + " >/dev/null");
    std::string calls;
    const std::regex call("(syncfs|fsync|rename)[a-z0-9]*\\(");
    for (std::sregex_iterator i(r.errors.begin(), r.errors.end(), call), end; i != end; ++i)
      calls += (*i)[1].str() + " ";
    EXPECT_EQ(calls, expected) << command << "\n" << r.errors;
  }
}

TEST_F(Trust, InterruptionsLeaveTheOldPackAndNoTemporaryFile) {
  // Slow to compress (four letters at random), so that a signal lands well within the write.
  std::string big = RandomBytes(48 << 20, 2);
  for (char& c : big) c = static_cast<char>('a' + (c & 3));
  WriteFile(dir_ / "src/big.bin", big);
  WriteFile(pak_, "old");
  std::vector<std::pair<std::vector<std::string>, int>> runs;
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
    runs.push_back({{TARNIX_BINARY, dir_ / "src", pak_, "-v"}, signal});
#ifndef TARNIX_SANITIZED
  // Where no file can be unnamed (/proc hidden), the named one goes too, by the handler.
  if (geteuid() == 0 && RunShell("unshare -m true").status == 0) {
    runs.push_back({{"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                     "mount -t tmpfs none /proc && exec " + ShellQuote(TARNIX_BINARY) +
                         Quoted({dir_ / "src", pak_, "-v"})},
                    SIGTERM});
  }
#endif
  for (const auto& [argv, signal] : runs) {
    CommandResult r =
        Exec(argv, signal, [](const std::string& out) { return Has(out, "\rWriting"); });
    EXPECT_EQ(r.status, 128 + signal);
    ExpectOldPackKept();
  }
  ASSERT_EQ(Tarnix({dir_ / "src", pak_, "-uc"}).status, 0);
  CommandResult x = Exec({TARNIX_INSPECT, "extract", pak_, dir_ / "x", "src/big.bin"}, SIGTERM,
                         [this](const std::string&) { return fs::exists(dir_ / "x/src"); });
  EXPECT_EQ(x.status, 128 + SIGTERM);
  EXPECT_EQ(Listing(dir_ / "x/src"), std::vector<std::string>{});
}

TEST_F(Trust, FailuresNameTheFileAndKeepTheOldPack) {
#ifndef TARNIX_SANITIZED  // the sanitizers reserve more address space than these limits allow
  // Without threads to be had, the calling thread packs alone, and finds its pack up to date.
  const std::string noThreads = "ulimit -s 1000000; ulimit -v 400000";
  ASSERT_EQ(Tarnix({dir_ / "src", pak_}, noThreads).status, 0);
  EXPECT_TRUE(Has(Tarnix({dir_ / "src", pak_}, noThreads).output, "No file changes found"));
#endif
  WriteFile(pak_, "old");
  // A file added to the tree (its size, sparse unless given), the shell's setup, and the line
  // that names the failure. With a 64 KiB file-size limit, the write fails EFBIG.
  const std::tuple<std::string, int64_t, std::string, std::string> failures[] = {
      {"big", 300000, "trap '' XFSZ; ulimit -f 64",
       "\nFailed to write " + pak_ + ": File too large\n"},
      {"huge", 0x80000000LL, ":",
       "Adding huge...Cannot store " + (dir_ / "src/huge") +
           ": it is 2147483648 bytes, and an entry must stay below 2 GiB\n"},
      {"sub/back\\slash", 1, ":",
       "Tarnix v1.00\nCannot store " + (dir_ / "src/sub/back\\slash") +
           ": its name holds a backslash, which a pack takes for a folder separator\n"}};
  for (const auto& [name, size, setup, line] : failures) {
    WriteFile(dir_ / ("src/" + name), size == 300000 ? RandomBytes(300000, 4) : "");
    ASSERT_EQ(truncate((dir_ / ("src/" + name)).c_str(), size), 0);
    CommandResult r = Tarnix({dir_ / "src", pak_}, setup);
    EXPECT_TRUE(Has(r.output, line)) << r.output;
    EXPECT_EQ(r.status, 1) << name;
    ExpectOldPackKept();
    fs::remove(dir_ / ("src/" + name));
  }
  if (geteuid() != 0) GTEST_SKIP() << "the rest needs root, to run as another user";
  // As an unprivileged user, for whom permissions apply, from a copy of the binary it reaches.
  fs::copy_file(TARNIX_BINARY, dir_ / "Tarnix");
  const std::string asNobody = "exec setpriv --reuid=65534 --regid=65534 --clear-groups " +
                               ShellQuote(dir_ / "Tarnix") + Quoted({dir_ / "src", pak_});
  ASSERT_EQ(chmod((dir_ / "src/sub/b.bin").c_str(), 0600), 0);
  EXPECT_EQ(RunShell(asNobody).output,
            "Tarnix v1.00\nAdding a.txt...Done\nAdding sub\\b.bin...Failed to open " +
                (dir_ / "src/sub/b.bin") + ": Permission denied\n");
  ASSERT_EQ(chmod((dir_ / "src/sub").c_str(), 0700), 0);
  EXPECT_EQ(RunShell(asNobody).output,
            "Tarnix v1.00\nCannot read directory " + (dir_ / "src/sub") + ": Permission denied\n");
  EXPECT_EQ(ReadFile(pak_), "old");
}

TEST(Limits, ManyFilesLittleMemoryFifosAndOddNames) {
  TempDir dir;
  for (int i = 0; i < 3000; ++i)
    WriteFile(dir / ("many/d" + std::to_string(i % 100) + "/f" + std::to_string(i)),
              std::to_string(i));
  WriteFile(dir / "many/caf\xE9 \xFF.txt", "latin-1");  // not UTF-8
  // Names cannot end a line, forge one, or steer a terminal.
  WriteFile(dir / "many/x\nSkipping evil.png: a symbolic link whose target does not exist", "");
  WriteFile(dir / "many/\x1b[2Jclear", "");
  ASSERT_EQ(mkfifo((dir / "many/pipe").c_str(), 0600), 0);  // never opened, never waited on
  fs::create_symlink("gone", dir / "many/dangling");
  fs::create_symlink("cycle", dir / "many/cycle");  // resolves to nothing either
  fs::create_symlink(".", dir / "many/loop");
  WriteFile(dir / "elsewhere/in", "followed");
  fs::create_symlink(dir / "elsewhere", dir / "many/linked");  // no loop: followed
  CommandResult r = Tarnix({dir / "many", dir / "many.pak", "-v"}, "ulimit -n 64");
  EXPECT_TRUE(Has(r.output, "\nAdding linked\\in...Done\n"));
  EXPECT_TRUE(
      Has(r.output,
          "\nAdding x\\nSkipping evil.png: a symbolic link whose target does not exist...Done\n"));
  const std::string start =
      "Tarnix v1.00\nSkipping cycle: a symbolic link whose target does not exist\n"
      "Skipping dangling: a symbolic link whose target does not exist\n"
      "Skipping loop: a link back to a directory that contains it\n"
      "Skipping pipe: not a regular file\nAdding \\x1b[2Jclear...Done\nAdding caf\xE9 "
      "\xFF.txt...Done\n";
  EXPECT_EQ(r.output.substr(0, start.size()), start);
  EXPECT_EQ(r.status, 0);
  BinaryStream swapped;  // a FIFO put where a file was listed is refused, not waited on
  EXPECT_FALSE(swapped.open(dir / "many/pipe", OpenMode::Read));
  EXPECT_EQ(swapped.status().message(), (dir / "many/pipe") + ": it is a FIFO, not a regular file");
  WriteFile(dir / "big/f", "");
  ASSERT_EQ(truncate((dir / "big/f").c_str(), 256LL << 20), 0);  // 256 MiB of zeros, sparse
  for (const char* option : {"-uc", "-v"}) {
    r = Exec({TARNIX_BINARY, dir / "big", dir / "big.pak", option});
    ASSERT_EQ(r.status, 0);
#ifndef TARNIX_SANITIZED                        // the sanitizers' own bookkeeping is not the tool's
    EXPECT_LT(r.peakKiB, 64 * 1024) << option;  // a bounded number of chunks, not the file
#endif
  }
  const std::string inspect = ShellQuote(TARNIX_INSPECT) + " ";
  // Each file extracted gives back its descriptors before the next.
  EXPECT_EQ(RunShell("ulimit -n 64; " + inspect + "extract " + ShellQuote(dir / "many.pak") + " " +
                     ShellQuote(dir / "x"))
                .status,
            0);
  r = RunShell("exec " + inspect + "list " + ShellQuote(dir / "big.pak") + " >/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors, "tarnix-inspect: cannot write standard output: No space left on device\n");
  // The packer too: its up-to-date line never arrived.
  r = RunShell("exec " + ShellQuote(TARNIX_BINARY) + " " + ShellQuote(dir / "big") + " " +
               ShellQuote(dir / "big.pak") + " -v >/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors, "Tarnix: cannot write standard output: No space left on device\n");
  r = RunShell(inspect + "cat " + ShellQuote(dir / "big.pak") + " big/f | head -c 1 >/dev/null");
  EXPECT_TRUE(Has(r.errors, ": cannot write standard output: Broken pipe")) << r.errors;
}

}  // namespace
}  // namespace tarnix::test

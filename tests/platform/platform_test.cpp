// What each platform file decides on its own: which names it can create, and which temporary
// files are litter of killed runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

TEST(Platform, RefusesTheNamesItCannotCreate) {
  const std::string tooLong = std::string("a component of 256 bytes is longer than the 255 ") +
#ifdef _WIN32
                              "Windows allows";
#else
                              "a file system allows";
#endif
  const std::pair<std::string, std::string> common[] = {
      {std::string(255, 'n'), ""}, {std::string(256, 'n'), tooLong}, {"level1.map", ""}};
  for (const auto& [name, refusal] : common)
    EXPECT_EQ(platform::NameRefusal(name), refusal) << name.size();
#ifdef _WIN32
  const std::pair<std::string, std::string> windows[] = {
      {"con", "Windows reserves the name CON for a device"},
      {"Lpt9.txt", "Windows reserves the name LPT9 for a device"},
      {"console", ""},
      {"a<b", "it holds a character Windows does not allow in a name"},
      {"a?", "it holds a character Windows does not allow in a name"},
      {"tab\t", "it holds a character Windows does not allow in a name"},
      {"end.", "Windows drops a dot or space at the end of a name"},
      {"end ", "Windows drops a dot or space at the end of a name"}};
  for (const auto& [name, refusal] : windows)
    EXPECT_EQ(platform::NameRefusal(name), refusal) << name;
#else
  for (const char* name : {"con", "a<b?", "end. "})
    EXPECT_EQ(platform::NameRefusal(name), "") << name;
#endif
}

// A root keeps its one separator: a pack there is written in the root, not in "." nor "//".
TEST(Platform, SplitsAndJoinsPathsKeepingTheRoot) {
  for (const auto& [path, folder] :
       {std::pair<const char*, const char*>{"/x.pak", "/"}, {"a/b/x.pak", "a/b"}, {"x.pak", "."}}) {
    std::string directory, name;
    platform::SplitPath(path, &directory, &name);
    EXPECT_EQ(directory, folder) << path;
    EXPECT_EQ(name, "x.pak") << path;
    EXPECT_EQ(platform::JoinPath(directory, name),
              directory == "/" ? "/x.pak" : directory + platform::PathSeparator + name);
  }
}

// The code a failure carries is what callers act on: a missing file, memory, anything else.
TEST(Platform, FailuresCarryACode) {
  const std::pair<int, StatusCode> errors[] = {{ENOENT, StatusCode::NotFound},
                                               {ENOTDIR, StatusCode::NotFound},
                                               {ENOMEM, StatusCode::OutOfMemory},
                                               {EACCES, StatusCode::Io}};
  for (const auto& [number, code] : errors)
    EXPECT_EQ(platform::SystemError("p", number).code(), code) << number;
  EXPECT_EQ(Status::Error(StatusCode::Ok, "x").code(), StatusCode::Io);  // a failure is never ok
}

// Only what this tool can prove it made, and no run holds, goes: a file whose name carries its
// own identity and on which no lock is held. A user's file of such a name, a copy of litter,
// and a live run's file stay, whatever process made them.
TEST(Platform, RemovesOnlyTheLitterItCanProveDead) {
  test::TempDir dir;
  platform::DirectoryHandle folder;
  ASSERT_TRUE(folder.open(dir.path(), false).ok());
  // The same name for the same identity in every build, so that a later one knows the litter.
  EXPECT_EQ(platform::TemporaryName(platform::FileId{true, 1, 2}), ".tarnix-7717980363c8e066");
  const std::string dead = test::MakeLitter(dir.path()), live = test::MakeLitter(dir.path());
  std::vector<std::string> kept = {live, ".tarnix-0123456789abcdef", dead + "-1", "kept.txt"};
  test::WriteFile(dir / kept[1], "a user's");
  test::WriteFile(dir / kept[2], "a copy");
  test::WriteFile(dir / kept[3], "");
#ifdef _WIN32
  // A run holds a lock on a byte far past the data of its file.
  HANDLE held =
      CreateFileA((dir / live).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  OVERLAPPED beyond = {};
  beyond.OffsetHigh = 0x40000000;
  ASSERT_TRUE(
      LockFileEx(held, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &beyond));
#else
  // A run holds an OFD lock on its file.
  const int held = open((dir / live).c_str(), O_RDWR);
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);
  if (geteuid() == 0) {  // another user's litter is not ours to remove
    kept.push_back(test::MakeLitter(dir.path()));
    ASSERT_EQ(chown((dir / kept.back()).c_str(), 65534, 65534), 0);
  }
#endif
  for (const std::string& name :
       {dead, live, kept[1], kept[2]}) {  // the scan leaves out the first two
    EXPECT_EQ(platform::IsOwnTemporaryFile(dir.path(), name), name == dead || name == live) << name;
  }
  platform::RemoveStaleTemporaryFiles(folder);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(test::Listing(dir.path()), kept);
#ifdef _WIN32
  CloseHandle(held);
#else
  close(held);
#endif
  std::vector<platform::DirectoryEntry> listing;  // "." and ".." are no entries; no stamps unasked
  platform::FileId self;
  ASSERT_TRUE(platform::ListDirectory(dir.path(), &listing, &self).ok());
  ASSERT_EQ(listing.size(), kept.size());
  EXPECT_FALSE(listing[0].stamp.has_value());
  // A new file shows no name until its commit, where the system allows.
  platform::TempFile first;
  std::FILE* file = nullptr;
  ASSERT_TRUE(first.create(folder, "t", &file).ok());
  ASSERT_EQ(std::fclose(file), 0);
#ifdef O_TMPFILE
  EXPECT_EQ(test::Listing(dir.path()), kept);
#endif
  ASSERT_TRUE(first.commit().ok());
  EXPECT_EQ(test::ReadFile(dir / "t"), "");
}

#ifndef _WIN32
// Once the rename that settles a run is made, an interruption lets the run end as it would.
TEST(Platform, AnInterruptionAfterTheSettlingCommitIsNoFailure) {
  test::TempDir dir;
  using Outcome = platform::TempFile::Outcome;
  for (Outcome outcome : {Outcome::Pending, Outcome::Settled}) {
    const pid_t pid = fork();
    if (pid == 0) {
      platform::RemoveTemporaryFilesOnInterrupt(false);
      platform::DirectoryHandle folder;
      platform::TempFile temp;
      std::FILE* file = nullptr;
      if (!folder.open(dir.path(), false).ok() || !temp.create(folder, "p", &file).ok() ||
          std::fclose(file) != 0 || !temp.commit(platform::TempFile::Sync::Now, outcome).ok()) {
        _exit(3);
      }
      raise(SIGTERM);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status),
              outcome == Outcome::Settled ? 0 : 128 + SIGTERM);
  }
}
#endif

}  // namespace
}  // namespace tarnix

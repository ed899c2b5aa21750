// What each platform file decides on its own: which names it can create, and which temporary
// files are litter of killed runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <signal.h>
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
  const std::pair<std::string, std::string> common[] = {{std::string(255, 'n'), ""}, {std::string(256, 'n'), tooLong},
                                                        {"level1.map", ""}};
  for (const auto& [name, refusal] : common) EXPECT_EQ(platform::NameRefusal(name), refusal) << name.size();
#ifdef _WIN32
  const std::pair<std::string, std::string> windows[] = {
      {"con", "Windows reserves the name CON for a device"}, {"Lpt9.txt", "Windows reserves the name LPT9 for a device"},
      {"console", ""}, {"a<b", "it holds a character Windows does not allow in a name"},
      {"a?", "it holds a character Windows does not allow in a name"}, {"tab\t", "it holds a character Windows does not allow in a name"},
      {"end.", "Windows drops a dot or space at the end of a name"}, {"end ", "Windows drops a dot or space at the end of a name"}};
  for (const auto& [name, refusal] : windows) EXPECT_EQ(platform::NameRefusal(name), refusal) << name;
#else
  for (const char* name : {"con", "a<b?", "end. "}) EXPECT_EQ(platform::NameRefusal(name), "") << name;
#endif
}

// A root keeps its one separator: a pack there is written in the root, not in "." nor "//".
TEST(Platform, SplitsAndJoinsPathsKeepingTheRoot) {
  for (const char* path : {"/x.pak|/", "a/b/x.pak|a/b", "x.pak|."}) {
    std::string directory, name, row = path;
    platform::SplitPath(row.substr(0, row.find('|')), &directory, &name);
    EXPECT_EQ(name + "|" + directory, "x.pak" + row.substr(row.find('|'))) << path;
    EXPECT_EQ(platform::JoinPath(directory, name), directory == "/" ? "/x.pak" : directory + platform::PathSeparator + name);
  }
}

// The code a failure carries is what callers act on: a missing file, memory, anything else.
TEST(Platform, FailuresCarryACode) {
  const std::pair<int, StatusCode> errors[] = {{ENOENT, StatusCode::NotFound}, {ENOTDIR, StatusCode::NotFound},
                                               {ENOMEM, StatusCode::OutOfMemory}, {EACCES, StatusCode::Io}};
  for (const auto& [number, code] : errors) EXPECT_EQ(platform::SystemError("p", number).code(), code) << number;
  EXPECT_EQ(Status::Error(StatusCode::Ok, "x").code(), StatusCode::Io);  // a failure is never ok
}

TEST(Platform, RemovesOnlyTheLitterOfGoneProcessesOnThisMachine) {
  test::TempDir dir;
  // No process has this number: above Linux's limit, and not a multiple of 4 as Windows' are.
  const unsigned long gone = 999999998;
  const uint32_t machine = platform::MachineTag();
  // Kept: another machine's, process 0's (none of ours), and live ones listed after dead ones.
  std::vector<std::string> kept = {platform::TemporaryName(machine + 1, gone, 0), platform::TemporaryName(machine, 0, 0), "kept.txt"};
  for (unsigned n = 0; n < 5; ++n) {
    kept.push_back(platform::TemporaryName(machine, static_cast<unsigned long>(getpid()), n));
    test::WriteFile(dir / platform::TemporaryName(machine, gone, n), "litter");
  }
  for (const std::string& name : kept) test::WriteFile(dir / name, "litter");
  platform::DirectoryHandle folder;
  ASSERT_TRUE(folder.open(dir.path(), false).ok());
  platform::RemoveStaleTemporaryFiles(folder);
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(test::Listing(dir.path()), kept);
  std::vector<platform::DirectoryEntry> listing;  // "." and ".." are no entries; no stamps unasked
  platform::FileId self;
  EXPECT_TRUE(platform::ListDirectory(dir.path(), &listing, &self).ok() && listing.size() == kept.size() && !listing[0].stamp);
  // A name in use (what a killed run with this process number left) is passed over.
  platform::TempFile first, second;
  std::FILE* file = nullptr;
  ASSERT_TRUE(first.create(folder, "t", &file).ok() && std::fclose(file) == 0);
  const size_t cut = first.path().rfind('-') + 1;
  test::WriteFile(first.path().substr(0, cut) + std::to_string(std::stoul(first.path().substr(cut)) + 1), "");
  ASSERT_TRUE(second.create(folder, "t", &file).ok() && std::fclose(file) == 0);
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

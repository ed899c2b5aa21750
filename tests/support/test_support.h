// Helpers shared by the tests: scratch directories, files, and running commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnix::test {

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `content` to `path`, creating the parent directories.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
void MakeDirs(const std::string& path);
// Bytes that compress poorly, the same for the same seed.
std::string RandomBytes(size_t size, uint32_t seed);
// Modification time in nanoseconds.
int64_t ModifiedTime(const std::string& path);

struct CommandResult {
  int status = -1;     // exit status, or 128 + signal
  std::string output;  // standard output
  std::string errors;  // standard error
  long peakKiB = 0;    // peak resident memory, where the platform tells
};

// Runs a program with arguments, without a shell. On Windows, CR LF in what it prints is read
// as LF.
CommandResult Run(const std::vector<std::string>& argv);
// Runs a script with /bin/sh -c (POSIX only).
CommandResult RunShell(const std::string& script);
// Quotes one argument for the shell.
std::string ShellQuote(const std::string& text);

}  // namespace tarnix::test

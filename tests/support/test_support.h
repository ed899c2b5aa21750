// Helpers shared by the tests and the fuzz seeds: scratch directories, files, running
// commands, and packs made byte by byte.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
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
// Names in a directory, sorted.
std::vector<std::string> Listing(const std::string& directory);
// Bytes that compress poorly, the same for the same seed.
std::string RandomBytes(size_t size, uint32_t seed);

struct CommandResult {
  int status = -1;     // exit status, or 128 + signal
  std::string output;  // standard output
  std::string errors;  // standard error
  long peakKiB = 0;    // peak resident memory, where the platform tells
};

// Runs a program with arguments, without a shell. On Windows, CR LF in what it prints is read
// as LF. With `signal` (POSIX), sends it once `ready` says so, given the output so far.
CommandResult Run(const std::vector<std::string>& argv, int signal = 0,
                  const std::function<bool(const std::string& output)>& ready = {});
// Runs a script with /bin/sh -c (POSIX only).
CommandResult RunShell(const std::string& script);
std::string ShellQuote(const std::string& text);

// One entry of a pack made by hand: its stored form is made from `content` as the writer makes
// it, unless `stored` gives it; `checksum` defaults to the content's.
struct MadeEntry {
  MadeEntry(std::string n, std::string c) : name(std::move(n)), content(std::move(c)) {}
  std::string name;
  std::string content;
  std::optional<std::string> stored;
  std::optional<uint32_t> checksum;
};

struct MadePack {
  std::string bytes;
  std::vector<size_t> records;  // where each table record begins
  std::vector<size_t> data;     // where each entry's stored form begins
};

// Lays out a pack as the writer does, in memory.
MadePack MakePack(const std::vector<MadeEntry>& entries, bool compressed);
// The framed chunk (length and zlib stream) the writer makes for `piece`.
std::string Chunk(const std::string& piece);
std::string Le32(uint32_t value);

}  // namespace tarnix::test

// Helpers shared by the tests and the fuzz seeds: scratch folders, files, running programs,
// and packs made byte by byte.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "compress/entry_pipeline.h"
#include "io/binary_stream.h"

namespace tarnix::test {

// A fresh folder under the system's temporary one, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& content);  // parents made too
std::string ReadFile(const std::string& path);
std::vector<std::string> Listing(const std::string& folder);  // sorted names
std::string RandomBytes(size_t size, uint32_t seed);          // the same for the same seed
// A file in `folder` as a killed run of the tool leaves it, named for its own identity; its name.
std::string MakeLitter(const std::string& folder);
const std::string& CacheFolder();  // the user's cache folder for every run the tests make

struct CommandResult {
  int status = -1;  // exit status, or 128 + signal
  std::string output, errors;
  long peakKiB = 0;  // where the platform tells
};
// Runs a program without a shell (POSIX only); with `signal`, sends it once `ready` says so.
CommandResult Exec(const std::vector<std::string>& argv, int signal = 0,
                   const std::function<bool(const std::string& output)>& ready = {});
CommandResult RunShell(const std::string& script);  // /bin/sh -c, POSIX only
std::string ShellQuote(const std::string& text);

// An entry of a pack made by hand: stored as the writer stores `content`, unless `stored` is
// given; `checksum` defaults to the content's.
struct MadeEntry {
  MadeEntry(std::string n, std::string c, std::optional<std::string> s = std::nullopt)
      : name(std::move(n)), content(std::move(c)), stored(std::move(s)) {}
  std::string name, content;
  std::optional<std::string> stored;
  std::optional<uint32_t> checksum;
};
// A pack's bytes, where each table record begins, and where each entry's stored form begins.
struct MadePack {
  std::string bytes;
  std::vector<size_t> records, data;
};
MadePack MakePack(const std::vector<MadeEntry>& entries, bool compressed);
// Framed as the writer frames it, but compressed by zlib, not by the code under test.
std::string Chunk(const std::string& piece);
// What zlib's inflate makes of each frame of a stored form, or nothing when a frame is broken
// or a stream does not fill its frame.
std::optional<std::vector<std::string>> Unframe(const std::string& stored);
// The chunks' contents the stored forms of `contents` must decode to, in turn: full but the last.
std::vector<std::string> Pieces(const std::vector<std::string>& contents);
// The stored form the writer makes of `content` in a compressed pack, by MakePack.
std::string Stored(const std::string& content);
// Bytes of about 7.9 bits each: dense, but not so dense that a Huffman code saves nothing.
std::string Skewed(size_t size, uint32_t seed);
BinaryStream InMemory(const std::string& bytes);  // read from the start

// Counts the chunks a pipeline compresses; its options() watch with it.
struct ChunkCounter : PipelineObserver {
  std::atomic<int> compressed{0};
  void chunkCompressed(size_t, size_t, uint8_t*, size_t) override { ++compressed; }
  void cacheReleased(int64_t, int64_t) override {}
  EntryDataOptions options() {
    EntryDataOptions watched;
    watched.observer = this;
    return watched;
  }
};

// Watches a pipeline through the functions set: `options.observer = &watch`.
struct Watch : PipelineObserver {
  std::function<void(size_t entry, size_t chunk, uint8_t* framed, size_t size)> chunk;
  std::function<void(int64_t offset, int64_t length)> released;
  void chunkCompressed(size_t e, size_t c, uint8_t* framed, size_t size) override {
    if (chunk) chunk(e, c, framed, size);
  }
  void cacheReleased(int64_t offset, int64_t length) override {
    if (released) released(offset, length);
  }
};
std::string Le32(uint32_t value);

}  // namespace tarnix::test

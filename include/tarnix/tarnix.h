// Tarnix for engines and tools: read the table and the files of a .pak archive, and write one
// from a list of files. Names are stored as given: "<folder>/<path with \ between folders>"
// is what the Tarnix program writes. The byte layout is in share/doc/tarnix/pack-format.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarnix {

// One file as a pack's table records it.
struct PackedFile {
  std::string name;
  uint32_t size = 0;      // bytes of content
  uint32_t checksum = 0;  // of the content
};

// A pack opened for reading. Its file stays open until the reader is destroyed.
class PackReader {
 public:
  PackReader();
  ~PackReader();
  PackReader(const PackReader&) = delete;
  PackReader& operator=(const PackReader&) = delete;

  // Opens the pack at `path` and reads its table. False, with error() saying why, when it
  // cannot be read or its layout is damaged.
  bool open(const std::string& path);
  const std::vector<PackedFile>& files() const;
  // The content of files()[index], decoded and checked against its checksum.
  bool read(size_t index, std::vector<uint8_t>* content);
  // The index of the file of that name ("/" and "\" alike), or -1.
  long find(const std::string& name) const;
  // The last failure, naming the file and the reason.
  const std::string& error() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A file to put in a pack: its stored name, and where its content is.
struct FileToPack {
  std::string name;
  std::string path;
};

struct PackOptions {
  bool compress = true;  // false stores every file as it is
  bool verify = false;   // decode everything written again and compare
};

// Writes a pack of `files`, in their order, at `path`: into a temporary file beside it that
// replaces `path` only when complete. False, with `*error` naming the file and the reason, when
// it cannot; `path` is then left as it was.
bool WritePack(const std::string& path, const std::vector<FileToPack>& files,
               const PackOptions& options, std::string* error);

}  // namespace tarnix

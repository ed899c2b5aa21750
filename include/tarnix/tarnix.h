// Tarnix for engines and tools: read the table and the files of a .pak archive, whole, in
// ranges or as streams, from many threads; and write one from a list of files. Names are stored
// as given: "<folder>/<path with \ between folders>" is what the Tarnix program writes. The byte
// layout is in share/doc/tarnix/pack-format.md, the library's guide in docs/library.md.
//
// No call throws, running out of memory included: failures are a false return and an Error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnix {

// One file as a pack's table records it.
struct PackedFile {
  std::string name;
  uint32_t size = 0;      // bytes of content
  uint32_t checksum = 0;  // of the content
};

enum class ErrorCode {
  None,
  NotOpen,     // the reader holds no pack
  NotFound,    // no file of that name or index in the pack, or no such file on disk
  OutOfRange,  // a range or seek past a file's end
  Damaged,     // the pack breaks the format's rules (a chunk, a length, a checksum)
  Io,          // the system could not read or write a file
  Refused,     // WritePack: a target, name or size the format or the reader would not accept
  OutOfMemory,
};

// What went wrong: a code to act on and a message that names the file and the reason.
struct Error {
  ErrorCode code = ErrorCode::None;
  std::string message;
};

// The answer of PackReader::find: the file's index, or the name that was not found, which read
// then reports ("no file named X").
struct FoundFile {
  std::optional<size_t> index;
  std::string missing;
  explicit operator bool() const { return index.has_value(); }
};

enum class NameCase { Exact, IgnoreAscii };

class PackFile;

// A pack opened for reading; its file (or memory) stays in use until the reader is closed or
// destroyed.
//
// Threads: open, openMemory and the destructor must not run beside any other call. Once open,
// every const member may be called from any number of threads at once: reads are positioned
// (never a shared file position), and each thread decodes into scratch of its own; their
// failures go to the Error each call is given. error() and errorCode() are open's.
class PackReader {
 public:
  PackReader();
  ~PackReader();
  PackReader(const PackReader&) = delete;
  PackReader& operator=(const PackReader&) = delete;

  // Opens the pack at `path` (starting at byte `baseOffset` of the file, for a pack appended to
  // a larger one: the table's offsets count from the pack's first byte), reads its table and
  // walks its layout. False, with error() saying why, when it cannot be read or is damaged.
  // A set file (written by Tarnix --volume-size) opens every volume it names, each checked
  // against it, and reads as one pack: indexes run across the volumes in order.
  bool open(const std::string& path, uint64_t baseOffset = 0);
  // The same for a pack already in memory: the `size` bytes at `data` are read in place, and
  // must stay unchanged while the reader is open.
  bool openMemory(const void* data, size_t size);
  // Why the last open failed (the message, and its code).
  const std::string& error() const { return openError_.message; }
  ErrorCode errorCode() const { return openError_.code; }

  const std::vector<PackedFile>& files() const;
  // The file of that name, "/" and "\" alike (with NameCase::IgnoreAscii, A-Z and a-z alike
  // too); the first of equal names. Constant time, from a table of names made at open.
  FoundFile find(const std::string& name, NameCase nameCase = NameCase::Exact) const;

  // The whole content of a file, decoded and checked, its checksum included.
  bool read(size_t index, std::vector<uint8_t>* content, Error* error = nullptr) const;
  bool read(const FoundFile& file, std::vector<uint8_t>* content, Error* error = nullptr) const;
  // `length` bytes of a file from `offset`: only the 32 KiB chunks the range touches are
  // decoded, each checked whole. A range past the file's end is an error, and nothing is read.
  bool readRange(size_t index, uint64_t offset, void* out, size_t length,
                 Error* error = nullptr) const;
  bool readRange(const FoundFile& file, uint64_t offset, void* out, size_t length,
                 Error* error = nullptr) const;
  // A stream over one file, for reading it in pieces; false when there is no such file.
  bool openFile(size_t index, PackFile* file, Error* error = nullptr) const;
  bool openFile(const FoundFile& found, PackFile* file, Error* error = nullptr) const;

 private:
  friend class PackFile;
  struct State;
  bool readTableAndLayout();
  bool finishOpen();
  bool notFound(const FoundFile& file, Error* error) const;
  std::unique_ptr<State> state_;
  Error openError_;
};

// One file of an open PackReader, read in pieces from a position of its own. One thread at a
// time per PackFile; many PackFiles (one per thread) may share a reader, which must outlive them.
class PackFile {
 public:
  // Up to `length` bytes from the position, which moves past them: fewer only at the end. On
  // a failure, 0 with `error` set.
  size_t read(void* out, size_t length, Error* error = nullptr);
  // False (the position unchanged) past the end.
  bool seek(uint64_t position);
  uint64_t tell() const { return position_; }
  uint64_t size() const { return size_; }

 private:
  friend class PackReader;
  const PackReader* reader_ = nullptr;
  size_t index_ = 0;
  uint64_t position_ = 0;
  uint64_t size_ = 0;
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

// Writes a pack of `files`, in their order, at `path` (or where the links at `path` lead):
// into a temporary file beside it that replaces it only when complete and on the disk, keeping
// the replaced file's mode. Refused: a directory, FIFO, socket or device at `path`, and names a
// reader would not extract (empty, a leading separator, "..", an empty component, a NUL, the
// same path twice). False, with `*error` naming the file and the reason, when it cannot;
// `path` is then left as it was.
bool WritePack(const std::string& path, const std::vector<FileToPack>& files,
               const PackOptions& options, std::string* error);
bool WritePack(const std::string& path, const std::vector<FileToPack>& files,
               const PackOptions& options, Error* error);

// From now on Ctrl+C, SIGTERM, SIGHUP and SIGPIPE remove the temporary file of a WritePack in
// progress and end the process as the signal would (status 128 + its number), as the Tarnix
// program does. For a tool's main: the library installs no signal handler by itself, since an
// engine owns its signals. A temporary file that a killed run left is removed by the next
// WritePack beside it either way.
void RemoveTemporaryFilesOnInterrupt();

}  // namespace tarnix

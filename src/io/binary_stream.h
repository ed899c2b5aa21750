// BinaryStream: every byte the tool reads or writes goes through this class, over a file or a
// growable memory buffer. Numbers are little-endian whatever the host.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "platform/platform.h"

namespace tarnix {

enum class OpenMode : int32_t { Read = 1, Write = 2, Append = 3 };
enum class StreamKind : uint32_t { None = 0, File = 1, Memory = 2, View = 3 };

class BinaryStream {
 public:
  // Copies share an open file and its position; the file closes with `close` or when the
  // last copy is gone.
  BinaryStream() = default;

  // Closes what the stream held first, so a failed open always leaves it closed. Mode is the
  // raw number so that an invalid one can be reported ("Invalid open mode 4"). Read opens only
  // a regular file.
  bool open(const std::string& path, int32_t mode);
  bool open(const std::string& path, OpenMode mode) {
    return open(path, static_cast<int32_t>(mode));
  }
  // Takes over a file opened elsewhere for writing, with a buffer of `bufferSize` bytes; `path`
  // names it in messages. A stream written front to back in large pieces asks for a large
  // buffer, to make few big writes.
  void adoptForWriting(std::FILE* file, const std::string& path, size_t bufferSize);
  void openMemory();
  // Reads `size` bytes that the caller keeps alive and unchanged while the stream (or a copy)
  // is open; nothing is copied, and writes fail. `name` names it in messages.
  void openView(const void* data, size_t size, const std::string& name);
  // Treats byte `base` of an open file as its start: every position, size included, counts
  // from there (a pack appended to a larger file). False when the file is shorter.
  bool setBase(int64_t base);
  // Fails when anything done through this stream since it was opened, or the close itself,
  // failed.
  Status close();

  bool isOpen() const { return kind_ != StreamKind::None; }
  // The text of the last failed open: "Invalid open mode N" or "Failed to open file with
  // errno N". Never cleared by a later success.
  const std::string& errorText() const { return errorText_; }
  // The first failure since the last open (or of that open), as "path: reason"; reads and
  // writes record theirs here, so that a run of them is checked once.
  const Status& status() const { return status_; }

  int64_t size();
  int64_t tell();
  bool seek(int64_t position);
  bool atEnd();

  // Delivers up to `count` bytes; fewer at the end.
  int64_t read(void* destination, int64_t count);
  // Reads up to `count` bytes from `position` of a stream open for reading, fewer only where
  // the stream ends, and sets `*got` to how many. Fails only when the system failed the read:
  // code Io, "path: reason", and `*got` 0. Changes nothing in the stream (its position
  // included), so any number of threads may call it at once on one stream.
  Status readAt(int64_t position, void* destination, int64_t count, int64_t* got) const;
  // The same for exactly `count` bytes: a stream that ends before them fails as Damaged, since
  // whoever asked was promised them ("path: ends before byte N").
  Status readExactAt(int64_t position, void* destination, int64_t count) const;
  uint8_t readU8();
  uint16_t readU16();
  uint32_t readU32();
  // Reads `length` bytes and returns those before the first NUL.
  std::string readString(int16_t length);
  // The whole content; the position is left where it was. Empty for a closed stream.
  std::vector<uint8_t> readAll();
  // A memory stream's content, without a copy; valid until the next write or close.
  const std::vector<uint8_t>& buffer() const { return buffer_; }

  bool write(const void* source, int64_t count);
  bool writeU8(uint8_t value);
  bool writeU16(uint16_t value);
  bool writeU32(uint32_t value);
  // Puts what was written on the disk (a file) before it is renamed into place.
  bool sync();
  // Starts putting what was written so far on the disk, without waiting for it.
  void startWriteback();
  // Tells the system that `length` bytes from `offset` will not be read again, so that the
  // memory caching them may go to what is written next.
  void dropCached(int64_t offset, int64_t length) const;
  // Cuts a file to `size` bytes.
  bool truncate(int64_t size);

 private:
  struct FileHandle {
    std::FILE* file = nullptr;
    std::unique_ptr<char[]> buffer;  // outlives the file, which uses it
    ~FileHandle();
  };

  std::FILE* file() const { return handle_ ? handle_->file : nullptr; }
  bool fail();
  void adopt(std::FILE* file, const std::string& path);
  void resetToClosed();

  StreamKind kind_ = StreamKind::None;
  std::shared_ptr<FileHandle> handle_;
  std::vector<uint8_t> buffer_;
  const uint8_t* view_ = nullptr;  // a View's bytes, not owned
  int64_t viewSize_ = 0;
  int64_t base_ = 0;      // where a file's byte 0 lies
  bool reading_ = false;  // a file opened for reading alone
  int64_t position_ = 0;
  std::string path_;
  std::string errorText_;
  Status status_;
};

// The text a failed open keeps, naming the system's error number: "Failed to open file with
// errno N".
std::string OpenErrorText(int errorNumber);

// What a caller says of a failed readExactAt, `what` being "chunk 3: cannot be read": with the
// system's reason where the system failed, else as damage, the bytes not being there.
Status ReadFailure(const Status& failed, const std::string& what);

// How every failed write of a pack is told: "Failed to write <path>: <reason>".
Status WriteFailure(const std::string& path, StatusCode code, const std::string& reason,
                    int errorNumber = 0);
// The same for the first failure of `out`, in the system's words.
Status WriteFailure(const std::string& path, const BinaryStream& out);

// Writes `bytes` as the file at `path` (or where the links at `path` lead) through a new file
// beside it that takes its place in one rename, once what killed runs left there is gone. The
// mode, sync and outcome are TempFile's; with Sync::Now the file is on the disk before its
// rename. A failure names `path` and the reason, and leaves what was there.
Status CommitFile(const std::string& path, const std::string& bytes,
                  platform::TempFile::Mode mode = platform::TempFile::Mode::OfTarget,
                  platform::TempFile::Sync sync = platform::TempFile::Sync::Now,
                  platform::TempFile::Outcome outcome = platform::TempFile::Outcome::Pending);

}  // namespace tarnix

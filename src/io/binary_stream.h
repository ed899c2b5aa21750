// BinaryStream: every byte the tool reads or writes goes through this class, over a file or a
// growable memory buffer. Numbers are little-endian whatever the host.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tarnix {

enum class OpenMode : int32_t { Read = 1, Write = 2, Append = 3 };
enum class StreamKind : uint32_t { None = 0, File = 1, Memory = 2 };

class BinaryStream {
 public:
  BinaryStream() = default;

  // Copies share an open file and its position; the file closes with `close` or when the
  // last copy is gone.
  BinaryStream(const BinaryStream&) = default;
  BinaryStream& operator=(const BinaryStream&) = default;
  BinaryStream(BinaryStream&&) = default;
  BinaryStream& operator=(BinaryStream&&) = default;

  // Closes what the stream held first, so a failed open always leaves it closed. Mode is the
  // raw number so that an invalid one can be reported ("Invalid open mode 4").
  bool open(const std::string& path, int32_t mode);
  bool open(const std::string& path, OpenMode mode) {
    return open(path, static_cast<int32_t>(mode));
  }
  // Opens a new file for writing beside `path`; path() then names it. On failure errorText
  // reads like a failed open of `path` in Write mode.
  bool openTemporaryBeside(const std::string& path);
  // Opens a new file for writing in `directory`, named after `baseName`; path() then names it
  // within the directory.
  bool openTemporaryIn(const platform::DirectoryHandle& directory, const std::string& baseName);
  void openMemory();
  // Returns false when anything written through this stream (or the close itself) failed.
  bool close();

  bool isOpen() const { return isOpen_; }
  StreamKind kind() const { return kind_; }
  const std::string& path() const { return path_; }
  // The text of the last failure: "Invalid open mode N", "Failed to open file with errno N",
  // or a read, write, seek or close error. Never cleared by a later success.
  const std::string& errorText() const { return errorText_; }
  // The system error number of the last failure, 0 when there was none.
  int errorNumber() const { return errorNumber_; }
  // True once a read, write, seek or flush has failed since the last open.
  bool hasIoError() const { return ioError_; }

  int64_t size();
  int64_t tell();
  bool seek(int64_t position);
  bool atEnd();
  bool canRead() const;

  // Delivers up to `count` bytes; fewer at the end.
  int64_t read(void* destination, int64_t count);
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
  bool flush();

 private:
  struct FileHandle {
    std::FILE* file = nullptr;
    ~FileHandle();
  };

  std::FILE* file() const { return handle_ ? handle_->file : nullptr; }
  void recordIoError(const char* what);
  void adopt(std::FILE* file, const std::string& path, int32_t mode);
  bool failOpen(int errorNumber);
  void resetToClosed();

  bool isOpen_ = false;
  StreamKind kind_ = StreamKind::None;
  std::shared_ptr<FileHandle> handle_;
  int32_t openMode_ = 0;
  std::vector<uint8_t> buffer_;
  int64_t position_ = 0;
  std::string path_;
  std::string errorText_;
  int errorNumber_ = 0;
  bool ioError_ = false;
};

}  // namespace tarnix

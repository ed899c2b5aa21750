#include "io/binary_stream.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace tarnix {

BinaryStream::FileHandle::~FileHandle() {
  if (file != nullptr) std::fclose(file);
}

void BinaryStream::resetToClosed() {
  handle_.reset();
  buffer_.clear();
  kind_ = StreamKind::None;
  isOpen_ = false;
  position_ = 0;
}

void BinaryStream::recordIoError(const char* what) {
  ioError_ = true;
  errorNumber_ = platform::LastErrorNumber();
  errorText_ = std::string(what) + " failed: " + platform::ErrorString(errorNumber_);
}

bool BinaryStream::open(const std::string& path, int32_t mode) {
  close();
  const char* modeText = nullptr;
  switch (mode) {
    case 1: modeText = "rb"; break;
    case 2: modeText = "wb"; break;
    case 3: modeText = "ab"; break;
    default:
      errorNumber_ = 0;
      errorText_ = "Invalid open mode " + std::to_string(mode);
      return false;
  }
  int err = 0;
  std::FILE* f = platform::OpenFile(path, modeText, &err);
  if (f == nullptr) return failOpen(err);
  adopt(f, path, mode);
  return true;
}

void BinaryStream::adopt(std::FILE* file, const std::string& path, int32_t mode) {
  handle_ = std::make_shared<FileHandle>();
  handle_->file = file;
  openMode_ = mode;
  kind_ = StreamKind::File;
  isOpen_ = true;
  position_ = 0;
  path_ = path;
  ioError_ = false;
}

bool BinaryStream::failOpen(int errorNumber) {
  errorNumber_ = errorNumber;
  errorText_ = "Failed to open file with errno " + std::to_string(errorNumber);
  return false;
}

bool BinaryStream::openTemporaryBeside(const std::string& path) {
  close();
  int err = 0;
  std::string tempPath;
  std::FILE* f = platform::CreateTempFileBeside(path, &tempPath, &err);
  if (f == nullptr) return failOpen(err);
  adopt(f, tempPath, static_cast<int32_t>(OpenMode::Write));
  return true;
}

bool BinaryStream::openTemporaryIn(const platform::DirectoryHandle& directory,
                                   const std::string& baseName) {
  close();
  int err = 0;
  std::string tempName;
  std::FILE* f = directory.createTempFile(baseName, &tempName, &err);
  if (f == nullptr) return failOpen(err);
  adopt(f, tempName, static_cast<int32_t>(OpenMode::Write));
  return true;
}

void BinaryStream::openMemory() {
  buffer_.clear();
  kind_ = StreamKind::Memory;
  isOpen_ = true;
  position_ = 0;
  ioError_ = false;
}

bool BinaryStream::close() {
  if (!isOpen_) return true;
  bool ok = !ioError_;
  if (kind_ == StreamKind::File && handle_ && handle_->file != nullptr) {
    std::FILE* f = handle_->file;
    handle_->file = nullptr;  // closes it for every copy
    if (std::fclose(f) != 0 && ok) {
      recordIoError("Close");
      ok = false;
    }
  }
  resetToClosed();
  return ok;
}

int64_t BinaryStream::size() {
  if (!isOpen_) return 0;
  if (kind_ == StreamKind::Memory) return static_cast<int64_t>(buffer_.size());
  std::FILE* f = file();
  if (f == nullptr) return 0;
  int64_t here = platform::TellFile(f);
  if (here < 0 || !platform::SeekFileToEnd(f)) {
    recordIoError("Seek");
    return 0;
  }
  int64_t end = platform::TellFile(f);
  if (!platform::SeekFile(f, here)) recordIoError("Seek");
  return end < 0 ? 0 : end;
}

int64_t BinaryStream::tell() {
  if (!isOpen_) return 0;
  if (kind_ == StreamKind::Memory) return position_;
  std::FILE* f = file();
  if (f == nullptr) return 0;
  int64_t here = platform::TellFile(f);
  return here < 0 ? 0 : here;
}

bool BinaryStream::seek(int64_t position) {
  if (!isOpen_ || position < 0) return false;
  if (kind_ == StreamKind::Memory) {
    position_ = position;
    return true;
  }
  std::FILE* f = file();
  if (f == nullptr) return false;
  if (!platform::SeekFile(f, position)) {
    recordIoError("Seek");
    return false;
  }
  // Not every runtime's seek clears the end-of-file indicator; failures are kept in ioError_.
  std::clearerr(f);
  return true;
}

bool BinaryStream::atEnd() {
  if (!isOpen_) return true;
  if (kind_ == StreamKind::Memory) return false;
  std::FILE* f = file();
  return f == nullptr || std::feof(f) != 0;
}

bool BinaryStream::canRead() const {
  if (kind_ != StreamKind::File) return true;
  return isOpen_ && openMode_ == static_cast<int32_t>(OpenMode::Read);
}

int64_t BinaryStream::read(void* destination, int64_t count) {
  if (!isOpen_ || count <= 0) return 0;
  if (kind_ == StreamKind::Memory) {
    int64_t available = static_cast<int64_t>(buffer_.size()) - position_;
    if (available <= 0) return 0;
    int64_t n = std::min(count, available);
    std::memcpy(destination, buffer_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
  }
  std::FILE* f = file();
  if (f == nullptr) return 0;
  size_t got = std::fread(destination, 1, static_cast<size_t>(count), f);
  if (got < static_cast<size_t>(count) && std::ferror(f)) recordIoError("Read");
  return static_cast<int64_t>(got);
}

uint8_t BinaryStream::readU8() {
  uint8_t b[1] = {0};
  read(b, 1);
  return b[0];
}

uint16_t BinaryStream::readU16() {
  uint8_t b[2] = {0, 0};
  read(b, 2);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t BinaryStream::readU32() {
  uint8_t b[4] = {0, 0, 0, 0};
  read(b, 4);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

std::string BinaryStream::readString(int16_t length) {
  if (length <= 0) return std::string();
  std::string bytes(static_cast<size_t>(length), '\0');
  int64_t got = read(&bytes[0], length);
  bytes.resize(static_cast<size_t>(got));
  size_t nul = bytes.find('\0');
  if (nul != std::string::npos) bytes.resize(nul);
  return bytes;
}

std::vector<uint8_t> BinaryStream::readAll() {
  if (!isOpen_) return {};
  if (kind_ == StreamKind::Memory) return buffer_;
  int64_t here = tell();
  int64_t total = size();
  std::vector<uint8_t> block(static_cast<size_t>(total));
  seek(0);
  int64_t got = read(block.data(), total);
  block.resize(static_cast<size_t>(got));
  seek(here);
  return block;
}

bool BinaryStream::write(const void* source, int64_t count) {
  if (!isOpen_) return false;
  if (count <= 0) return true;
  if (kind_ == StreamKind::Memory) {
    int64_t end = position_ + count;
    if (end > static_cast<int64_t>(buffer_.size())) buffer_.resize(static_cast<size_t>(end), 0);
    std::memcpy(buffer_.data() + position_, source, static_cast<size_t>(count));
    position_ = end;
    return true;
  }
  std::FILE* f = file();
  if (f == nullptr) return false;
  if (std::fwrite(source, 1, static_cast<size_t>(count), f) != static_cast<size_t>(count)) {
    recordIoError("Write");
    return false;
  }
  return true;
}

bool BinaryStream::writeU8(uint8_t value) { return write(&value, 1); }

bool BinaryStream::writeU16(uint16_t value) {
  uint8_t b[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  return write(b, 2);
}

bool BinaryStream::writeU32(uint32_t value) {
  uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                  static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return write(b, 4);
}

bool BinaryStream::flush() {
  if (!isOpen_ || kind_ != StreamKind::File) return !ioError_;
  std::FILE* f = file();
  if (f != nullptr && std::fflush(f) != 0) recordIoError("Flush");
  return !ioError_;
}

}  // namespace tarnix

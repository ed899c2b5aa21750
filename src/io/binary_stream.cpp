#include "io/binary_stream.h"

#include <algorithm>
#include <cstring>

#include "io/little_endian.h"
#include "platform/platform.h"

namespace tarnix {

BinaryStream::FileHandle::~FileHandle() {
  if (file != nullptr) std::fclose(file);
}

void BinaryStream::resetToClosed() {
  handle_.reset();
  buffer_.clear();
  view_ = nullptr;
  viewSize_ = 0;
  base_ = 0;
  kind_ = StreamKind::None;
  position_ = 0;
}

bool BinaryStream::fail() {
  if (status_.ok()) status_ = platform::SystemError(path_);
  return false;
}

bool BinaryStream::open(const std::string& path, int32_t mode) {
  close().ok();  // whatever the old file's state, it is done with
  const char* modeText = nullptr;
  switch (mode) {
    case 1: modeText = "rb"; break;
    case 2: modeText = "wb"; break;
    case 3: modeText = "ab"; break;
    default:
      errorText_ = "Invalid open mode " + std::to_string(mode);
      status_ = Status::Refused(path + ": " + errorText_);
      return false;
  }
  std::FILE* f = nullptr;
  Status opened = platform::OpenFile(path, modeText, &f);
  if (!opened.ok()) {
    // The text names the error number; a refusal that has none (not a regular file) says why.
    errorText_ = opened.errorNumber() != 0 ? OpenErrorText(opened.errorNumber())
                                           : "Failed to open file: " + opened.message();
    status_ = opened;
    return false;
  }
  adopt(f, path);
  reading_ = mode == 1;
  return true;
}

void BinaryStream::adoptForWriting(std::FILE* file, const std::string& path, size_t bufferSize) {
  close().ok();
  adopt(file, path);
  // The C library takes a size only together with a buffer of the caller's.
  handle_->buffer.reset(new char[bufferSize]);
  std::setvbuf(file, handle_->buffer.get(), _IOFBF, bufferSize);
}

void BinaryStream::adopt(std::FILE* file, const std::string& path) {
  handle_ = std::make_shared<FileHandle>();
  handle_->file = file;
  kind_ = StreamKind::File;
  reading_ = false;
  position_ = 0;
  path_ = path;
  status_ = Status();
}

void BinaryStream::openMemory() {
  buffer_.clear();
  kind_ = StreamKind::Memory;
  position_ = 0;
  status_ = Status();
}

Status BinaryStream::close() {
  if (std::FILE* f = file()) {
    handle_->file = nullptr;  // closes it for every copy
    if (std::fclose(f) != 0) fail();
  }
  resetToClosed();
  return status_;
}

void BinaryStream::openView(const void* data, size_t size, const std::string& name) {
  close().ok();
  view_ = static_cast<const uint8_t*>(data);
  viewSize_ = static_cast<int64_t>(size);
  kind_ = StreamKind::View;
  path_ = name;
  status_ = Status();
}

bool BinaryStream::setBase(int64_t base) {
  if (kind_ != StreamKind::File || base < 0) return false;
  base_ = 0;
  if (base > size()) return false;
  base_ = base;
  return seek(0);
}

int64_t BinaryStream::size() {
  if (kind_ == StreamKind::Memory) return static_cast<int64_t>(buffer_.size());
  if (kind_ == StreamKind::View) return viewSize_;
  std::FILE* f = file();
  if (f == nullptr) return 0;
  if (reading_) {
    // Not from the position: positioned reads move the system's file pointer on Windows, which
    // leaves the C runtime's idea of the position wrong until the next seek.
    const int64_t length = platform::FileLength(f);
    return length < 0 ? (fail(), 0) : std::max<int64_t>(length - base_, 0);
  }
  int64_t here = platform::TellFile(f);
  if (here < 0 || !platform::SeekFileToEnd(f)) return fail(), 0;
  int64_t end = platform::TellFile(f);
  if (!platform::SeekFile(f, here)) fail();
  return std::max<int64_t>(end - base_, 0);
}

int64_t BinaryStream::tell() {
  if (kind_ == StreamKind::Memory || kind_ == StreamKind::View) return position_;
  std::FILE* f = file();
  return f != nullptr ? std::max<int64_t>(platform::TellFile(f) - base_, 0) : 0;
}

bool BinaryStream::seek(int64_t position) {
  if (position < 0) return false;
  if (kind_ == StreamKind::Memory || kind_ == StreamKind::View) {
    position_ = position;
    return true;
  }
  std::FILE* f = file();
  if (f == nullptr) return false;
  if (!platform::SeekFile(f, base_ + position)) return fail();
  // Not every runtime's seek clears the end-of-file indicator.
  std::clearerr(f);
  return true;
}

bool BinaryStream::atEnd() {
  if (kind_ == StreamKind::Memory || kind_ == StreamKind::View) return false;
  std::FILE* f = file();
  return f == nullptr || std::feof(f) != 0;
}

int64_t BinaryStream::read(void* destination, int64_t count) {
  if (kind_ == StreamKind::Memory || kind_ == StreamKind::View) {
    int64_t n = 0;
    readAt(position_, destination, count, &n).ok();  // bytes in memory cannot fail to read
    position_ += n;
    return n;
  }
  std::FILE* f = file();
  if (f == nullptr) return 0;
  size_t got = std::fread(destination, 1, static_cast<size_t>(std::max<int64_t>(count, 0)), f);
  if (std::ferror(f)) fail();  // only a read that failed sets it
  return static_cast<int64_t>(got);
}

Status BinaryStream::readAt(int64_t position, void* destination, int64_t count,
                            int64_t* got) const {
  *got = 0;
  if (position < 0) return Status();
  count = std::max<int64_t>(count, 0);  // a negative count reads nothing
  if (kind_ == StreamKind::Memory || kind_ == StreamKind::View) {
    const uint8_t* bytes = kind_ == StreamKind::View ? view_ : buffer_.data();
    const int64_t available =
        (kind_ == StreamKind::View ? viewSize_ : static_cast<int64_t>(buffer_.size())) - position;
    if (available <= 0) return Status();
    *got = std::min(count, available);
    std::memcpy(destination, bytes + position, static_cast<size_t>(*got));
    return Status();
  }
  std::FILE* f = file();
  if (f == nullptr) return Status();
  // Positioned reads share no file position, so threads may read one file at once.
  const int64_t n = platform::ReadAt(f, base_ + position, destination, count);
  if (n < 0) return platform::SystemError(path_);
  *got = n;
  return Status();
}

Status BinaryStream::readExactAt(int64_t position, void* destination, int64_t count) const {
  int64_t got = 0;
  Status read = readAt(position, destination, count, &got);
  if (read.ok() && got < count) {
    return Status::Damaged(path_ + ": ends before byte " + std::to_string(position + count));
  }
  return read;
}

// Missing bytes (at the end, or of a closed stream) read as zero.
uint8_t BinaryStream::readU8() {
  uint8_t b[1] = {0};
  read(b, 1);
  return b[0];
}

uint16_t BinaryStream::readU16() {
  uint8_t b[2] = {0, 0};
  read(b, 2);
  return LoadU16(b);
}

uint32_t BinaryStream::readU32() {
  uint8_t b[4] = {0, 0, 0, 0};
  read(b, 4);
  return LoadU32(b);
}

std::string BinaryStream::readString(int16_t length) {
  if (length < 1) return std::string();
  std::string bytes(static_cast<size_t>(length), '\0');
  bytes.resize(static_cast<size_t>(read(&bytes[0], length)));
  size_t nul = bytes.find('\0');
  if (nul != std::string::npos) bytes.resize(nul);
  return bytes;
}

std::vector<uint8_t> BinaryStream::readAll() {
  if (kind_ == StreamKind::Memory) return buffer_;
  if (kind_ == StreamKind::View) return std::vector<uint8_t>(view_, view_ + viewSize_);
  if (file() == nullptr) return {};
  int64_t here = tell();
  std::vector<uint8_t> block(static_cast<size_t>(size()));
  seek(0);
  block.resize(static_cast<size_t>(read(block.data(), static_cast<int64_t>(block.size()))));
  seek(here);
  return block;
}

bool BinaryStream::write(const void* source, int64_t count) {
  if (!isOpen() || kind_ == StreamKind::View) return false;
  if (count <= 0) return true;
  if (kind_ == StreamKind::Memory) {
    int64_t end = position_ + count;
    buffer_.resize(std::max(buffer_.size(), static_cast<size_t>(end)), 0);
    std::memcpy(buffer_.data() + position_, source, static_cast<size_t>(count));
    position_ = end;
    return true;
  }
  std::FILE* f = file();  // open, so there is one
  if (std::fwrite(source, 1, static_cast<size_t>(count), f) != static_cast<size_t>(count)) {
    return fail();
  }
  return true;
}

bool BinaryStream::writeU8(uint8_t value) { return write(&value, 1); }

bool BinaryStream::writeU16(uint16_t value) {
  uint8_t b[2];
  StoreU16(b, value);
  return write(b, 2);
}

bool BinaryStream::writeU32(uint32_t value) {
  uint8_t b[4];
  StoreU32(b, value);
  return write(b, 4);
}

bool BinaryStream::sync() {
  std::FILE* f = file();
  if (f != nullptr && !platform::SyncFile(f)) fail();
  return status_.ok();
}

void BinaryStream::startWriteback() {
  if (std::FILE* f = file()) platform::StartWriteback(f);
}

void BinaryStream::dropCached(int64_t offset, int64_t length) const {
  if (std::FILE* f = file()) platform::DropCached(f, offset, length);
}

bool BinaryStream::truncate(int64_t size) {
  if (kind_ == StreamKind::Memory) {
    buffer_.resize(
        static_cast<size_t>(std::min<int64_t>(size, static_cast<int64_t>(buffer_.size()))));
    return true;
  }
  std::FILE* f = file();
  return f != nullptr && (platform::TruncateFile(f, size) || fail());
}

std::string OpenErrorText(int errorNumber) {
  return "Failed to open file with errno " + std::to_string(errorNumber);
}

Status ReadFailure(const Status& failed, const std::string& what) {
  if (failed.code() == StatusCode::Damaged) return Status::Damaged(what);
  return Status::Error(failed.code(), what + ": " + platform::ErrorString(failed.errorNumber()),
                       failed.errorNumber());
}

Status WriteFailure(const std::string& path, StatusCode code, const std::string& reason,
                    int errorNumber) {
  return Status::Error(code, "Failed to write " + path + ": " + reason, errorNumber);
}

Status WriteFailure(const std::string& path, const BinaryStream& out) {
  const int errorNumber = out.status().errorNumber();
  return WriteFailure(path, StatusCode::Io, platform::ErrorString(errorNumber), errorNumber);
}

Status CommitFile(const std::string& path, const std::string& bytes, platform::TempFile::Mode mode,
                  platform::TempFile::Sync sync, platform::TempFile::Outcome outcome) {
  std::string folder, name;
  platform::SplitPath(platform::ResolveLinks(path), &folder, &name);
  platform::DirectoryHandle directory;
  platform::TempFile temp;
  std::FILE* file = nullptr;
  Status created = directory.open(folder, false);
  if (created.ok()) platform::RemoveStaleTemporaryFiles(directory);
  if (created.ok()) created = temp.create(directory, name, &file, mode);
  if (!created.ok()) return WriteFailure(path, created.code(), created.message());
  BinaryStream out;
  out.adoptForWriting(file, temp.path(), 1 << 16);
  out.write(bytes.data(), static_cast<int64_t>(bytes.size()));
  const bool durable = sync == platform::TempFile::Sync::Later || out.sync();
  if (!durable || !out.close().ok()) return WriteFailure(path, out);
  Status committed = temp.commit(sync, outcome);
  if (!committed.ok()) {
    return Status::Io(
        "Failed to replace " + path + ": " + platform::ErrorString(committed.errorNumber()),
        committed.errorNumber());
  }
  return Status();
}

}  // namespace tarnix

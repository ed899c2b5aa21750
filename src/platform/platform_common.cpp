// What the platform layer does alike on every system; what differs lives in one file per
// system beside this one.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/platform.h"

namespace tarnix::platform {

int LastErrorNumber() { return errno; }

std::string ErrorString(int errorNumber) { return std::strerror(errorNumber); }

Status SystemError(const std::string& path, int errorNumber) {
  const StatusCode code = errorNumber == ENOENT || errorNumber == ENOTDIR ? StatusCode::NotFound
                          : errorNumber == ENOMEM                         ? StatusCode::OutOfMemory
                                                                          : StatusCode::Io;
  return Status::Error(code, path + ": " + ErrorString(errorNumber), errorNumber);
}

Status SystemError(const std::string& path) { return SystemError(path, errno); }

const char* KindName(FileKind kind) {
  switch (kind) {
    case FileKind::Missing: return "missing";
    case FileKind::Regular: return "a regular file";
    case FileKind::Directory: return "a directory";
    case FileKind::Fifo: return "a FIFO";
    case FileKind::Socket: return "a socket";
    case FileKind::Device: return "a device";
    case FileKind::Other: break;
  }
  return "a special file";
}

DirectoryHandle::~DirectoryHandle() { reset(); }

DirectoryHandle::DirectoryHandle(DirectoryHandle&& other) noexcept
    : native_(other.native_), path_(std::move(other.path_)) {
  other.native_ = -1;
}

// Move and swap: our old handle leaves with `moved`, and a move onto itself keeps it.
DirectoryHandle& DirectoryHandle::operator=(DirectoryHandle&& other) noexcept {
  DirectoryHandle moved(std::move(other));
  std::swap(native_, moved.native_);
  std::swap(path_, moved.path_);
  return *this;
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty() || std::strchr(PathSeparators, directory.back()) != nullptr) {
    return directory + name;
  }
  return directory + PathSeparator + name;
}

void SplitPath(const std::string& path, std::string* directory, std::string* name) {
  size_t cut = path.find_last_of(PathSeparators);
  if (cut == std::string::npos) {
    *directory = ".";
    *name = path;
    return;
  }
  *directory = path.substr(0, EndsRoot(path, cut) ? cut + 1 : cut);
  *name = path.substr(cut + 1);
}

namespace {

// FNV-1a over the identity: short, and the same on every system and in every run.
std::string IdentityHash(const FileId& id) {
  uint64_t hash = 14695981039346656037ull;
  for (uint64_t part : {id.device, id.inode}) {
    for (int i = 0; i < 8; ++i) hash = (hash ^ ((part >> (8 * i)) & 0xFF)) * 1099511628211ull;
  }
  static const char digits[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) text[static_cast<size_t>(i)] = digits[hash & 15];
  return text;
}

}  // namespace

std::string TemporaryName(const FileId& id) { return TemporaryStem + IdentityHash(id); }

std::string ProvisionalName(unsigned long processId) {
  static std::atomic<unsigned> counter{0};
  return TemporaryStem + std::string("new-") + std::to_string(processId) + "-" +
         std::to_string(counter++);
}

bool NamesTemporaryFile(const std::string& name, const FileId& id) {
  return id.known && name == TemporaryName(id);
}

}  // namespace tarnix::platform

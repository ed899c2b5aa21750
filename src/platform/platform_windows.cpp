// Windows implementation of the platform layer, on the C runtime's narrow-character calls.
// Paths go to the runtime as the user typed them, with either slash.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#define NOMINMAX
#include <windows.h>
#undef ReplaceFile  // windows.h maps it to ReplaceFileA; ours is the platform layer's

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/platform.h"

namespace tarnix::platform {

namespace {

constexpr unsigned DirectoryAttribute = 0x10;  // _A_SUBDIR

bool EndsInSeparator(const std::string& path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

// The C runtime's error number for a failed Windows call, so that messages read alike.
int ErrnoFromLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    default:
      return EIO;
  }
}

std::FILE* CreateNewFile(const std::string& path, int* errorNumber) {
  int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *errorNumber = errno;
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    *errorNumber = errno;
    _close(fd);
    _unlink(path.c_str());
  }
  return file;
}

// Tries names made from `stem` until a file `prefix` + name can be created; `name` receives
// the name that was.
std::FILE* CreateUniqueFile(const std::string& prefix, const std::string& stem,
                            std::string* name, int* errorNumber) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = stem + std::to_string(_getpid()) + "-" +
                            std::to_string(counter.fetch_add(1));
    std::FILE* file = CreateNewFile(prefix + candidate, errorNumber);
    if (file != nullptr) {
      *name = candidate;
      return file;
    }
    if (*errorNumber != EEXIST) return nullptr;
  }
  return nullptr;
}

bool MakeDirectories(const std::string& path) {
  if (_mkdir(path.c_str()) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  size_t end = path.find_last_not_of("\\/");
  size_t cut = end == std::string::npos ? std::string::npos : path.find_last_of("\\/", end);
  if (cut == std::string::npos || cut == 0) return false;
  return MakeDirectories(path.substr(0, cut)) && (_mkdir(path.c_str()) == 0 || errno == EEXIST);
}

}  // namespace

std::FILE* OpenFile(const std::string& path, const char* mode, int* errorNumber) {
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (file == nullptr && errorNumber != nullptr) *errorNumber = errno;
  return file;
}

std::FILE* CreateTempFileBeside(const std::string& besidePath, std::string* tempPath,
                                int* errorNumber) {
  std::FILE* file = CreateUniqueFile("", besidePath + ".tmp", tempPath, errorNumber);
  if (file != nullptr) std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
  return file;
}

bool SeekFile(std::FILE* file, int64_t position) {
  return _fseeki64(file, position, SEEK_SET) == 0;
}

bool SeekFileToEnd(std::FILE* file) { return _fseeki64(file, 0, SEEK_END) == 0; }

int64_t TellFile(std::FILE* file) { return _ftelli64(file); }

bool ReplaceFile(const std::string& from, const std::string& to, int* errorNumber) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  *errorNumber = ErrnoFromLastError();
  return false;
}

void RemoveFile(const std::string& path) { _unlink(path.c_str()); }

bool PathExists(const std::string& path) {
  struct _stat64i32 st;
  return _stat64i32(path.c_str(), &st) == 0;
}

bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries,
                   std::string* errorText) {
  entries->clear();
  struct _finddata64i32_t found;
  intptr_t handle = _findfirst64i32(JoinPath(path, "*.*").c_str(), &found);
  if (handle == -1) {
    *errorText = path + ": " + ErrorString(errno);
    return false;
  }
  do {
    if (std::strcmp(found.name, ".") == 0 || std::strcmp(found.name, "..") == 0) continue;
    DirectoryEntry entry;
    entry.name = found.name;
    entry.kind = (found.attrib & DirectoryAttribute) ? EntryKind::Directory : EntryKind::File;
    entries->push_back(std::move(entry));
  } while (_findnext64i32(handle, &found) == 0);
  _findclose(handle);
  return true;
}

bool GetDirectoryId(const std::string& path, DirectoryId* id, std::string* errorText) {
  // The runtime's stat refuses a trailing separator, except after a drive ("C:\").
  std::string bare = path;
  while (bare.size() > 1 && EndsInSeparator(bare) && bare[bare.size() - 2] != ':') bare.pop_back();
  struct _stat64i32 st;
  if (_stat64i32(bare.c_str(), &st) != 0) {
    *errorText = path + ": " + ErrorString(errno);
    return false;
  }
  if (!(st.st_mode & _S_IFDIR)) {
    *errorText = path + ": " + ErrorString(ENOTDIR);
    return false;
  }
  *id = DirectoryId{};  // the runtime gives no identity; links are not followed into cycles
  return true;
}

bool ProbeFile(const std::string& path, int64_t* size, int* errorNumber) {
  int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    *errorNumber = errno;
    return false;
  }
  struct _stat64 st;
  bool ok = _fstat64(fd, &st) == 0;
  if (!ok) *errorNumber = errno;
  _close(fd);
  if (ok) *size = st.st_size;
  return ok;
}

DirectoryHandle::~DirectoryHandle() { reset(); }

void DirectoryHandle::reset() { native_ = -1; }

bool DirectoryHandle::open(const std::string& path, int* errorNumber) {
  reset();
  if (!MakeDirectories(path)) {
    *errorNumber = errno;
    return false;
  }
  native_ = 0;  // only the path is kept
  path_ = path;
  return true;
}

bool DirectoryHandle::openChild(const DirectoryHandle& parent, const std::string& name,
                                int* errorNumber) {
  reset();
  std::string path = JoinPath(parent.path_, name);
  if (_mkdir(path.c_str()) != 0 && errno != EEXIST) {
    *errorNumber = errno;
    return false;
  }
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *errorNumber = ErrnoFromLastError();
    return false;
  }
  // A link or junction inside the folder could lead out of it: never go through one.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *errorNumber = ELOOP;
    return false;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *errorNumber = ENOTDIR;
    return false;
  }
  native_ = 0;
  path_ = path;
  return true;
}

std::FILE* DirectoryHandle::createTempFile(const std::string& baseName, std::string* tempName,
                                           int* errorNumber) const {
  return CreateUniqueFile(JoinPath(path_, ""), "." + baseName + ".tmp", tempName, errorNumber);
}

bool DirectoryHandle::rename(const std::string& from, const std::string& to,
                             int* errorNumber) const {
  std::string target = JoinPath(path_, to);
  DWORD attributes = GetFileAttributesA(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    // Replace the link itself rather than what it points at.
    DeleteFileA(target.c_str());
  }
  return ReplaceFile(JoinPath(path_, from), target, errorNumber);
}

void DirectoryHandle::remove(const std::string& name) const {
  _unlink(JoinPath(path_, name).c_str());
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty() || EndsInSeparator(directory)) return directory + name;
  return directory + "\\" + name;
}

std::string ErrorString(int errorNumber) { return std::strerror(errorNumber); }

int LastErrorNumber() { return errno; }

unsigned CpuCount() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

void SetBinaryMode(std::FILE* file) { _setmode(_fileno(file), _O_BINARY); }

}  // namespace tarnix::platform

// POSIX implementation of the platform layer.
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

namespace tarnix::platform {

std::FILE* OpenFile(const std::string& path, const char* mode, int* errorNumber) {
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (file == nullptr && errorNumber != nullptr) *errorNumber = errno;
  return file;
}

namespace {

// Creates a new file for writing named `stem` plus a unique ending, in the directory `dirFd`
// (AT_FDCWD: relative to the working directory). Never opens an existing file or a link.
std::FILE* CreateUniqueFile(int dirFd, const std::string& stem, std::string* name,
                            int* errorNumber) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate =
        stem + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
    int fd = ::openat(dirFd, candidate.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      *errorNumber = errno;
      return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
      *errorNumber = errno;
      ::close(fd);
      ::unlinkat(dirFd, candidate.c_str(), 0);
      return nullptr;
    }
    *name = candidate;
    return file;
  }
  *errorNumber = EEXIST;
  return nullptr;
}

}  // namespace

std::FILE* CreateTempFileBeside(const std::string& besidePath, std::string* tempPath,
                                int* errorNumber) {
  std::FILE* file = CreateUniqueFile(AT_FDCWD, besidePath + ".tmp", tempPath, errorNumber);
  // Packs are written front to back in pieces of about a chunk; a large buffer turns
  // thousands of small writes into a few big ones.
  if (file != nullptr) std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
  return file;
}

bool SeekFile(std::FILE* file, int64_t position) {
  return ::fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool SeekFileToEnd(std::FILE* file) { return ::fseeko(file, 0, SEEK_END) == 0; }

int64_t TellFile(std::FILE* file) { return static_cast<int64_t>(::ftello(file)); }

bool ReplaceFile(const std::string& from, const std::string& to, int* errorNumber) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  *errorNumber = errno;
  return false;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

namespace {

std::string Describe(const std::string& path, int errorNumber) {
  return path + ": " + ErrorString(errorNumber);
}

}  // namespace

bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries,
                   std::string* errorText) {
  entries->clear();
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    *errorText = Describe(path, errno);
    return false;
  }
  int dirFd = ::dirfd(dir);
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent* ent = ::readdir(dir);
    if (ent == nullptr) {
      if (errno != 0) {
        *errorText = Describe(path, errno);
        ok = false;
      }
      break;
    }
    const char* name = ent->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    DirectoryEntry entry;
    entry.name = name;
    // The listing's own type saves a stat per entry; links (and file systems that give no
    // type) are looked through with a stat.
    if (ent->d_type == DT_REG) {
      entry.kind = EntryKind::File;
      entries->push_back(std::move(entry));
      continue;
    }
    if (ent->d_type == DT_DIR) {
      entry.kind = EntryKind::Directory;
      entries->push_back(std::move(entry));
      continue;
    }
    entry.isLink = ent->d_type == DT_LNK;
    struct stat st;
    if (::fstatat(dirFd, name, &st, 0) != 0) {
      int err = errno;
      struct stat linkSt;
      if ((err == ENOENT || err == ELOOP) &&
          ::fstatat(dirFd, name, &linkSt, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(linkSt.st_mode)) {
        entry.kind = EntryKind::BrokenLink;
        entries->push_back(std::move(entry));
        continue;
      }
      *errorText = Describe(JoinPath(path, name), err);
      ok = false;
      break;
    }
    if (S_ISDIR(st.st_mode)) {
      entry.kind = EntryKind::Directory;
      entry.id = DirectoryId{true, static_cast<uint64_t>(st.st_dev),
                             static_cast<uint64_t>(st.st_ino)};
    } else if (S_ISREG(st.st_mode)) {
      entry.kind = EntryKind::File;
    } else {
      entry.kind = EntryKind::Other;
    }
    entries->push_back(std::move(entry));
  }
  ::closedir(dir);
  return ok;
}

bool ProbeFile(const std::string& path, int64_t* size, int* errorNumber) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *errorNumber = errno;
    return false;
  }
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) *errorNumber = errno;
  ::close(fd);
  if (ok) *size = static_cast<int64_t>(st.st_size);
  return ok;
}

bool GetDirectoryId(const std::string& path, DirectoryId* id, std::string* errorText) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    *errorText = Describe(path, errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *errorText = Describe(path, ENOTDIR);
    return false;
  }
  *id = DirectoryId{true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
  return true;
}

DirectoryHandle::~DirectoryHandle() { reset(); }

void DirectoryHandle::reset() {
  if (native_ >= 0) ::close(static_cast<int>(native_));
  native_ = -1;
}

namespace {

// Creates a folder and any missing parents.
bool MakeDirectories(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  size_t cut = path.find_last_of('/', path.find_last_not_of('/'));
  if (cut == std::string::npos || cut == 0) return false;
  return MakeDirectories(path.substr(0, cut)) &&
         (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST);
}

}  // namespace

bool DirectoryHandle::open(const std::string& path, int* errorNumber) {
  reset();
  if (!MakeDirectories(path)) {
    *errorNumber = errno;
    return false;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *errorNumber = errno;
    return false;
  }
  native_ = fd;
  path_ = path;
  return true;
}

bool DirectoryHandle::openChild(const DirectoryHandle& parent, const std::string& name,
                                int* errorNumber) {
  reset();
  int parentFd = static_cast<int>(parent.native_);
  if (::mkdirat(parentFd, name.c_str(), 0777) != 0 && errno != EEXIST) {
    *errorNumber = errno;
    return false;
  }
  int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // O_NOFOLLOW on a link gives ELOOP, or ENOTDIR with O_DIRECTORY.
    *errorNumber = errno;
    return false;
  }
  native_ = fd;
  path_ = JoinPath(parent.path_, name);
  return true;
}

std::FILE* DirectoryHandle::createTempFile(const std::string& baseName, std::string* tempName,
                                           int* errorNumber) const {
  return CreateUniqueFile(static_cast<int>(native_), "." + baseName + ".tmp", tempName,
                          errorNumber);
}

bool DirectoryHandle::rename(const std::string& from, const std::string& to,
                             int* errorNumber) const {
  int fd = static_cast<int>(native_);
  if (::renameat(fd, from.c_str(), fd, to.c_str()) == 0) return true;
  *errorNumber = errno;
  return false;
}

void DirectoryHandle::remove(const std::string& name) const {
  ::unlinkat(static_cast<int>(native_), name.c_str(), 0);
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty() || directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

std::string ErrorString(int errorNumber) { return std::strerror(errorNumber); }

int LastErrorNumber() { return errno; }

unsigned CpuCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

void SetBinaryMode(std::FILE*) {}

}  // namespace tarnix::platform

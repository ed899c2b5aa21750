// POSIX implementation of the platform layer.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>

#include "platform/platform.h"

namespace tarnix::platform {

namespace {

FileKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISDIR(mode)) return FileKind::Directory;
  if (S_ISFIFO(mode)) return FileKind::Fifo;
  if (S_ISSOCK(mode)) return FileKind::Socket;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::Device;
  return FileKind::Other;
}

FileId IdOf(const struct stat& st) {
  return FileId{true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// Opens a regular file for reading. O_NONBLOCK keeps the open itself from waiting on a FIFO
// (or a device) put where a file was; fstat then refuses it. The flag stays set.
Status OpenRegular(const std::string& path, int* fd, struct stat* st) {
  *fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (*fd == -1) return SystemError(path);
  if (::fstat(*fd, st) != 0) {
    Status failure = SystemError(path);
    ::close(*fd);
    return failure;
  }
  if (!S_ISREG(st->st_mode)) {
    ::close(*fd);
    return Status::Refused(path + ": it is " + KindName(KindOfMode(st->st_mode)) +
                           ", not a regular file");
  }
  return Status();
}

}  // namespace

Status OpenFile(const std::string& path, const char* mode, std::FILE** file) {
  *file = nullptr;
  if (std::strcmp(mode, "rb") != 0) {
    *file = std::fopen(path.c_str(), mode);
    return *file != nullptr ? Status() : SystemError(path);
  }
  int fd = -1;
  struct stat st;
  Status opened = OpenRegular(path, &fd, &st);
  if (!opened.ok()) return opened;
  // Reads block as usual (a probe, which only looks, spares itself the two calls).
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  *file = ::fdopen(fd, "rb");
  if (*file == nullptr) {
    Status failure = SystemError(path);
    ::close(fd);
    return failure;
  }
  return Status();
}

// A stamp needs the times to the nanosecond: a file rewritten within the second it was stamped
// must not look unchanged. Where `stat` gives whole seconds alone, there is no stamp.
std::optional<FileStamp> StampOf(const struct stat& st) {
  auto ns = [](const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  };
#if defined(TARNIX_HAVE_STRUCT_STAT_ST_MTIM)
  const int64_t modified = ns(st.st_mtim), changed = ns(st.st_ctim);
#elif defined(TARNIX_HAVE_STRUCT_STAT_ST_MTIMESPEC)
  const int64_t modified = ns(st.st_mtimespec), changed = ns(st.st_ctimespec);
#else
  (void)ns, (void)st;
  return std::nullopt;
#endif
#if defined(TARNIX_HAVE_STRUCT_STAT_ST_MTIM) || defined(TARNIX_HAVE_STRUCT_STAT_ST_MTIMESPEC)
  return FileStamp{static_cast<int64_t>(st.st_size), modified, changed,
                   static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
#endif
}

Status ProbeFile(const std::string& path, int64_t* size, std::optional<FileStamp>* stamp) {
  int fd = -1;
  struct stat st;
  Status opened = OpenRegular(path, &fd, &st);
  if (!opened.ok()) return opened;
  ::close(fd);
  *size = static_cast<int64_t>(st.st_size);
  if (stamp != nullptr) *stamp = StampOf(st);
  return Status();
}

bool IsTerminal(std::FILE* file) { return ::isatty(::fileno(file)) == 1; }

std::string StateFolder() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  std::string base;
  if (cache != nullptr && cache[0] == '/') {
    base = cache;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.cache";
  } else {
    return "";
  }
  const std::string folder = base + "/tarnix";
  std::error_code made;
  std::filesystem::create_directories(folder, made);
  return KindOf(folder) == FileKind::Directory ? folder : "";
}

bool SeekFile(std::FILE* file, int64_t position) {
  return ::fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool SeekFileToEnd(std::FILE* file) { return ::fseeko(file, 0, SEEK_END) == 0; }

int64_t TellFile(std::FILE* file) { return static_cast<int64_t>(::ftello(file)); }

int64_t FileLength(std::FILE* file) {
  struct stat st;
  return ::fstat(::fileno(file), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int64_t ReadAt(std::FILE* file, int64_t position, void* destination, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(::fileno(file), static_cast<char*>(destination) + done,
                        static_cast<size_t>(count - done), static_cast<off_t>(position + done));
    if (n == -1) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

namespace {

// fsync may leave the data in the drive's cache where the system offers F_FULLFSYNC (macOS's
// fsync(2) says so); that asks the drive too, and fsync serves where a file system refuses it.
bool SyncDescriptor(int fd) {
#ifdef TARNIX_HAVE_F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
  return ::fsync(fd) == 0;
}

// Whether SyncFileSystem makes a whole file system durable in one call. Where it cannot, what
// TempFile::Sync::Later defers is done at once: each file is synced before its rename, its
// folder after it, and the parent of each folder made.
#ifdef TARNIX_HAVE_SYNCFS
constexpr bool SyncsWholeFileSystem = true;
#else
constexpr bool SyncsWholeFileSystem = false;
#endif

// Makes the name of a new file or folder durable, where the batch's one sync will not.
Status SyncNewName(const std::string& path) {
  if (SyncsWholeFileSystem) return Status();
  const std::string parent = std::filesystem::path(path).parent_path().string();
  const int fd = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1) return SystemError(parent);
  const bool synced = SyncDescriptor(fd);
  const int failed = errno;
  ::close(fd);
  return synced ? Status() : SystemError(parent, failed);
}

// The folders of `path` that do not exist yet, deepest first, where their names must be made
// durable one by one; none where one sync will do. Stops at a folder it cannot look at.
std::vector<std::filesystem::path> FoldersToMake(const std::string& path) {
  std::vector<std::filesystem::path> missing;
  if (SyncsWholeFileSystem) return missing;
  std::error_code unknown;
  for (std::filesystem::path p = path;
       !p.empty() && !std::filesystem::exists(p, unknown) && !unknown; p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  return missing;
}

}  // namespace

bool SyncFile(std::FILE* file) { return std::fflush(file) == 0 && SyncDescriptor(::fileno(file)); }

// Hints only: where the system has no such call, nothing is lost but speed.
void DropCached(std::FILE* file, int64_t offset, int64_t length) {
#ifdef POSIX_FADV_DONTNEED
  ::posix_fadvise(::fileno(file), offset, length, POSIX_FADV_DONTNEED);
#else
  (void)file, (void)offset, (void)length;
#endif
}

void StartWriteback(std::FILE* file) {
#ifdef TARNIX_HAVE_SYNC_FILE_RANGE
  ::sync_file_range(::fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
#endif
}

bool TruncateFile(std::FILE* file, int64_t size) {
  return std::fflush(file) == 0 && ::ftruncate(::fileno(file), static_cast<off_t>(size)) == 0;
}

FileKind KindOf(const std::string& path, FileId* id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FileKind::Missing;
  if (id != nullptr) *id = IdOf(st);
  return KindOfMode(st.st_mode);
}

std::string ResolveLinks(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {  // the system's own limit on a chain of links
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096), '\0');
    ssize_t n = ::readlink(current.c_str(), &target[0], target.size());
    if (n == -1) return current;
    target.resize(static_cast<size_t>(n));
    if (target.empty() || target[0] == '/') {
      current = target;
    } else {
      std::string directory, name;
      SplitPath(current, &directory, &name);
      current = JoinPath(directory, target);
    }
  }
  return current;
}

std::string BrokenLinkReason(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) || ::stat(path.c_str(), &st) == 0) {
    return "";
  }
  if (errno == ENOENT) return "it is a symbolic link whose target does not exist";
  return ErrorString(errno);
}

namespace {

// What a listed name is. The listing's own type and inode save a stat per entry; links (and
// file systems that give no type) are looked through with a stat.
Status Describe(int dirFd, const std::string& path, const struct dirent& ent,
                const struct stat& dirSt, bool stampFiles, DirectoryEntry* entry) {
  entry->name = ent.d_name;
  if (ent.d_type == DT_REG && stampFiles) {
    struct stat st;
    // Gone or replaced since the listing: the stat by path later decides what it is.
    if (::fstatat(dirFd, ent.d_name, &st, 0) == 0 && S_ISREG(st.st_mode))
      entry->stamp = StampOf(st);
  }
  if (ent.d_type == DT_REG || ent.d_type == DT_DIR) {
    entry->kind = ent.d_type == DT_REG ? EntryKind::File : EntryKind::Directory;
    entry->id = FileId{true, static_cast<uint64_t>(dirSt.st_dev), static_cast<uint64_t>(ent.d_ino)};
    return Status();
  }
  entry->isLink = ent.d_type == DT_LNK;
  struct stat st;
  if (::fstatat(dirFd, ent.d_name, &st, 0) != 0) {
    int err = errno;
    struct stat linkSt;
    if ((err == ENOENT || err == ELOOP) &&
        ::fstatat(dirFd, ent.d_name, &linkSt, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(linkSt.st_mode)) {
      entry->kind = EntryKind::BrokenLink;
      return Status();
    }
    return SystemError(JoinPath(path, ent.d_name), err);
  }
  entry->id = IdOf(st);
  if (S_ISREG(st.st_mode)) entry->stamp = StampOf(st);
  FileKind kind = KindOfMode(st.st_mode);
  entry->kind = kind == FileKind::Regular     ? EntryKind::File
                : kind == FileKind::Directory ? EntryKind::Directory
                                              : EntryKind::Other;
  return Status();
}

}  // namespace

Status ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries, FileId* self,
                     bool stampFiles) {
  entries->clear();
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return SystemError(path);
  struct stat dirSt;
  if (::fstat(::dirfd(dir), &dirSt) == 0) *self = IdOf(dirSt);
  Status status;
  for (;;) {
    errno = 0;
    struct dirent* ent = ::readdir(dir);
    if (ent == nullptr) {
      if (errno != 0) status = SystemError(path);
      break;
    }
    if (std::strcmp(ent->d_name, ".") == 0 || std::strcmp(ent->d_name, "..") == 0) continue;
    DirectoryEntry entry;
    status = Describe(::dirfd(dir), path, *ent, dirSt, stampFiles, &entry);
    if (!status.ok()) break;
    entries->push_back(std::move(entry));
  }
  ::closedir(dir);
  return status;
}

// ---- Directories written into ----

void DirectoryHandle::reset() {
  if (native_ != -1) ::close(static_cast<int>(native_));
  native_ = -1;
}

Status DirectoryHandle::open(const std::string& path, bool create) {
  reset();
  const std::vector<std::filesystem::path> missing =
      create ? FoldersToMake(path) : std::vector<std::filesystem::path>();
  std::error_code made;
  if (create && !std::filesystem::create_directories(path, made) && made) {
    return Status::Io(path + ": " + made.message(), made.value());
  }
  for (const std::filesystem::path& folder : missing) {
    Status durable = SyncNewName(folder.string());
    if (!durable.ok()) return durable;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1) return SystemError(path);
  native_ = fd;
  path_ = path;
  return Status();
}

Status DirectoryHandle::openChild(const DirectoryHandle& parent, const std::string& name) {
  reset();
  const std::string path = JoinPath(parent.path_, name);
  int parentFd = static_cast<int>(parent.native_);
  const bool made = ::mkdirat(parentFd, name.c_str(), 0777) == 0;
  if (!made && errno != EEXIST) return SystemError(path);
  if (made && !SyncsWholeFileSystem && !SyncDescriptor(parentFd)) return SystemError(parent.path_);
  // O_NOFOLLOW on a link gives ELOOP (or ENOTDIR with O_DIRECTORY).
  int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd == -1) return SystemError(path);
  native_ = fd;
  path_ = path;
  return Status();
}

// ---- Temporary files and interruptions ----

namespace {

// Temporary files that a signal handler must remove. Filled and emptied by the threads that
// create and commit them; read by the handler, which may only use lock-free atomics and
// async-signal-safe calls.
struct Slot {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 live
  int directory = -1;
  char name[64] = {};
};
Slot g_slots[32];
// Set while the rename that settles the run is made, and kept once it is.
std::atomic<bool> g_settled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read by a signal handler");

static_assert(TemporaryNameMax < sizeof(Slot::name), "a temporary name and its NUL fit a slot");

std::optional<int> Register(int directory, const std::string& name) {
  for (Slot& slot : g_slots) {
    int expected = 0;
    if (!slot.state.compare_exchange_strong(expected, 1)) continue;
    slot.directory = directory;
    std::strcpy(slot.name, name.c_str());  // fits: see the assertion above
    slot.state.store(2);
    return static_cast<int>(&slot - g_slots);
  }
  return std::nullopt;  // no room: the file is still removed on every other way out
}

void Unregister(std::optional<int>* slot) {
  if (*slot) g_slots[**slot].state.store(0);
  slot->reset();
}

void OnInterrupt(int signalNumber) {
  if (g_settled.load()) return;  // the run's work is done: it ends as it would have
  for (Slot& slot : g_slots) {
    if (slot.state.load() == 2) ::unlinkat(slot.directory, slot.name, 0);
  }
  // End as the signal would have ended the process, so that the caller sees it.
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
}

}  // namespace

void RemoveTemporaryFilesOnInterrupt(bool brokenPipeFails) {
  if (brokenPipeFails) ::signal(SIGPIPE, SIG_IGN);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction old;
    if (::sigaction(signalNumber, nullptr, &old) != 0) continue;
    if (old.sa_handler == SIG_IGN) continue;  // ignored by whoever started us (nohup, &)
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(signalNumber, &action, nullptr);
  }
}

TempFile::~TempFile() { discard(); }

void TempFile::discard() {
  if (!name_.empty()) ::unlinkat(static_cast<int>(directory_), name_.c_str(), 0);
  Unregister(&slot_);
  name_.clear();
  if (held_ != -1) ::close(static_cast<int>(held_));  // the lock goes with it
  held_ = -1;
  if (directory_ != -1) ::close(static_cast<int>(directory_));
  directory_ = -1;
}

namespace {

// The lock a run holds on each of its temporary files, for as long as it has the file open:
// an OFD lock where the system has them (local and network file systems alike), else flock.
// A run takes it exclusive on a file open for writing; a cleaner takes it shared on a file it
// opened for reading, and gets it only when no run holds the file.
bool TryLock(int fd, bool exclusive) {
#ifdef F_OFD_SETLK
  struct flock lock = {};
  lock.l_type = static_cast<short>(exclusive ? F_WRLCK : F_RDLCK);
  lock.l_whence = SEEK_SET;  // from 0 with a length of 0: the whole file
  if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
  if (errno != EINVAL) return false;  // EINVAL: a kernel without them
#endif
  return ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
}

#ifdef TARNIX_HAVE_O_TMPFILE
// A name through which an unnamed file can be linked without privileges.
std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }
#endif

// Gives the file open as `fd` in `dirFd` the name that carries its identity, by a link from
// `from` (relative to `fromDir`; a /proc path needs AT_SYMLINK_FOLLOW in `flags`): a link
// never replaces what holds the name.
Status LinkProven(int dirFd, int fd, int fromDir, const std::string& from, int flags,
                  std::string* name, std::optional<int>* slot) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return SystemError(from);
  *name = TemporaryName(IdOf(st));
  // Registered before it exists, so that no moment leaves it behind.
  *slot = Register(dirFd, *name);
  if (::linkat(fromDir, from.c_str(), dirFd, name->c_str(), flags) == 0) return Status();
  const int err = errno;
  Unregister(slot);
  return SystemError(from, err);
}

}  // namespace

bool IsOwnTemporaryFile(const std::string& folder, const std::string& name) {
  if (name.compare(0, sizeof TemporaryStem - 1, TemporaryStem) != 0) return false;
  struct stat st;
  return ::lstat(JoinPath(folder, name).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         NamesTemporaryFile(name, IdOf(st));
}

void RemoveStaleTemporaryFiles(const DirectoryHandle& folder) {
  int fd = ::openat(static_cast<int>(folder.native()), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1) return;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return;
  }
  while (struct dirent* ent = ::readdir(dir)) {
    if (std::strncmp(ent->d_name, TemporaryStem, sizeof TemporaryStem - 1) != 0) continue;
    // Ours by its name and owner (looked at before anything is opened), and dead: no run
    // holds its lock on the very file that has the name.
    struct stat named, opened;
    if (::fstatat(fd, ent->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
        named.st_uid != ::geteuid() || !NamesTemporaryFile(ent->d_name, IdOf(named))) {
      continue;
    }
    int file = ::openat(fd, ent->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (file == -1) continue;
    if (::fstat(file, &opened) == 0 && IdOf(opened) == IdOf(named) && TryLock(file, false)) {
      ::unlinkat(fd, ent->d_name, 0);
    }
    ::close(file);
  }
  ::closedir(dir);
}

Status TempFile::create(const DirectoryHandle& directory, const std::string& target,
                        std::FILE** file, Mode mode) {
  discard();
  *file = nullptr;
  // Our own descriptor of the directory, so that it outlives the caller's handle.
  int dirFd = ::fcntl(static_cast<int>(directory.native()), F_DUPFD_CLOEXEC, 0);
  if (dirFd == -1) return SystemError(directory.path());
  directory_ = dirFd;
  target_ = target;
  targetPath_ = JoinPath(directory.path(), target);
  path_ = targetPath_;  // until it has a name of its own
  int fd = -1;
#ifdef TARNIX_HAVE_O_TMPFILE
  // Unnamed until its commit, where the file system allows it and /proc can link it then.
  fd = ::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd != -1 && ::access(ProcPath(fd).c_str(), F_OK) != 0) {
    ::close(fd);
    fd = -1;
  }
#endif
  if (fd == -1) {
    Status named = nameFile(directory.path());
    if (!named.ok()) return named;
    fd = static_cast<int>(held_);
    held_ = -1;
  }
  held_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (held_ == -1 || (name_.empty() && !TryLock(static_cast<int>(held_), true))) {
    Status failure = SystemError(path_);
    ::close(fd);
    return failure;
  }
  struct stat old;
  if (mode == Mode::OfTarget && ::fstatat(dirFd, target.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(old.st_mode)) {
    // Keep the replaced file's owner and mode; only root may give a file away.
    bool owned = ::fchown(fd, old.st_uid, old.st_gid) == 0;
    ::fchmod(fd, old.st_mode & (owned ? 07777 : 0777));
  }
  *file = ::fdopen(fd, "wb");
  if (*file == nullptr) {
    Status failure = SystemError(path_);
    ::close(fd);
    return failure;
  }
  return Status();
}

// Where a file cannot be unnamed: created under a name no identity matches, locked, and then
// linked to its proven name; `held_` receives its descriptor.
Status TempFile::nameFile(const std::string& folderPath) {
  const int dirFd = static_cast<int>(directory_);
  std::string provisional;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd == -1; ++attempt) {
    provisional = ProvisionalName(static_cast<unsigned long>(::getpid()));
    slot_ = Register(dirFd, provisional);
    fd = ::openat(dirFd, provisional.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0666);
    const int err = errno;
    if (fd == -1) Unregister(&slot_);
    if (fd == -1 && err != EEXIST) return SystemError(JoinPath(folderPath, provisional), err);
  }
  if (fd == -1) return SystemError(JoinPath(folderPath, provisional), EEXIST);
  std::optional<int> provisionalSlot = slot_;
  Status named = TryLock(fd, true) ? LinkProven(dirFd, fd, dirFd, provisional, 0, &name_, &slot_)
                                   : SystemError(JoinPath(folderPath, provisional));
  ::unlinkat(dirFd, provisional.c_str(), 0);
  Unregister(&provisionalSlot);
  if (!named.ok()) {
    name_.clear();
    ::close(fd);
    return named;
  }
  path_ = JoinPath(folderPath, name_);
  held_ = fd;
  return Status();
}

Status TempFile::commit(Sync sync, Outcome outcome) {
  const int dirFd = static_cast<int>(directory_);
#ifdef TARNIX_HAVE_O_TMPFILE
  if (name_.empty()) {
    // Named only now, locked already, for the moment until the rename.
    const int fd = static_cast<int>(held_);
    Status linked =
        LinkProven(dirFd, fd, AT_FDCWD, ProcPath(fd), AT_SYMLINK_FOLLOW, &name_, &slot_);
    if (!linked.ok()) {
      name_.clear();
      return SystemError(targetPath_, linked.errorNumber());
    }
  }
#endif
  if (sync == Sync::Later && !SyncsWholeFileSystem) {
    // Nothing will make the batch durable at once: this file is, before its name is.
    if (!SyncDescriptor(static_cast<int>(held_))) return SystemError(targetPath_);
    sync = Sync::Now;
  }
  // Settled before the rename, so that no moment after it can end the run with a failure; a
  // signal ignored while a rename fails leaves the run failing all the same.
  if (outcome == Outcome::Settled) g_settled.store(true);
  if (::renameat(dirFd, name_.c_str(), dirFd, target_.c_str()) != 0) {
    const int failed = errno;
    if (outcome == Outcome::Settled) g_settled.store(false);
    return SystemError(targetPath_, failed);
  }
  name_.clear();  // nothing left to remove
  // The rename itself reaches the disk only with its directory.
  Status status = sync == Sync::Later || ::fsync(dirFd) == 0 || errno == EINVAL
                      ? Status()
                      : SystemError(targetPath_);
  discard();
  return status;
}

FileLock::~FileLock() {
  if (held_ != -1) ::close(static_cast<int>(held_));  // the lock goes with it
}

Status FileLock::lock(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd == -1) return SystemError(path);
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    Status failed = SystemError(path);
    ::close(fd);
    return failed;
  }
  held_ = fd;
  return Status();
}

Status SyncFileSystem(const DirectoryHandle& folder) {
#ifdef TARNIX_HAVE_SYNCFS
  if (::syncfs(static_cast<int>(folder.native())) != 0) return SystemError(folder.path());
#else
  (void)folder;  // each file and folder was made durable as it was written (DurableLater)
#endif
  return Status();
}

// ---- Paths and the rest ----

bool EndsRoot(const std::string&, size_t cut) { return cut == 0; }

std::string NameRefusal(const std::string& component) {
  // NAME_MAX of the file systems Linux and the BSDs use.
  constexpr size_t MaxComponent = 255;
  if (component.size() > MaxComponent) {
    return "a component of " + std::to_string(component.size()) + " bytes is longer than the " +
           std::to_string(MaxComponent) + " a file system allows";
  }
  return "";
}

unsigned CpuCount() {
#ifdef TARNIX_HAVE_SCHED_GETAFFINITY
  // The cores this process may run on (taskset narrows them).
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0)
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

void SetBinaryMode(std::FILE*) {}

}  // namespace tarnix::platform

// Windows implementation of the platform layer, on the C runtime's narrow-character calls.
// Paths go to the runtime as the user typed them, with either slash.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#define NOMINMAX
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "base/ascii.h"
#include "platform/platform.h"

namespace tarnix::platform {

namespace {

constexpr unsigned DirectoryAttribute = 0x10;  // _A_SUBDIR

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// The C runtime's error number for a failed Windows call, so that messages read alike.
int ErrnoFromLastError() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_DIRECTORY: return ENOTDIR;
    default: return EIO;
  }
}

// The runtime's stat refuses a trailing separator, except after a drive ("C:\").
std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && IsSeparator(path.back()) && path[path.size() - 2] != ':') {
    path.pop_back();
  }
  return path;
}

FileId IdOf(const std::string& path) {
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FileId{};
  BY_HANDLE_FILE_INFORMATION info;
  FileId id;
  if (GetFileInformationByHandle(h, &info)) {
    id = FileId{true, info.dwVolumeSerialNumber,
                (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  }
  CloseHandle(h);
  return id;
}

Status NotRegular(const std::string& path, FileKind kind) {
  return Status::Refused(path + ": it is " + KindName(kind) + ", not a regular file");
}

Status OpenRegular(const std::string& path, int* fd, int64_t* size) {
  *fd = _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (*fd < 0) {
    // The runtime refuses to open a directory, and says only that access is denied.
    int err = errno;
    return KindOf(path) == FileKind::Directory ? NotRegular(path, FileKind::Directory)
                                               : SystemError(path, err);
  }
  struct _stat64 st;
  if (_fstat64(*fd, &st) != 0) {
    Status failure = SystemError(path);
    _close(*fd);
    return failure;
  }
  if (!(st.st_mode & _S_IFREG)) {
    _close(*fd);
    return NotRegular(path, FileKind::Device);
  }
  *size = st.st_size;
  return Status();
}

// Temporary files that the console handler must remove; it runs on a thread of its own.
struct Slot {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 live
  char path[MAX_PATH * 2] = {};
};
Slot g_slots[32];
// Set while the rename that settles the run is made, and kept once it is.
std::atomic<bool> g_settled{false};

std::optional<int> Register(const std::string& path) {
  if (path.size() >= sizeof(Slot::path)) return std::nullopt;
  for (int i = 0; i < static_cast<int>(sizeof g_slots / sizeof g_slots[0]); ++i) {
    int expected = 0;
    if (!g_slots[i].state.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
    g_slots[i].state.store(2);
    return i;
  }
  return std::nullopt;
}

void Unregister(std::optional<int>* slot) {
  if (*slot) g_slots[**slot].state.store(0);
  slot->reset();
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (g_settled.load()) return TRUE;  // the run's work is done: it ends as it would have
  // The files were opened to allow deletion while open; they go when the process ends.
  for (Slot& slot : g_slots) {
    if (slot.state.load() == 2) DeleteFileA(slot.path);
  }
  ExitProcess(128 + (event == CTRL_C_EVENT ? SIGINT : SIGTERM));
  return TRUE;
}

}  // namespace

Status OpenFile(const std::string& path, const char* mode, std::FILE** file) {
  *file = nullptr;
  if (std::strcmp(mode, "rb") != 0) {
    *file = std::fopen(path.c_str(), mode);
    return *file != nullptr ? Status() : SystemError(path);
  }
  int fd = -1;
  int64_t size = 0;
  Status opened = OpenRegular(path, &fd, &size);
  if (!opened.ok()) return opened;
  *file = _fdopen(fd, "rb");
  if (*file == nullptr) {
    Status failure = SystemError(path);
    _close(fd);
    return failure;
  }
  return Status();
}

namespace {

// FILETIME and LARGE_INTEGER times count 100 ns from 1601.
int64_t UnixNanoseconds(int64_t windowsTime) { return (windowsTime - 116444736000000000LL) * 100; }

}  // namespace

Status ProbeFile(const std::string& path, int64_t* size, std::optional<FileStamp>* stamp) {
  int fd = -1;
  Status opened = OpenRegular(path, &fd, size);
  if (!opened.ok()) return opened;
  if (stamp != nullptr) {
    stamp->reset();
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (GetFileInformationByHandle(handle, &info) &&
        GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
      *stamp = FileStamp{*size, UnixNanoseconds(basic.LastWriteTime.QuadPart),
                         UnixNanoseconds(basic.ChangeTime.QuadPart), info.dwVolumeSerialNumber,
                         (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    }
  }
  _close(fd);
  return opened;
}

bool IsTerminal(std::FILE* file) { return _isatty(_fileno(file)) != 0; }

std::string StateFolder() {
  const char* local = std::getenv("LOCALAPPDATA");
  if (local == nullptr || local[0] == '\0') return "";
  const std::string folder = JoinPath(local, "tarnix");
  std::error_code made;
  std::filesystem::create_directories(folder, made);
  return KindOf(folder) == FileKind::Directory ? folder : "";
}

bool SeekFile(std::FILE* file, int64_t position) {
  return _fseeki64(file, position, SEEK_SET) == 0;
}

bool SeekFileToEnd(std::FILE* file) { return _fseeki64(file, 0, SEEK_END) == 0; }

int64_t TellFile(std::FILE* file) { return _ftelli64(file); }

int64_t FileLength(std::FILE* file) { return _filelengthi64(_fileno(file)); }

int64_t ReadAt(std::FILE* file, int64_t position, void* destination, int64_t count) {
  // ReadFile at an offset leaves the C runtime's position and buffer alone, so threads may read
  // one file at once; callers seek before they read in turn again.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (handle == INVALID_HANDLE_VALUE) return -1;
  int64_t done = 0;
  while (done < count) {
    OVERLAPPED at = {};
    const uint64_t where = static_cast<uint64_t>(position + done);
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(count - done, 1 << 30));
    DWORD got = 0;
    if (!ReadFile(handle, static_cast<char*>(destination) + done, want, &got, &at)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      errno = ErrnoFromLastError();
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool SyncFile(std::FILE* file) { return std::fflush(file) == 0 && _commit(_fileno(file)) == 0; }

void DropCached(std::FILE*, int64_t, int64_t) {}

void StartWriteback(std::FILE*) {}

bool TruncateFile(std::FILE* file, int64_t size) {
  return std::fflush(file) == 0 && _chsize_s(_fileno(file), size) == 0;
}

FileKind KindOf(const std::string& path, FileId* id) {
  const std::string bare = WithoutTrailingSeparators(path);
  struct _stat64 st;
  if (_stat64(bare.c_str(), &st) != 0) return FileKind::Missing;
  if (id != nullptr) *id = IdOf(bare);
  if (st.st_mode & _S_IFDIR) return FileKind::Directory;
  if (st.st_mode & _S_IFREG) return FileKind::Regular;
  return (st.st_mode & _S_IFCHR) ? FileKind::Device : FileKind::Other;
}

// The C runtime has no symbolic links to follow.
std::string ResolveLinks(const std::string& path) { return path; }
std::string BrokenLinkReason(const std::string&) { return ""; }

// The listing has no status change time or file index: files asked to be stamped are opened
// one by one for them.
Status ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries, FileId* self,
                     bool stampFiles) {
  entries->clear();
  struct _finddata64i32_t found;
  intptr_t handle = _findfirst64i32(JoinPath(path, "*.*").c_str(), &found);
  if (handle == -1) {
    // A missing directory and a file are told apart as the POSIX listing would.
    return SystemError(path, KindOf(path) == FileKind::Regular ? ENOTDIR : errno);
  }
  *self = IdOf(WithoutTrailingSeparators(path));
  do {
    if (std::strcmp(found.name, ".") == 0 || std::strcmp(found.name, "..") == 0) continue;
    DirectoryEntry entry;
    entry.name = found.name;
    entry.kind = (found.attrib & DirectoryAttribute) ? EntryKind::Directory : EntryKind::File;
    // A symbolic link or junction may lead back up the tree: the scan's loop guard needs to
    // know it for one, and what it reaches (opening the path goes through the link).
    if (found.attrib & FILE_ATTRIBUTE_REPARSE_POINT) {
      entry.isLink = true;
      entry.id = IdOf(JoinPath(path, entry.name));
    }
    int64_t size = 0;
    if (stampFiles && entry.kind == EntryKind::File)
      ProbeFile(JoinPath(path, entry.name), &size, &entry.stamp).ok();
    entries->push_back(std::move(entry));
  } while (_findnext64i32(handle, &found) == 0);
  _findclose(handle);
  return Status();
}

void DirectoryHandle::reset() { native_ = -1; }

Status DirectoryHandle::open(const std::string& path, bool create) {
  reset();
  std::error_code made;
  if (create && !std::filesystem::create_directories(path, made) && made) {
    return Status::Io(path + ": " + made.message(), made.value());
  }
  if (KindOf(path) != FileKind::Directory) return SystemError(path, ENOENT);
  native_ = 0;  // only the path is kept
  path_ = path;
  return Status();
}

Status DirectoryHandle::openChild(const DirectoryHandle& parent, const std::string& name) {
  reset();
  std::string path = JoinPath(parent.path_, name);
  if (_mkdir(path.c_str()) != 0 && errno != EEXIST) return SystemError(path);
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return SystemError(path, ErrnoFromLastError());
  // A link or junction inside the folder could lead out of it: never go through one.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return SystemError(path, ELOOP);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return SystemError(path, ENOTDIR);
  native_ = 0;
  path_ = path;
  return Status();
}

TempFile::~TempFile() { discard(); }

void TempFile::discard() {
  if (!name_.empty()) DeleteFileA(path_.c_str());
  Unregister(&slot_);
  name_.clear();
  if (held_ != -1) CloseHandle(reinterpret_cast<HANDLE>(held_));  // the lock goes with it
  held_ = -1;
}

namespace {

// The lock a run holds on each of its temporary files while it has the file open: one byte far
// past any data, so that it never stands in the way of reading or writing the file.
bool TryLock(HANDLE file) {
  OVERLAPPED beyond = {};
  beyond.OffsetHigh = 0x40000000;
  return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &beyond);
}

}  // namespace

bool IsOwnTemporaryFile(const std::string& folder, const std::string& name) {
  if (name.compare(0, sizeof TemporaryStem - 1, TemporaryStem) != 0) return false;
  const std::string path = JoinPath(folder, name);
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
         NamesTemporaryFile(name, IdOf(path));
}

void RemoveStaleTemporaryFiles(const DirectoryHandle& folder) {
  WIN32_FIND_DATAA found;
  HANDLE find =
      FindFirstFileA(JoinPath(folder.path(), std::string(TemporaryStem) + "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (!IsOwnTemporaryFile(folder.path(), found.cFileName)) continue;
    const std::string path = JoinPath(folder.path(), found.cFileName);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    const bool dead = TryLock(file);  // no run holds it
    CloseHandle(file);
    if (dead) DeleteFileA(path.c_str());
  } while (FindNextFileA(find, &found));
  FindClose(find);
}

Status TempFile::create(const DirectoryHandle& directory, const std::string& target,
                        std::FILE** file, Mode) {
  discard();
  *file = nullptr;
  target_ = target;
  targetPath_ = JoinPath(directory.path(), target);
  HANDLE h = INVALID_HANDLE_VALUE;
  // First under a name no identity matches; then, locked, under the one that carries its own.
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    name_ = ProvisionalName(static_cast<unsigned long>(_getpid()));
    path_ = JoinPath(directory.path(), name_);
    slot_ = Register(path_);
    // Shared for deletion, so that an interrupted run can remove it while it is still open.
    h = CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    const int err = h == INVALID_HANDLE_VALUE ? ErrnoFromLastError() : 0;
    if (h == INVALID_HANDLE_VALUE) Unregister(&slot_);
    if (err != 0) name_.clear();
    if (err != 0 && err != EEXIST) return SystemError(path_, err);
  }
  if (h == INVALID_HANDLE_VALUE) return SystemError(path_, EEXIST);
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return SystemError(path_);
  }
  HANDLE held = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &held, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    _close(fd);
    return SystemError(path_, ErrnoFromLastError());
  }
  held_ = reinterpret_cast<long long>(held);
  Status named = TryLock(held) ? nameFile(directory.path()) : SystemError(path_, EACCES);
  *file = named.ok() ? _fdopen(fd, "wb") : nullptr;
  if (*file == nullptr) {
    Status failure = named.ok() ? SystemError(path_) : named;
    _close(fd);
    return failure;
  }
  return Status();
}

// Moves the new, locked file at `path_` to the name that carries its identity.
Status TempFile::nameFile(const std::string& folderPath) {
  const FileId id = IdOf(path_);
  if (!id.known) return SystemError(path_, ErrnoFromLastError());
  const std::string name = TemporaryName(id);
  const std::string path = JoinPath(folderPath, name);
  std::optional<int> provisional = slot_;
  slot_ = Register(path);
  if (!MoveFileExA(path_.c_str(), path.c_str(), 0)) {
    const int err = ErrnoFromLastError();
    Unregister(&slot_);
    slot_ = provisional;
    return SystemError(path_, err);
  }
  Unregister(&provisional);
  name_ = name;
  path_ = path;
  return Status();
}

FileLock::~FileLock() {
  if (held_ != -1) CloseHandle(reinterpret_cast<HANDLE>(held_));  // the lock goes with it
}

Status FileLock::lock(const std::string& path) {
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return SystemError(path, ErrnoFromLastError());
  OVERLAPPED first = {};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &first)) {  // waits for the holder
    const int err = ErrnoFromLastError();
    CloseHandle(file);
    return SystemError(path, err);
  }
  held_ = reinterpret_cast<long long>(file);
  return Status();
}

// Windows writes each rename through at once (MOVEFILE_WRITE_THROUGH): there is nothing left to
// sync afterwards, and no call to sync a whole volume without administrator rights.
Status SyncFileSystem(const DirectoryHandle&) { return Status(); }

Status TempFile::commit(Sync, Outcome outcome) {
  // A link at the target is replaced itself, not what it points at. It is moved aside first,
  // not deleted, so that a move that fails puts it back.
  std::string aside;
  DWORD attributes = GetFileAttributesA(targetPath_.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    aside = path_ + "-1";  // a temporary name too, which the scan leaves out
    if (!MoveFileExA(targetPath_.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH)) {
      return SystemError(targetPath_, ErrnoFromLastError());
    }
  }
  // Settled before the move, so that no moment after it can end the run with a failure.
  if (outcome == Outcome::Settled) g_settled.store(true);
  if (!MoveFileExA(path_.c_str(), targetPath_.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Status failure = SystemError(targetPath_, ErrnoFromLastError());
    if (outcome == Outcome::Settled) g_settled.store(false);
    if (!aside.empty()) MoveFileExA(aside.c_str(), targetPath_.c_str(), MOVEFILE_WRITE_THROUGH);
    return failure;
  }
  if (!aside.empty()) DeleteFileA(aside.c_str());
  name_.clear();
  discard();
  return Status();
}

void RemoveTemporaryFilesOnInterrupt(bool) { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool EndsRoot(const std::string& path, size_t cut) { return cut == 0 || path[cut - 1] == ':'; }

std::string NameRefusal(const std::string& component) {
  // A component holds at most 255 UTF-16 units; a narrow name holds at least as many bytes.
  if (component.size() > 255) {
    return "a component of " + std::to_string(component.size()) +
           " bytes is longer than the 255 Windows allows";
  }
  for (unsigned char c : component) {
    if (c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr) {
      return "it holds a character Windows does not allow in a name";
    }
  }
  if (component.back() == '.' || component.back() == ' ') {
    return "Windows drops a dot or space at the end of a name";
  }
  std::string stem = component.substr(0, component.find('.'));
  for (char& c : stem) c = AsciiToUpper(c);
  static const char* const reserved[] = {
      "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
      "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
  for (const char* name : reserved) {
    if (stem == name) return "Windows reserves the name " + stem + " for a device";
  }
  return "";
}

unsigned CpuCount() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

void SetBinaryMode(std::FILE* file) { _setmode(_fileno(file), _O_BINARY); }

}  // namespace tarnix::platform

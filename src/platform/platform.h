// The few operating-system services the tool needs: directory listing and file access.
// Each platform implements this header in a file of its own; everything above it is shared.
// Failures come back as a Status whose message is "path: reason".
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"

namespace tarnix::platform {

// Opens a file with a C runtime mode string ("rb", "wb", "ab"). "rb" opens only a regular
// file, and never waits on a FIFO or device to get there.
Status OpenFile(const std::string& path, const char* mode, std::FILE** file);

// 64-bit positioning; false (or -1) with the error number set on failure.
bool SeekFile(std::FILE* file, int64_t position);
bool SeekFileToEnd(std::FILE* file);
int64_t TellFile(std::FILE* file);
// The length of an open file as the system has it (what a stream still buffers for writing not
// counted), without its position: -1 when it cannot be had.
int64_t FileLength(std::FILE* file);
// Reads up to `count` bytes at `position`, leaving the stream's own position alone where the
// platform can (one call rather than a seek and a buffered read); -1 on failure.
int64_t ReadAt(std::FILE* file, int64_t position, void* destination, int64_t count);
// Writes what the runtime buffers and asks the system to put the file's data on the disk.
bool SyncFile(std::FILE* file);
// Asks the system to start putting what was written so far on the disk, without waiting, so
// that a later SyncFile has little left to wait for.
void StartWriteback(std::FILE* file);
// Lets the system drop its cached copy of a range of the file that will not be read again.
void DropCached(std::FILE* file, int64_t offset, int64_t length);
// Cuts an open file (its buffer flushed) to `size` bytes.
bool TruncateFile(std::FILE* file, int64_t size);

int LastErrorNumber();
std::string ErrorString(int errorNumber);
// "path: reason" for the last failed call, or for `errorNumber`.
Status SystemError(const std::string& path);
Status SystemError(const std::string& path, int errorNumber);

// Identifies a file or directory, so that one reached again by another name can be
// recognised. `known` is false where the platform cannot tell.
struct FileId {
  bool known = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileId& o) const {
    return known && o.known && device == o.device && inode == o.inode;
  }
};

enum class FileKind { Missing, Regular, Directory, Fifo, Socket, Device, Other };

// What is at `path`, links followed; `id` (optional) receives its identity.
FileKind KindOf(const std::string& path, FileId* id = nullptr);
// "a directory", "a FIFO", ... for messages.
const char* KindName(FileKind kind);
// Follows a chain of symbolic links to the path it ends at (which need not exist); the path
// itself when it is no link.
std::string ResolveLinks(const std::string& path);
// Why `path`, a symbolic link, leads nowhere: a loop of links (the system's reason) or a
// target that does not exist. Empty when it leads somewhere, or is no link.
std::string BrokenLinkReason(const std::string& path);

enum class EntryKind {
  File,
  Directory,
  BrokenLink,  // a symbolic link whose target does not exist
  Other,       // devices, pipes, sockets: nothing that holds file content
};

// What a file's metadata says of it. Two equal stamps of one path mean, as far as the system
// can tell without reading, the same content: a write changes the modification time, and a
// restored modification time (touch -r) or a file renamed into place changes the status
// change time or the file's number.
struct FileStamp {
  int64_t size = 0;
  int64_t modified = 0;  // nanoseconds since 1970, to the file system's precision
  int64_t changed = 0;   // the status change time (POSIX ctime; Windows ChangeTime)
  uint64_t device = 0;   // Windows: the volume's serial number
  uint64_t inode = 0;    // Windows: the file index
  bool operator==(const FileStamp& o) const {
    return size == o.size && modified == o.modified && changed == o.changed && device == o.device &&
           inode == o.inode;
  }
  bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

struct DirectoryEntry {
  std::string name;  // bytes as the file system gives them
  EntryKind kind = EntryKind::File;
  bool isLink = false;  // a symbolic link; `kind` says what it points at
  FileId id;            // where the listing gives it (links: what they reach)
  // A regular file's stamp, when asked for and the system gives it beside the listing.
  std::optional<FileStamp> stamp;
};

// Lists one directory's entries, "." and ".." left out, in no particular order. Links are
// followed to say what they point at. `self` receives the directory's own identity. With
// `stampFiles`, regular files get their stamps (POSIX: a stat relative to the open directory,
// cheaper than one by the file's whole path later); a file that vanished meanwhile gets none.
// On POSIX a file the listing had to stat anyway (a link's target) gets its stamp in any case.
Status ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries, FileId* self,
                     bool stampFiles = false);

// Opens a file for reading and closes it again: says whether it can be read and how long it
// is, without reading it, and (optionally) its stamp, where the system gives all of it.
// Refuses anything but a regular file.
Status ProbeFile(const std::string& path, int64_t* size, std::optional<FileStamp>* stamp = nullptr);

// Whether `file` is a terminal, where a person watches lines as they come.
bool IsTerminal(std::FILE* file);

// The folder for this user's cached state of this tool ($XDG_CACHE_HOME/tarnix, ~/.cache/tarnix;
// %LOCALAPPDATA%\tarnix on Windows), made if missing; empty when there is none to be had.
std::string StateFolder();

// An exclusive lock on a file of this tool's own (made when missing, and left in place), held
// until the object goes: runs that take the lock of one name run one after the other, the
// second waiting for the first. A killed run's lock goes with its process.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  Status lock(const std::string& path);

 private:
  long long held_ = -1;  // the descriptor or handle that holds the lock
};

// A directory that files are created in by name. Names are taken one component at a time and
// a link inside the directory is never followed.
class DirectoryHandle {
 public:
  DirectoryHandle() = default;
  ~DirectoryHandle();
  DirectoryHandle(DirectoryHandle&& other) noexcept;
  DirectoryHandle& operator=(DirectoryHandle&& other) noexcept;
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;

  const std::string& path() const { return path_; }
  long long native() const { return native_; }

  // Opens the directory as named (it may be a link); with `create`, makes it and its parents.
  Status open(const std::string& path, bool create);
  // Opens, creating it if missing, the subdirectory `name`, which must not be a link.
  Status openChild(const DirectoryHandle& parent, const std::string& name);

 private:
  void reset();
  long long native_ = -1;  // a descriptor where the platform has one
  std::string path_;
};

// Why this platform cannot create a file or folder of this one name component (not empty, "."
// or ".."), or empty when it can: a name longer than the file system allows, and on Windows
// the names and characters it reserves.
std::string NameRefusal(const std::string& component);

// How the system spells paths. On Windows "C:" names a drive, and "a:b" writes into a hidden
// stream of the file "a", nothing the user would see, so extract refuses such a name there;
// elsewhere it is only worth a warning.
#ifdef _WIN32
constexpr char PathSeparator = '\\';
constexpr char PathSeparators[] = "\\/";
constexpr bool ColonNamesAStream = true;
#else
constexpr char PathSeparator = '/';
constexpr char PathSeparators[] = "/";
constexpr bool ColonNamesAStream = false;
#endif

// A temporary file is never recognised by its name alone. Once it has a name, that name is a
// dot, a short fixed stem and a hash of the file's own identity (device and file number), so
// that a long target name still leaves room, and so that the name proves which file it was
// given to: a user's file, or a copy, of that name does not match. While a run lives it holds
// a lock on each of its temporary files, which tells a live run's file from a killed one's
// across process namespaces and machines. Where the system can, a file has no name at all
// until its commit (Linux: O_TMPFILE), so that a killed run leaves nothing.
constexpr char TemporaryStem[] = ".tarnix-";
// The length of every name it gives: the stem and 16 hex digits.
constexpr size_t TemporaryNameMax = sizeof TemporaryStem - 1 + 16;
// The name for the file of identity `id`. No other file holds it but by a deliberate act: the
// name is taken only once the file exists, for an identity that no other file has.
std::string TemporaryName(const FileId& id);
// A name for a new file before it has an identity to be named for: one no identity's name
// matches, unique within this process (`processId`) and, by that, among live runs here.
std::string ProvisionalName(unsigned long processId);
// Whether `name` is the temporary name of the file of identity `id`.
bool NamesTemporaryFile(const std::string& name, const FileId& id);
// Whether `name` in `folder` is a temporary file of this tool, live or left by a killed run:
// a regular file whose name carries its identity. A scan leaves out only these.
bool IsOwnTemporaryFile(const std::string& folder, const std::string& name);
// Removes from `folder` the temporary files that killed runs of this tool left: only regular
// files that are this user's, whose name carries their identity, and on which no run holds
// its lock.
void RemoveStaleTemporaryFiles(const DirectoryHandle& folder);

// Makes every file written and renamed on the file system that holds `folder` durable: one
// call for a batch of files committed with TempFile::Sync::Later.
Status SyncFileSystem(const DirectoryHandle& folder);

// A new file, written under a temporary name in a directory, that takes the place of a target
// there only on commit. Until then the target is untouched; the temporary file is removed when
// this object goes, or when the process is interrupted (see RemoveTemporaryFilesOnInterrupt).
class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Whether the new file takes the replaced one's permission bits and owner, or gets what the
  // process's umask gives (for files whose mode must not come from whatever was there).
  enum class Mode { OfTarget, Default };
  // Creates the file in `directory`, for later taking the place of `target`; with
  // Mode::OfTarget, when the target exists, the new file gets its permission bits (and owner,
  // where allowed). The caller owns `*file` and closes it before commit.
  Status create(const DirectoryHandle& directory, const std::string& target, std::FILE** file,
                Mode mode = Mode::OfTarget);
  // Puts the (closed) file in place of the target, replacing a link there rather than what it
  // points at. Sync::Now makes the rename durable before returning; Sync::Later leaves that to
  // one SyncFileSystem after a batch of files (where the platform can defer it).
  enum class Sync { Now, Later };
  // With Outcome::Settled the rename is what the run was for: from the moment it is made, an
  // interruption no longer ends the process, whose status would then call a success a failure.
  enum class Outcome { Pending, Settled };
  Status commit(Sync sync = Sync::Now, Outcome outcome = Outcome::Pending);
  const std::string& path() const { return path_; }  // for messages

 private:
  void discard();
  Status nameFile(const std::string& folderPath);
  long long directory_ = -1;
  long long held_ = -1;  // our own descriptor or handle of the file, which holds its lock
  std::string name_;     // empty while the file has no name
  std::string target_;
  std::string targetPath_;
  std::string path_;
  std::optional<int> slot_;  // where the interruption handler finds it, while it has one
};

// From now on SIGINT, SIGTERM, SIGHUP and SIGPIPE (a console Ctrl+C on Windows) remove the
// temporary files of live TempFiles and end the process as the signal would: status 128 + the
// signal's number, unless a commit has settled the run (TempFile::Outcome::Settled): then the
// signal is let pass and the run ends as it would have. With `brokenPipeFails`, SIGPIPE is ignored
// instead, so that writing to a closed pipe fails like any other write. Signals ignored when the
// program started stay ignored. Programs call it; the library never installs handlers of its own.
void RemoveTemporaryFilesOnInterrupt(bool brokenPipeFails);

// Joins a directory and a name with this platform's separator, unless the directory already
// ends in one.
std::string JoinPath(const std::string& directory, const std::string& name);
// Splits a path into its directory ("." when it has none) and its last component.
void SplitPath(const std::string& path, std::string* directory, std::string* name);
// Whether the separator at `cut` in `path` ends a root, which keeps it: "/", and on Windows
// the one after a drive ("C:\").
bool EndsRoot(const std::string& path, size_t cut);

// Cores this process may run on.
unsigned CpuCount();

// Makes a stream pass bytes unchanged (no line-end translation where the platform has one).
void SetBinaryMode(std::FILE* file);

}  // namespace tarnix::platform

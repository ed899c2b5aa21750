// The few operating-system services the tool needs: directory listing and file access.
// Each platform implements this header in a file of its own; everything above it is shared.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace tarnix::platform {

// Opens a file with a C runtime mode string ("rb", "wb", "ab"). On failure returns null and
// stores the runtime's error number.
std::FILE* OpenFile(const std::string& path, const char* mode, int* errorNumber);

// Creates a new, empty file for writing next to `besidePath` (same directory, so a later
// ReplaceFile is a rename within one file system). Never reuses an existing file.
std::FILE* CreateTempFileBeside(const std::string& besidePath, std::string* tempPath,
                                int* errorNumber);

// 64-bit positioning; false (or -1) with errno set on failure.
bool SeekFile(std::FILE* file, int64_t position);
bool SeekFileToEnd(std::FILE* file);
int64_t TellFile(std::FILE* file);

// Atomically puts `from` in place of `to`, replacing whatever was at `to`.
bool ReplaceFile(const std::string& from, const std::string& to, int* errorNumber);
void RemoveFile(const std::string& path);

// True when something (a file, a directory, anything) exists at the path.
bool PathExists(const std::string& path);

enum class EntryKind {
  File,
  Directory,
  BrokenLink,  // a symbolic link whose target does not exist
  Other,       // devices, pipes, sockets: nothing that holds file content
};

// Identifies a directory so that one reached again through a link can be recognised.
// `known` is false on platforms that cannot tell.
struct DirectoryId {
  bool known = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const DirectoryId& o) const {
    return known && o.known && device == o.device && inode == o.inode;
  }
};

struct DirectoryEntry {
  std::string name;  // bytes as the file system gives them
  EntryKind kind = EntryKind::File;
  bool isLink = false;  // a symbolic link; `kind` says what it points at
  DirectoryId id;       // for a link to a directory: the directory it reaches
};

// Lists one directory's entries, "." and ".." left out, in no particular order. Links are
// followed to say what they point at. On failure stores "path: reason" in errorText.
bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>* entries,
                   std::string* errorText);
bool GetDirectoryId(const std::string& path, DirectoryId* id, std::string* errorText);

// Opens a file for reading and closes it again: says whether it can be opened and how long it
// is, without reading it.
bool ProbeFile(const std::string& path, int64_t* size, int* errorNumber);

// A directory that files are created in by name, for extracting into a folder: names are
// taken one component at a time and a link inside the folder is never followed.
class DirectoryHandle {
 public:
  DirectoryHandle() = default;
  ~DirectoryHandle();
  DirectoryHandle(DirectoryHandle&& other) noexcept
      : native_(other.native_), path_(std::move(other.path_)) {
    other.native_ = -1;
  }
  DirectoryHandle& operator=(DirectoryHandle&& other) noexcept {
    if (this != &other) {
      reset();
      native_ = other.native_;
      path_ = std::move(other.path_);
      other.native_ = -1;
    }
    return *this;
  }
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;
  bool isOpen() const { return native_ >= 0; }
  const std::string& path() const { return path_; }

  // The folder itself is opened as named (it may be a link), created if missing.
  bool open(const std::string& path, int* errorNumber);
  // Opens the subdirectory `name`, creating it if missing. Fails when `name` is a link or not a
  // directory.
  bool openChild(const DirectoryHandle& parent, const std::string& name, int* errorNumber);
  // Creates a new file named after `baseName` for writing; `tempName` receives its name.
  std::FILE* createTempFile(const std::string& baseName, std::string* tempName,
                            int* errorNumber) const;
  // Renames `from` to `to` within this directory; a link at `to` is replaced, not followed.
  bool rename(const std::string& from, const std::string& to, int* errorNumber) const;
  void remove(const std::string& name) const;

 private:
  void reset();
  long long native_ = -1;  // a descriptor where the platform has one
  std::string path_;
};

// Joins a directory and a name with this platform's separator, unless the directory already
// ends in one.
std::string JoinPath(const std::string& directory, const std::string& name);

// The system's text for an error number.
std::string ErrorString(int errorNumber);
int LastErrorNumber();

// Cores this process may run on.
unsigned CpuCount();

// Makes a stream pass bytes unchanged (no line-end translation where the platform has one).
void SetBinaryMode(std::FILE* file);

}  // namespace tarnix::platform

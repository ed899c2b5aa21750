// Lists every file under a directory, leaving out dot-directories and a few folder-settings
// and thumbnail-cache files.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace tarnix {

// One file found by the scan.
struct ScannedFile {
  // The path below the scanned directory, components joined by backslashes whatever the
  // platform: this is what the pack stores after the root name.
  std::string name;
  // Where to open the file: the scanned directory joined with the components using the
  // platform's separator.
  std::string path;
  // Its stamp as the listing saw it, where asked for and given.
  std::optional<platform::FileStamp> stamp;
};

// Something under the directory that is not packed, and why.
struct SkippedEntry {
  std::string name;  // as a ScannedFile name
  std::string reason;
};

// Files the scan leaves out without a word: the pack being written and its temporary files,
// so that a pack inside the tree it is made of never packs itself.
struct ScanExclusion {
  platform::FileId file;  // the file at the pack path, where it exists
  // Folder and name of the pack path, as typed and where its links lead; temporary files in
  // these folders are left out too.
  std::vector<std::pair<platform::FileId, std::string>> places;
};

struct ScanResult {
  Status status;  // why the scan could not finish, naming the path
  std::vector<ScannedFile> files;
  std::vector<SkippedEntry> skipped;
  std::vector<std::string> folders;  // every directory listed, the top one first
};

// File names left out at every depth, compared with A-Z folded to lower case.
extern const char* const IgnoredFileNames[5];

// Walks the directory depth first. Each directory's entries are taken in one fixed order
// (names compared with a-z folded to A-Z, ties broken by the raw bytes) so that the same tree
// gives the same pack on every machine; a subdirectory's files stand where it stands. Fails
// when the directory, or any directory below it, cannot be listed, and at a name that holds a
// backslash, which a pack takes for a separator. A directory reached again through a link back
// to one of its parents is not descended again. With `stampFiles`, files carry the stamps the
// listing gives.
ScanResult ScanDirectory(const std::string& path, const ScanExclusion& exclusion = {},
                         bool stampFiles = false);

// The order of names within a directory.
bool ScanOrderLess(const std::string& a, const std::string& b);

}  // namespace tarnix

#include "scan/directory_scan.h"

#include <algorithm>

#include "base/ascii.h"

namespace tarnix {

const char* const IgnoredFileNames[5] = {"desktop.ini", "thumbs.db", "ehthumbs.db",
                                         "ehthumbs_vista.db", "pspbrwse.jbf"};

namespace {

bool IsIgnoredFile(const std::string& name) {
  const std::string lower = AsciiLowered(name);
  for (const char* ignored : IgnoredFileNames) {
    if (lower == ignored) return true;
  }
  return false;
}

class Scanner {
 public:
  Scanner(const ScanExclusion& exclusion, bool stampFiles, ScanResult* result)
      : exclusion_(exclusion), stampFiles_(stampFiles), result_(result) {}

  Status scan(const std::string& path, const std::string& prefix) {
    std::vector<platform::DirectoryEntry> listing;
    platform::FileId self;
    Status listed = platform::ListDirectory(path, &listing, &self, stampFiles_);
    if (!listed.ok()) return listed.prefixed("Cannot read directory ");
    result_->folders.push_back(path);
    ancestors_.push_back(self);
    std::sort(listing.begin(), listing.end(),
              [](const platform::DirectoryEntry& a, const platform::DirectoryEntry& b) {
                return ScanOrderLess(a.name, b.name);
              });
    Status status;
    for (const platform::DirectoryEntry& entry : listing) {
      status = take(path, prefix, self, entry);
      if (!status.ok()) break;
    }
    ancestors_.pop_back();
    return status;
  }

 private:
  Status take(const std::string& path, const std::string& prefix, const platform::FileId& self,
              const platform::DirectoryEntry& entry) {
    const std::string name = prefix + entry.name;
    switch (entry.kind) {
      case platform::EntryKind::Directory:
        if (entry.name[0] == '.') return Status();
        // Only a link can lead back up the tree.
        if (entry.isLink &&
            std::find(ancestors_.begin(), ancestors_.end(), entry.id) != ancestors_.end()) {
          result_->skipped.push_back({name, "a link back to a directory that contains it"});
          return Status();
        }
        if (!Storable(entry.name)) return Unstorable(path, entry.name);
        return scan(platform::JoinPath(path, entry.name), name + "\\");
      case platform::EntryKind::File:
        if (IsIgnoredFile(entry.name) || excluded(path, self, entry)) return Status();
        if (!Storable(entry.name)) return Unstorable(path, entry.name);
        result_->files.push_back({name, platform::JoinPath(path, entry.name), entry.stamp});
        return Status();
      case platform::EntryKind::BrokenLink:
        result_->skipped.push_back({name, "a symbolic link whose target does not exist"});
        return Status();
      case platform::EntryKind::Other:
        result_->skipped.push_back({name, "not a regular file"});
        return Status();
    }
    return Status();
  }

  // A pack stores a path with backslashes between its folders: a name with one of its own
  // would come back as two.
  static bool Storable(const std::string& name) { return name.find('\\') == std::string::npos; }
  static Status Unstorable(const std::string& path, const std::string& name) {
    return Status::Refused("Cannot store " + platform::JoinPath(path, name) +
                           ": its name holds a backslash, which a pack takes for a folder "
                           "separator");
  }

  bool excluded(const std::string& path, const platform::FileId& folder,
                const platform::DirectoryEntry& entry) const {
    if (entry.id == exclusion_.file) return true;
    for (const auto& [place, name] : exclusion_.places) {
      if (place == folder &&
          (entry.name == name || platform::IsOwnTemporaryFile(path, entry.name))) {
        return true;
      }
    }
    return false;
  }

  const ScanExclusion& exclusion_;
  const bool stampFiles_;
  ScanResult* result_;
  // The directories from the top down to the one being scanned.
  std::vector<platform::FileId> ancestors_;
};

}  // namespace

bool ScanOrderLess(const std::string& a, const std::string& b) {
  // Upper case, and bytes as unsigned: '_' sorts after the letters, UTF-8 after ASCII.
  auto foldedLess = [](char x, char y) {
    return static_cast<unsigned char>(AsciiToUpper(x)) <
           static_cast<unsigned char>(AsciiToUpper(y));
  };
  // The first place where the folded names differ decides, else the shorter comes first.
  if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), foldedLess)) return true;
  if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), foldedLess))
    return false;
  return a < b;  // names equal but for the case of letters keep one order too: their bytes'
}

ScanResult ScanDirectory(const std::string& path, const ScanExclusion& exclusion, bool stampFiles) {
  ScanResult result;
  Scanner scanner(exclusion, stampFiles, &result);
  result.status = scanner.scan(path, "");
  return result;
}

}  // namespace tarnix

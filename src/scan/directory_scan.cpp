#include "scan/directory_scan.h"

#include <algorithm>

#include "platform/platform.h"

namespace tarnix {

const char* const IgnoredFileNames[5] = {"desktop.ini", "thumbs.db", "ehthumbs.db",
                                         "ehthumbs_vista.db", "pspbrwse.jbf"};

namespace {

unsigned char FoldUpper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

bool IsIgnoredFile(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const char* ignored : IgnoredFileNames) {
    if (lower == ignored) return true;
  }
  return false;
}

// The directories from the top down to the one being scanned. Their identities are only needed
// when a link to a directory turns up, so they are looked up then, once each.
class Ancestors {
 public:
  void push(const std::string& path, const platform::DirectoryId& id) {
    paths_.push_back(path);
    ids_.push_back(id);
  }
  void pop() {
    paths_.pop_back();
    ids_.pop_back();
  }
  bool contains(const platform::DirectoryId& id) {
    for (size_t i = 0; i < ids_.size(); ++i) {
      std::string ignored;
      if (!ids_[i].known) platform::GetDirectoryId(paths_[i], &ids_[i], &ignored);
      if (ids_[i] == id) return true;
    }
    return false;
  }

 private:
  std::vector<std::string> paths_;
  std::vector<platform::DirectoryId> ids_;
};

class Scanner {
 public:
  explicit Scanner(ScanResult* result) : result_(result) {}

  bool scan(const std::string& path, const std::string& prefix, Ancestors* ancestors) {
    std::vector<platform::DirectoryEntry> listing;
    if (!platform::ListDirectory(path, &listing, &result_->errorText)) return false;
    std::sort(listing.begin(), listing.end(),
              [](const platform::DirectoryEntry& a, const platform::DirectoryEntry& b) {
                return ScanOrderLess(a.name, b.name);
              });
    for (const platform::DirectoryEntry& entry : listing) {
      const std::string name = prefix + entry.name;
      switch (entry.kind) {
        case platform::EntryKind::Directory: {
          if (entry.name[0] == '.') break;
          // Only a link can lead back up the tree.
          if (entry.isLink && ancestors->contains(entry.id)) {
            result_->skipped.push_back({name, "a link back to a directory that contains it"});
            break;
          }
          const std::string subPath = platform::JoinPath(path, entry.name);
          ancestors->push(subPath, entry.id);
          bool ok = scan(subPath, name + "\\", ancestors);
          ancestors->pop();
          if (!ok) return false;
          break;
        }
        case platform::EntryKind::File:
          if (!IsIgnoredFile(entry.name)) {
            result_->entries.push_back({name, platform::JoinPath(path, entry.name)});
          }
          break;
        case platform::EntryKind::BrokenLink:
          result_->skipped.push_back({name, "a symbolic link whose target does not exist"});
          break;
        case platform::EntryKind::Other:
          result_->skipped.push_back({name, "not a regular file"});
          break;
      }
    }
    return true;
  }

 private:
  ScanResult* result_;
};

}  // namespace

bool ScanOrderLess(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = FoldUpper(static_cast<unsigned char>(a[i]));
    unsigned char y = FoldUpper(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

ScanResult ScanDirectory(const std::string& path) {
  ScanResult result;
  Ancestors ancestors;
  platform::DirectoryId top;
  if (!platform::GetDirectoryId(path, &top, &result.errorText)) return result;
  ancestors.push(path, top);
  Scanner scanner(&result);
  result.ok = scanner.scan(path, "", &ancestors);
  return result;
}

}  // namespace tarnix

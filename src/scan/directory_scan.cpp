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

class Scanner {
 public:
  explicit Scanner(ScanResult* result) : result_(result) {}

  bool scan(const std::string& path, const std::string& prefix,
            std::vector<platform::DirectoryId>* ancestors) {
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
          if (std::find(ancestors->begin(), ancestors->end(), entry.id) != ancestors->end()) {
            result_->skipped.push_back(
                {name, "a link back to a directory that contains it"});
            break;
          }
          ancestors->push_back(entry.id);
          bool ok = scan(platform::JoinPath(path, entry.name), name + "\\", ancestors);
          ancestors->pop_back();
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
  std::vector<platform::DirectoryId> ancestors;
  platform::DirectoryId top;
  if (!platform::GetDirectoryId(path, &top, &result.errorText)) return result;
  ancestors.push_back(top);
  Scanner scanner(&result);
  result.ok = scanner.scan(path, "", &ancestors);
  return result;
}

}  // namespace tarnix

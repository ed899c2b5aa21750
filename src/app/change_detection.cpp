#include "app/change_detection.h"

#include <string_view>
#include <unordered_map>

#include "pack/checksum.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

// Bytes read at a time when checksumming a source file.
constexpr int64_t ReadPiece = 256 * 1024;

enum class SourceChecksum { Ok, SizeChanged, Failed };

SourceChecksum ChecksumSource(const PackEntry& entry, std::vector<uint8_t>* buffer,
                              uint32_t* checksum, std::string* errorText) {
  BinaryStream source;
  if (!source.open(entry.sourcePath, OpenMode::Read)) {
    *errorText = "Failed to open " + entry.sourcePath + ": " +
                 platform::ErrorString(source.errorNumber());
    return SourceChecksum::Failed;
  }
  uint32_t sum = EmptyChecksum;
  uint64_t total = 0;
  for (;;) {
    int64_t got = source.read(buffer->data(), ReadPiece);
    if (source.hasIoError()) {
      *errorText = "Failed to read " + entry.sourcePath + ": " +
                   platform::ErrorString(source.errorNumber());
      return SourceChecksum::Failed;
    }
    sum = Checksum32Update(sum, buffer->data(), static_cast<size_t>(got));
    total += static_cast<uint64_t>(got);
    if (total > entry.size) return SourceChecksum::SizeChanged;
    if (got < ReadPiece) break;
  }
  if (total != entry.size) return SourceChecksum::SizeChanged;
  *checksum = sum;
  return SourceChecksum::Ok;
}

}  // namespace

PackCheck IsPackUnchanged(const std::string& packPath, const PackContents& newPack,
                          std::string* errorText) {
  if (!platform::PathExists(packPath)) return PackCheck::Changed;

  PackContents loaded;
  if (!loaded.stream.open(packPath, OpenMode::Read)) {
    // Not readable as a file (a directory, say): compared as a pack with no entries.
    loaded.errorText = "BinaryStream error: " + loaded.stream.errorText();
  } else if (!loaded.read() && loaded.version == PackVersion &&
             static_cast<uint8_t>(loaded.compressionType) <= 1) {
    // The header was a pack's but its table is damaged: rewrite it.
    return PackCheck::Changed;
  }

  const std::vector<PackEntry>& newEntries = newPack.entries;
  if (loaded.entries.size() != newEntries.size()) return PackCheck::Changed;
  if (loaded.compressionType != newPack.compressionType) return PackCheck::Changed;
  if (loaded.entries.empty()) return PackCheck::Unchanged;

  // First new entry of each name; names are compared byte for byte.
  std::unordered_map<std::string_view, size_t> byName;
  byName.reserve(newEntries.size());
  for (size_t i = 0; i < newEntries.size(); ++i) byName.emplace(newEntries[i].name, i);

  std::vector<bool> matched(newEntries.size(), false);
  std::vector<uint8_t> buffer(static_cast<size_t>(ReadPiece));
  size_t remaining = loaded.entries.size();
  for (const PackEntry& stored : loaded.entries) {
    auto found = byName.find(stored.name);
    if (found == byName.end()) continue;
    // A second stored entry of the same name would otherwise vouch for a new file that the
    // pack does not hold.
    if (matched[found->second]) return PackCheck::Changed;
    matched[found->second] = true;
    uint32_t checksum = 0;
    switch (ChecksumSource(newEntries[found->second], &buffer, &checksum, errorText)) {
      case SourceChecksum::Failed:
        return PackCheck::Failed;
      case SourceChecksum::SizeChanged:
        return PackCheck::Changed;
      case SourceChecksum::Ok:
        break;
    }
    if (checksum != stored.checksum) return PackCheck::Changed;
    --remaining;
  }
  return remaining == 0 ? PackCheck::Unchanged : PackCheck::Changed;
}

}  // namespace tarnix

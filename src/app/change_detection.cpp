#include "app/change_detection.h"

#include <atomic>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "pack/checksum.h"
#include "pack/pack_check.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

// Bytes read at a time when checksumming a source file.
constexpr int64_t ReadPiece = 256 * 1024;

// The checksum of a source file, streamed; false in `*sameSize` when it no longer holds the
// number of bytes the listing found.
Status ChecksumSource(const PackEntry& entry, std::vector<uint8_t>* buffer, uint32_t* checksum,
                      bool* sameSize) {
  BinaryStream source;
  if (!source.open(entry.sourcePath, OpenMode::Read)) {
    return source.status().prefixed("Failed to open ");
  }
  uint32_t sum = EmptyChecksum;
  uint64_t total = 0;
  int64_t got = 0;
  do {
    got = source.read(buffer->data(), ReadPiece);
    if (!source.status().ok()) return source.status().prefixed("Failed to read ");
    sum = Checksum32Update(sum, buffer->data(), static_cast<size_t>(got));
    total += static_cast<uint64_t>(got);
  } while (got == ReadPiece && total <= entry.size);
  *sameSize = total == entry.size;
  *checksum = sum;
  return Status();
}

// The checksums of the sources of `entries`, read on all cores. Each source's `*sameSize` says
// whether it still holds the number of bytes the listing found.
Status ChecksumSources(const std::vector<PackEntry*>& entries, std::vector<uint32_t>* checksums,
                       std::vector<char>* sameSize) {
  checksums->assign(entries.size(), 0);
  sameSize->assign(entries.size(), 0);
  std::vector<Status> results(entries.size());
  const unsigned threads = std::max(1u, std::min<unsigned>(platform::CpuCount(), 8));
  std::vector<std::vector<uint8_t>> buffers(threads, std::vector<uint8_t>(ReadPiece));
  std::atomic<size_t> next{0};
  std::atomic<bool> outOfMemory{false};
  auto work = [&](std::vector<uint8_t>* buffer) {
    try {
      for (size_t i; (i = next++) < entries.size();) {
        bool same = false;
        results[i] = ChecksumSource(*entries[i], buffer, &(*checksums)[i], &same);
        (*sameSize)[i] = same;
      }
    } catch (const std::bad_alloc&) {
      outOfMemory = true;
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(work, &buffers[t]);
    } catch (const std::system_error&) {
      break;  // the caller reads what no helper could
    }
  }
  work(&buffers[0]);
  for (std::thread& helper : helpers) helper.join();
  if (outOfMemory) throw std::bad_alloc();
  for (const Status& result : results) {
    if (!result.ok()) return result;
  }
  return Status();
}

// Decodes the stored entry behind each new entry: a table that vouches for data that no longer
// reads back must not keep the pack, nor be copied from.
bool StoredEntriesReadBack(PackContents& pack) {
  bool all = true;
  for (PackEntry& entry : pack.entries) {
    uint32_t checksum = EmptyChecksum;
    BinaryStream stream = entry.previous->pack->stream;
    Status read = stream.seek(entry.previous->offset)
                      ? ReadEntryData(stream, entry.previous->pack->compressionType,
                                      entry.previous->size,
                                      [&checksum](const uint8_t* data, size_t n) {
                                        checksum = Checksum32Update(checksum, data, n);
                                        return Status();
                                      })
                      : Status::Error("seek failed");
    if (!read.ok() || checksum != entry.checksum) {
      entry.previous = nullptr;  // not to be copied either
      all = false;
    }
  }
  return all;
}

}  // namespace

void LoadPreviousPack(const std::string& packPath, CompressionType type, PackContents& existing) {
  if (platform::KindOf(packPath) == platform::FileKind::Missing) return;
  if (!existing.stream.open(packPath, OpenMode::Read)) {
    existing.errorText = "BinaryStream error: " + existing.stream.errorText();
    return;
  }
  // A pack that is not whole, or stores its entries otherwise, has nothing to offer.
  if (!existing.read() || existing.compressionType != type || !CheckLayout(existing).empty()) {
    existing.entries.clear();
    existing.stream.close().ok();
  }
}

Status IsPackUnchanged(PackContents& pack, PackContents& existing, bool verify, bool* unchanged) {
  *unchanged = false;
  if (!existing.stream.isOpen()) return Status();

  // First new entry of each name; names are compared byte for byte.
  std::unordered_map<std::string_view, size_t> byName;
  byName.reserve(pack.entries.size());
  for (size_t i = 0; i < pack.entries.size(); ++i) byName.emplace(pack.entries[i].name, i);

  std::vector<bool> matched(pack.entries.size(), false);
  std::vector<PackEntry*> sameSize;  // whose content may be the stored one's
  for (const PackEntry& stored : existing.entries) {
    auto found = byName.find(stored.name);
    // A second stored entry of the same name cannot vouch for the same file again.
    if (found == byName.end() || matched[found->second]) continue;
    matched[found->second] = true;
    PackEntry& entry = pack.entries[found->second];
    entry.previous = &stored;  // its chunks may serve even when the file changed
    if (entry.size == stored.size) sameSize.push_back(&entry);
  }
  std::vector<uint32_t> checksums;
  std::vector<char> unchangedSize;
  Status read = ChecksumSources(sameSize, &checksums, &unchangedSize);
  if (!read.ok()) return read;
  size_t kept = 0;
  for (size_t i = 0; i < sameSize.size(); ++i) {
    if (!unchangedSize[i] || checksums[i] != sameSize[i]->previous->checksum) continue;
    sameSize[i]->checksum = checksums[i];
    ++kept;
  }
  *unchanged = kept == existing.entries.size() && kept == pack.entries.size() &&
               (!verify || StoredEntriesReadBack(pack));
  return Status();
}

}  // namespace tarnix

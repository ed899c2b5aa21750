#include "app/change_detection.h"

#include <atomic>
#include <cstring>
#include <new>

#include "app/content_hash.h"
#include "app/name_index.h"
#include "base/thread_group.h"
#include "format/format.h"
#include "pack/pack_check.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

// Bytes read at a time when checksumming a source file.
constexpr int64_t ReadPiece = 256 * 1024;

// What one read of a source file found: its checksum and content hash, and whether it still
// holds the number of bytes the listing found.
struct SourceDigest {
  uint32_t checksum = 0;
  ContentHash hash;
  bool sameSize = false;
};

// Reads a source file once, streamed.
Status DigestSource(const PackEntry& entry, std::vector<uint8_t>* buffer, SourceDigest* digest) {
  if (entry.source() == nullptr) return Status::Refused(entry.name + ": it has no source file");
  BinaryStream source;
  if (!source.open(entry.source()->path, OpenMode::Read)) {
    return source.status().prefixed("Failed to open ");
  }
  uint32_t sum = EmptyChecksum;
  ContentHasher hasher;
  uint64_t total = 0;
  int64_t got = 0;
  do {
    got = source.read(buffer->data(), ReadPiece);
    if (!source.status().ok()) return source.status().prefixed("Failed to read ");
    sum = Checksum32Update(sum, buffer->data(), static_cast<size_t>(got));
    hasher.update(buffer->data(), static_cast<size_t>(got));
    total += static_cast<uint64_t>(got);
  } while (got == ReadPiece && total <= entry.size);
  *digest = SourceDigest{sum, hasher.digest(), total == entry.size};
  return Status();
}

// The digests of the sources of `entries`, read on all cores.
Status DigestSources(const std::vector<const PackEntry*>& entries,
                     std::vector<SourceDigest>* digests) {
  digests->assign(entries.size(), SourceDigest{});
  if (entries.empty()) return Status();  // no buffers, no threads
  std::vector<Status> results(entries.size());
  const unsigned threads = std::max(1u, std::min<unsigned>(platform::CpuCount(), 8));
  std::vector<std::vector<uint8_t>> buffers(threads, std::vector<uint8_t>(ReadPiece));
  std::atomic<size_t> next{0};
  std::atomic<bool> outOfMemory{false};
  auto work = [&](unsigned worker) {
    std::vector<uint8_t>& buffer = buffers[worker];
    try {
      for (size_t i; (i = next++) < entries.size();) {
        results[i] = DigestSource(*entries[i], &buffer, &(*digests)[i]);
      }
    } catch (const std::bad_alloc&) {
      outOfMemory = true;
    }
  };
  ThreadGroup helpers(threads - 1, work);
  work(0);  // the caller reads what no helper takes
  helpers.join();
  if (outOfMemory) return Status::OutOfMemory("out of memory");
  for (const Status& result : results) {
    if (!result.ok()) return result;
  }
  return Status();
}

// Whether the stored entry decodes, by the entry reader's rules, to exactly the bytes its
// source holds now: what a matching checksum only suggests.
bool StoredBytesAreTheSource(BinaryStream& pack, const EntryToRead& stored, const PackEntry& entry,
                             EntryReader& reader, std::vector<uint8_t>* buffer) {
  BinaryStream source;
  if (entry.source() == nullptr || !source.open(entry.source()->path, OpenMode::Read)) return false;
  const Status same =
      reader.read(pack, stored, ReadMode::Full, [&](const uint8_t* data, size_t size) {
        if (size == 0) return Status();  // an empty chunk: its pointers may be null
        buffer->resize(size);
        const bool equal =
            source.read(buffer->data(), static_cast<int64_t>(size)) == static_cast<int64_t>(size) &&
            std::memcmp(buffer->data(), data, size) == 0;
        return equal ? Status() : Status::Refused("the source differs");
      });
  uint8_t more = 0;
  return same.ok() && source.read(&more, 1) == 0 && source.status().ok();
}

// Decodes the stored entry of each plan in `confirm` and compares it with its source byte for
// byte; a plan whose entry does not read back, or holds other bytes, copies nothing whole.
void ConfirmByBytes(const PackContents& pack, const PackContents& replaced,
                    const std::vector<size_t>& confirm, std::vector<StoredCopy>* copies) {
  BinaryStream stream = replaced.stream;
  EntryReader reader;
  std::vector<uint8_t> buffer;
  const bool chunks = replaced.compressionType == CompressionType::Compressed;
  for (size_t i : confirm) {
    StoredCopy& plan = (*copies)[i];
    if (plan.reuse != Reuse::Whole) continue;
    if (!StoredBytesAreTheSource(stream, CopyToRead(plan, replaced.compressionType),
                                 pack.entries[i], reader, &buffer)) {
      plan.reuse = chunks ? Reuse::Chunks : Reuse::None;
      plan.storedChecksum.reset();
    }
  }
}

// Plans a reuse for each stored entry whose name the new pack holds: its chunks, in a
// compressed pack. Returns the new entries of the same size as their stored one, whose content
// may be the stored one's.
std::vector<size_t> MatchStoredEntries(const PackContents& pack, const PackContents& replaced,
                                       std::vector<StoredCopy>* copies) {
  // The new entry of a stored name (the scan lists each name once).
  NameIndex<PackEntry> newEntries;
  const bool chunks = replaced.compressionType == CompressionType::Compressed;
  std::vector<size_t> sameSize;
  for (size_t k = 0; k < replaced.entries.size(); ++k) {
    const PackEntry& stored = replaced.entries[k];
    const std::optional<size_t> found = newEntries.find(pack.entries, k, stored.name);
    // A second stored entry of the same name cannot vouch for the same file again.
    if (!found || (*copies)[*found].pack != nullptr) continue;
    const size_t i = *found;
    // Its chunks may serve even when the file changed; Whole needs the checksum found below.
    std::optional<StoredCopy> copy = CopyOf(replaced, stored, chunks ? Reuse::Chunks : Reuse::None);
    if (!copy) continue;
    (*copies)[i] = *copy;
    if (pack.entries[i].size == stored.size) sameSize.push_back(i);
  }
  return sameSize;
}

}  // namespace

bool IsRecordedPack(const PackFileIdentity& found, CompressionType type,
                    const StateRecord& record) {
  return record.compressionType == type && found.stamp == record.pack &&
         found.tableChecksum == record.tableChecksum;
}

void LoadReplacedPack(const std::string& packPath, CompressionType type, PackContents& replaced,
                      const StateRecord* record, std::optional<PackFileIdentity>* found) {
  if (platform::KindOf(packPath) == platform::FileKind::Missing) return;
  if (!replaced.stream.open(packPath, OpenMode::Read)) {
    replaced.errorText = "BinaryStream error: " + replaced.stream.errorText();
    return;
  }
  const bool read = replaced.read() && replaced.compressionType == type;
  PackFileIdentity identity;
  if (read && record != nullptr && found != nullptr &&
      PackIdentity(packPath, TableEnd(replaced), &identity).ok()) {
    *found = identity;
    if (IsRecordedPack(identity, type, *record) && TakeLayoutAsProven(replaced)) return;
  }
  // A pack that is not whole, or stores its entries otherwise, has nothing to offer.
  if (!read || CheckLayout(replaced) != 0) {
    replaced.entries.clear();
    replaced.stream.close().ok();
  }
}

Status IsPackUnchanged(const PackContents& pack, const PackContents& replaced, bool verify,
                       bool* unchanged, std::vector<StoredCopy>* copies,
                       const RecordEvidence* record, size_t* sourcesRead,
                       std::vector<std::optional<ContentHash>>* proven) {
  *unchanged = false;
  if (sourcesRead != nullptr) *sourcesRead = 0;
  copies->assign(pack.entries.size(), StoredCopy{});
  std::vector<std::optional<ContentHash>> provenHere(pack.entries.size());
  if (!replaced.stream.isOpen()) {
    if (proven != nullptr) *proven = std::move(provenHere);
    return Status();
  }

  const std::vector<size_t> sameSize = MatchStoredEntries(pack, replaced, copies);
  // A checksum a state record vouches for stands in for reading the source.
  std::vector<size_t> unread;
  std::vector<const PackEntry*> toRead;
  for (size_t i : sameSize) {
    if (record != nullptr && record->vouched[i] && !verify) {
      StoredCopy& plan = (*copies)[i];
      if (record->vouched[i]->content == plan.checksum) {
        plan.reuse = Reuse::Whole;
        plan.storedChecksum = record->vouched[i]->stored;
        provenHere[i] = record->hashes[i];
      }
    } else {
      unread.push_back(i);
      toRead.push_back(&pack.entries[i]);
    }
  }
  if (sourcesRead != nullptr) *sourcesRead = toRead.size();
  std::vector<SourceDigest> digests;
  Status read = DigestSources(toRead, &digests);
  if (!read.ok()) return read;
  // A file read here is one the record, where there is one, could not vouch for: it may have
  // changed, and other content can have the same checksum. It keeps its old bytes when it has
  // the content hash the record proved, or else its bytes are the stored ones; with -v,
  // nothing is taken on a checksum's word. Without a record the checksum is all there is.
  std::vector<size_t> confirm;
  for (size_t k = 0; k < unread.size(); ++k) {
    const size_t i = unread[k];
    StoredCopy& plan = (*copies)[i];
    if (!digests[k].sameSize || digests[k].checksum != plan.checksum) continue;
    plan.reuse = Reuse::Whole;
    const bool recorded = record != nullptr && record->hashes[i] == digests[k].hash;
    if (recorded && !verify) {
      provenHere[i] = digests[k].hash;
    } else if (record != nullptr || verify) {
      confirm.push_back(k);
    }
  }
  std::vector<size_t> entries;
  for (size_t k : confirm) entries.push_back(unread[k]);
  ConfirmByBytes(pack, replaced, entries, copies);
  for (size_t k : confirm) {
    if ((*copies)[unread[k]].reuse == Reuse::Whole) provenHere[unread[k]] = digests[k].hash;
  }
  size_t whole = 0;
  for (const StoredCopy& plan : *copies) whole += plan.reuse == Reuse::Whole ? 1 : 0;
  *unchanged = whole == replaced.entries.size() && whole == pack.entries.size();
  if (proven != nullptr) *proven = std::move(provenHere);
  return Status();
}

}  // namespace tarnix

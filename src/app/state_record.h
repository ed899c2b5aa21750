// What a run proved of a pack, kept for the next run: for each entry the source's stamp
// (size, times, file number) and content checksum, and the identity of the pack file it
// describes. A later run takes a checksum from it for a source whose stamp has not changed,
// instead of reading the source. The record lives in the user's cache folder, never beside the
// pack or in the tree; one that is missing, damaged, foreign or stale is ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/content_hash.h"
#include "app/name_index.h"
#include "pack/pack_contents.h"
#include "platform/platform.h"

namespace tarnix {

// The checksums a record keeps of one file, as a run proved them: what a record vouches for
// while the file's stamp is unchanged.
struct RecordedChecksums {
  uint32_t content = 0;
  std::optional<uint32_t> stored;  // of its entry's stored bytes, as this tool wrote them
};

struct RecordedFile {
  std::string name;  // as stored
  platform::FileStamp stamp;
  RecordedChecksums checksums;
  std::optional<ContentHash> hash;  // of the content, where a run proved it is the stored one
};

struct StateRecord {
  std::string packPath;  // absolute, links resolved: the key it is kept under
  std::string root;      // the packed directory, absolute
  CompressionType compressionType = CompressionType::Compressed;
  platform::FileStamp pack;    // the pack file as the run left it
  uint32_t tableChecksum = 0;  // Checksum32 of the pack's header and table
  int64_t begun = 0;           // when the run began, nanoseconds since 1970
  std::vector<RecordedFile> files;
};

// How close to the record's start a source's times may lie and it still be trusted: a file
// written in that window may change again without its stamp showing it ("racily clean").
// Covers the coarsest file systems in use (FAT keeps 2 s).
constexpr int64_t StampGranularity = 2000000000;

// Nanoseconds since 1970 by the system clock, the one file times are kept by.
int64_t Now();

// The absolute, link-resolved path a record is kept for.
std::string RecordKey(const std::string& packPath);

// The file the record for `packPath` is kept in; empty when there is no cache folder.
std::string StateRecordPath(const std::string& packPath);

// A pack file as a run found it: what a record keeps of the pack it describes.
struct PackFileIdentity {
  platform::FileStamp stamp;
  uint32_t tableChecksum = 0;  // of its header and table
};

// The pack file's stamp and the checksum of its first `tableEnd` bytes (header and table).
Status PackIdentity(const std::string& packPath, int64_t tableEnd, PackFileIdentity* identity);

// The record kept for `packPath`, when there is a sound one of that key; nullopt otherwise.
std::optional<StateRecord> LoadStateRecord(const std::string& packPath);
// Replaces the record for its pack, in one rename; keeps at most 256 records, the newest. A
// failure is silent: a missing record only costs the next run a read of the tree.
void SaveStateRecord(const StateRecord& record);

// The checksums a record vouches for in this run. It vouches for nothing unless it describes
// this pack file (`packStamp`, `tableChecksum`), this directory and this compression; then for
// a source that has its recorded stamp and was not written within StampGranularity of the
// record's start.
class Voucher {
 public:
  Voucher() = default;  // vouches for nothing
  Voucher(StateRecord record, const std::string& root, CompressionType type,
          const platform::FileStamp& packStamp, uint32_t tableChecksum);
  bool empty() const { return files_.empty(); }
  // The recorded file it vouches for, or null. For the source listed `position`-th: a tree
  // that has not changed lists its files in the record's order, so that one is looked at first.
  const RecordedFile* vouch(size_t position, const std::string& name,
                            const platform::FileStamp& stamp);
  // The recorded file of that name, whatever its stamp now, or null.
  const RecordedFile* recorded(size_t position, const std::string& name);

 private:
  std::vector<RecordedFile> files_;
  NameIndex<RecordedFile> byName_;
  int64_t trusted_ = 0;  // times before this are not racily clean
};

}  // namespace tarnix

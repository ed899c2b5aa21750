// Whether the pack already at the target path holds exactly what this run would write, and
// which of its stored entries the new pack can copy.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/content_hash.h"
#include "app/state_record.h"
#include "pack/pack_contents.h"

namespace tarnix {

// Opens the pack being replaced, at `packPath`, into `replaced` and keeps it open when it is
// whole and stores its entries as `type`: its table reads and every entry's layout checks out
// by the entry reader's rules. Otherwise `replaced` is left closed. Needs nothing from the scan,
// so it can run beside it. A pack that `record` (the state record kept for it) shows unchanged
// since a run proved it (the file's stamp and table checksum as recorded) is not walked again:
// a change in place changes its stamp. With a record, `*found` receives what the file is now.
void LoadReplacedPack(const std::string& packPath, CompressionType type, PackContents& replaced,
                      const StateRecord* record = nullptr,
                      std::optional<PackFileIdentity>* found = nullptr);

// Whether a pack file found to be `found`, storing its entries as `type`, is still the one
// `record` describes.
bool IsRecordedPack(const PackFileIdentity& found, CompressionType type, const StateRecord& record);

// What a state record in force says of the scanned files, one of each per entry of the new
// pack: the checksums it vouches for (the file's stamp unchanged, so it is not read), and the
// hash of the content it proved, whatever the stamp says now.
struct RecordEvidence {
  std::vector<std::optional<RecordedChecksums>> vouched;
  std::vector<std::optional<ContentHash>> hashes;
};

// Compares the pack kept by LoadReplacedPack with the scanned `pack`, and plans for each scanned
// file what the writer may take from it (`*copies`, one per entry of `pack`):
// - a stored entry of the same name (compared whole) and size whose recorded checksum the file
//   has, worked out here from its bytes: Reuse::Whole;
// - a stored entry of the same name otherwise, in a compressed pack: Reuse::Chunks;
// - else Reuse::None.
// Without `record` (a state record in force) and without `verify`, a checksum match is all
// there is to go by. With a record, a file it does not vouch for keeps its stored bytes only
// when it has the content hash the record proved, or its bytes are the decoded stored ones;
// with `verify` every entry planned Whole is decoded in full and compared byte for byte. One
// that does not read back, or holds other bytes, is planned as a changed file. `*unchanged`
// says whether every stored entry is planned Whole, one for one. Fails only when a source
// cannot be read.
//
// `*sourcesRead` (optional) counts the sources that were read. `*proven` (optional, one per
// entry of `pack`) receives the content hash of each entry planned Whole whose content is
// proven to be the stored one, for the next record.
Status IsPackUnchanged(const PackContents& pack, const PackContents& replaced, bool verify,
                       bool* unchanged, std::vector<StoredCopy>* copies,
                       const RecordEvidence* record = nullptr, size_t* sourcesRead = nullptr,
                       std::vector<std::optional<ContentHash>>* proven = nullptr);

}  // namespace tarnix

// Whether the pack already at the target path holds exactly what this run would write, and
// which of its stored entries the new pack can copy.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "pack/pack_contents.h"

namespace tarnix {

// What a state record vouches for one scanned file: its content's checksum, and that of the
// stored bytes of its entry in the pack being replaced, where the record keeps one.
struct Vouched {
  uint32_t checksum = 0;
  std::optional<uint32_t> storedChecksum;
};

// Opens the pack being replaced, at `packPath`, into `replaced` and keeps it open when it is
// whole and stores its entries as `type`: its table reads and every entry's layout checks out
// by the entry reader's rules. Otherwise `replaced` is left closed. Needs nothing from the scan,
// so it can run beside it.
void LoadReplacedPack(const std::string& packPath, CompressionType type, PackContents& replaced);

// Compares the pack kept by LoadReplacedPack with the scanned `pack`, and plans for each scanned
// file what the writer may take from it (`*reuse`, one per entry of `pack`):
// - a stored entry of the same name (compared whole) and size whose recorded checksum the file
//   has, worked out here from its bytes: Reuse::Whole;
// - a stored entry of the same name otherwise, in a compressed pack: Reuse::Chunks;
// - else Reuse::None.
// With `verify` every entry planned Whole is decoded in full as well and compared with its
// source byte for byte; with `compareBytes`, so is each one whose source was read here. One
// that does not read back, or holds other bytes, is planned as a changed file. `*unchanged`
// says whether every stored entry is planned Whole, one for one. Fails only when a source
// cannot be read.
//
// `vouched` (optional, one per entry of `pack`) holds what a state record vouches for: those
// sources are not read, and a Whole plan carries the stored bytes' checksum the record keeps.
// `*sourcesRead` (optional) counts the sources that were read. Without a record and without
// `verify`, a checksum match is all there is to go by.
Status IsPackUnchanged(const PackContents& pack, const PackContents& replaced, bool verify,
                       bool* unchanged, std::vector<EntryReuse>* reuse,
                       const std::vector<std::optional<Vouched>>* vouched = nullptr,
                       size_t* sourcesRead = nullptr, bool compareBytes = false);

}  // namespace tarnix

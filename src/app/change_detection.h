// Whether the pack already at the target path holds exactly what this run would write, and
// which of its stored entries the new pack can copy.
#pragma once

#include <string>

#include "pack/pack_contents.h"

namespace tarnix {

// Opens the pack at `packPath` into `existing` and keeps it open when it is whole and stores its
// entries as `type`: its table reads and its layout checks out from the table and the chunk
// lengths. Otherwise `existing` is left closed. Needs nothing from the scan, so it can run
// beside it.
void LoadPreviousPack(const std::string& packPath, CompressionType type, PackContents& existing);

// Compares the pack kept by LoadPreviousPack with the scanned `pack`; with `verify` every stored
// entry is decoded as well. A scanned file whose name matches a stored entry's gets `previous`
// pointing at it; when the size matches too, the file is read once for its checksum, which the
// new entry keeps when it is the stored one's. `*unchanged` says whether every stored entry is
// matched so, one for one. Fails only when a source cannot be read.
Status IsPackUnchanged(PackContents& pack, PackContents& existing, bool verify, bool* unchanged);

}  // namespace tarnix

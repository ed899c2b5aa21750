// Whether the pack already at the target path holds exactly what this run would write, and
// which of its stored entries the new pack can copy.
#pragma once

#include <string>

#include "pack/pack_contents.h"

namespace tarnix {

// Compares the pack at `packPath`, loaded into `existing`, with the scanned `pack`. A pack
// counts only when it is whole: its layout is checked from the table and the chunk lengths,
// and with `verify` every stored entry is decoded as well. A scanned file whose name matches a
// stored entry's gets `previous` pointing at it; when the size matches too, the file is read
// once for its checksum, which the new entry keeps when it is the stored one's. `*unchanged`
// says whether every stored entry is matched so, one for one, with the same compression type.
// Fails only when a source cannot be read.
Status IsPackUnchanged(const std::string& packPath, PackContents& pack, PackContents& existing,
                       bool verify, bool* unchanged);

}  // namespace tarnix

// Checks of a pack file as a whole: its layout, for deciding whether a pack may be kept or its
// stored forms copied, and everything, for the people who debug and ship packs.
#pragma once

#include <string>
#include <vector>

#include "pack/pack_contents.h"

namespace tarnix {

struct PackProblem {
  std::string text;      // names the entry
  bool warning = false;  // worth knowing, but the pack still reads
  size_t entry = static_cast<size_t>(-1);  // the entry it concerns; -1 for the whole pack
};

// "entry 3 (name)": how problems name an entry.
std::string EntryLabel(const PackContents& pack, size_t index);

// Checks, from the table and the chunk lengths alone (the data is not read), that the first
// entry's data begins right after the table, that each entry's data begins where the previous
// one's ends (a compressed entry's chain of chunk lengths leading exactly there), and that the
// last ends exactly at the end of the file. Sets each entry's storedSize. `pack` has been read.
std::vector<PackProblem> CheckLayout(PackContents& pack);

// Reads the header and table (`pack`'s stream stands at the start of the file) and checks the
// layout and every entry: that it decodes to its size and checksum, that every chunk but an
// entry's last holds ChunkSize bytes, that no chunk holds bytes after its zlib stream, and that
// at most one empty chunk follows the content.
std::vector<PackProblem> FindPackProblems(PackContents& pack);

}  // namespace tarnix

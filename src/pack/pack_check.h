// A thorough check of a whole pack file, for the people who debug and ship packs.
#pragma once

#include <string>
#include <vector>

#include "pack/pack_contents.h"

namespace tarnix {

// Checks `pack`, whose stream is open at the start of a pack file: the header; that the table
// lies inside the file; that each entry's data starts where the previous one's ends, the first
// right after the table; that the last ends exactly at the end of the file; and that every
// entry decodes to exactly its size with its recorded checksum. Returns one line per problem,
// naming the entry; none means the pack is sound.
std::vector<std::string> CheckPack(PackContents& pack);

// Where an entry's stored data ends: the next entry's offset, or the end of the file for the
// last. -1 when that lies before the entry's own offset.
int64_t StoredEnd(const PackContents& pack, size_t index, int64_t fileSize);

}  // namespace tarnix

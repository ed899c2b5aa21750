// Checks of a pack file as a whole: its layout, for deciding whether a pack may be kept or its
// stored forms copied, and everything, for the people who debug and ship packs. Every entry is
// read by the entry reader's rules (compress/entry_reader.h), and problems are handed on as they
// are found, at most one per entry, so that a hostile table costs no memory of its own.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "pack/pack_contents.h"

namespace tarnix {

struct PackProblem {
  std::string text;             // names the entry
  bool warning = false;         // worth knowing, but the pack still reads
  std::optional<size_t> entry;  // the entry it concerns; none for the whole pack
};

using ProblemSink = std::function<void(const PackProblem&)>;

// "entry 3 (name)": how problems name an entry.
std::string EntryLabel(const PackContents& pack, size_t index);

// Checks, from the table and the chunk lengths alone (the data is not read), that the first
// entry's data begins right after the table, that each entry's data begins where the previous
// one's ends and its chunks fill that room exactly, and that the last ends exactly at the end
// of the file. Sets the storedSize of each entry that lies where it should. `pack` has been
// read. Returns the number of problems; `sink` (optional) receives each.
size_t CheckLayout(PackContents& pack, const ProblemSink& sink = {});

// What a reader does before it serves a pack, each failure after `label` ("path: "): reads the
// header and table (a refusal is Damaged, unless the system failed the read, which keeps its
// code); and checks the layout, the first problem Damaged.
Status ReadTableOf(PackContents& pack, const std::string& label);
Status CheckLayoutOf(PackContents& pack, const std::string& label);

// For a pack this tool proved whole and that has not changed since (its stamp and table as they
// were then): sets each entry's storedSize from the offsets, as CheckLayout found them, without
// reading the data. False, with nothing set, when the offsets do not run in order from the end
// of the table to the end of the file.
bool TakeLayoutAsProven(PackContents& pack);

// Reads the header and table (`pack`'s stream stands at the start of the file) and checks the
// layout and every entry in full: every chunk decoded, its size and checksum.
size_t FindPackProblems(PackContents& pack, const ProblemSink& sink = {});

}  // namespace tarnix

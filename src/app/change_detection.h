// Whether the pack already at the target path holds exactly what this run would write.
#pragma once

#include <string>

#include "pack/pack_contents.h"

namespace tarnix {

enum class PackCheck {
  Unchanged,  // same entry count, compression, and every stored name's content checksum
  Changed,    // the pack must be written
  Failed,     // a source file could not be read; errorText says which and why
};

// Reads only the existing pack's header and table, and each source file once, streaming.
// A source whose length differs from the size taken at listing counts as changed.
PackCheck IsPackUnchanged(const std::string& packPath, const PackContents& newPack,
                          std::string* errorText);

}  // namespace tarnix

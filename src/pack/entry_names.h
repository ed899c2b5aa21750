// How extraction turns stored names into paths below a folder, and what it refuses; test
// applies the same rules, so that a pack it passes extracts.
#pragma once

#include <string>
#include <vector>

#include "pack/pack_check.h"
#include "pack/pack_contents.h"

namespace tarnix {

struct ExtractPath {
  std::vector<std::string> parts;  // the path's components below the folder
  std::string refusal;             // why the entry is not extracted; empty when it is
  std::string stripped;            // the leading separators and "./" taken off its front
};

// Works out every entry's path: names split at "/" and "\", with leading separators and "."
// components stripped (a warning); refused are names with a NUL byte, a drive, ".." or empty
// components, a component this platform cannot create, a second entry for one path, and a file
// where another entry needs a folder. Paths that differ only in letter case are a warning: they
// collide on Windows and macOS. `sink` receives each problem as it is found; each names its
// entry.
std::vector<ExtractPath> PlanExtraction(const PackContents& pack, const ProblemSink& sink);

// The text with control bytes written as \n, \r, \t or \xHH, so that a name cannot forge
// lines or move the cursor.
std::string EscapeControls(const std::string& text);

}  // namespace tarnix

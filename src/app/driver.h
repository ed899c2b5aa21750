// The command-line driver: arguments, listing, change detection, write, exit status.
#pragma once

#include <string>
#include <vector>

#include "app/console.h"
#include "compress/entry_data.h"

namespace tarnix {

// Runs the tool on `args` (the program's path first) and returns the exit status. All text
// goes to `console`. `tuning` sets the threads and limits of the write; its verify flag is
// replaced by the command line's.
int RunTarnix(const std::vector<std::string>& args, Console& console,
              const EntryDataOptions& tuning = EntryDataOptions());

// The last path component of the directory argument, with one trailing separator dropped
// first; either slash separates.
std::string RootName(const std::string& directory);

}  // namespace tarnix

// The command-line driver: arguments, listing, change detection, write, exit status.
#pragma once

#include <string>
#include <vector>

#include "app/console.h"
#include "compress/entry_pipeline.h"

namespace tarnix {

// Runs the tool on `args` (the program's path first) and returns the exit status. All text
// goes to `console`. `tuning` sets the threads and limits of the write; its verify flag is
// replaced by the command line's.
int RunTarnix(const std::vector<std::string>& args, Console& console,
              const EntryDataOptions& tuning = EntryDataOptions());

// The last path component of the directory argument, with one trailing separator dropped
// first; either slash separates.
std::string RootName(const std::string& directory);
// The name stored before every file: RootName, or where that is empty, "." or "..", the name
// of the folder `directory` resolves to, so that every stored name can be extracted. Fails for
// a directory that cannot be resolved, or the root of the file system.
Status StoredRootName(const std::string& directory, std::string* root);

}  // namespace tarnix

// tarnix-inspect: list, test, extract, cat and diff the entries of packs.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/console.h"

namespace tarnix {

// Runs one command on `args` (the program's path first) and returns the exit status: 0 done,
// 1 something failed, was refused or (for diff) differs, 2 the arguments were wrong (or diff
// could not compare). Reports go to `out`, problems and errors to `errors`; `cat` writes entry
// bytes to `data`.
int RunInspect(const std::vector<std::string>& args, Console& out, Console& errors,
               std::FILE* data);

}  // namespace tarnix

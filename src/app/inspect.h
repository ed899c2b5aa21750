// tarnix-inspect: list, test, extract and cat the entries of a pack.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "io/console.h"

namespace tarnix {

// Runs one command on `args` (the program's path first) and returns the exit status: 0 done,
// 1 something failed or was refused, 2 the arguments were wrong. Reports go to `out`, errors
// to `errors`; `cat` writes entry bytes to `data`.
int RunInspect(const std::vector<std::string>& args, Console& out, Console& errors,
               std::FILE* data);

}  // namespace tarnix

#include <cstdio>
#include <string>
#include <vector>

#include "app/inspect.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Output into a closed pipe is an error to report, not a reason to die unseen.
  tarnix::platform::RemoveTemporaryFilesOnInterrupt(true);
  std::vector<std::string> args(argv, argv + argc);
  // `cat` writes entry bytes, which must reach the output unchanged.
  tarnix::platform::SetBinaryMode(stdout);
  tarnix::Console out(stdout);
  tarnix::Console errors(stderr);
  return tarnix::RunInspect(args, out, errors, stdout);
}

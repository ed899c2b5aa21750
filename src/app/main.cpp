#include <cstdio>
#include <string>
#include <vector>

#include "app/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  tarnix::platform::RemoveTemporaryFilesOnInterrupt(false);
  std::vector<std::string> args(argv, argv + argc);
  // A log of 200,000 lines costs 200,000 writes when each line is flushed.
  tarnix::Console console(stdout, tarnix::platform::IsTerminal(stdout));
  int status = tarnix::RunTarnix(args, console);
  // Output that never arrived is a failure of the run, whatever it said.
  console.flush();
  tarnix::Status written = console.status("standard output");
  if (!written.ok()) {
    std::fprintf(stderr, "Tarnix: %s\n", written.message().c_str());
    return 1;
  }
  return status;
}

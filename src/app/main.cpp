#include <cstdio>
#include <string>
#include <vector>

#include "app/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  tarnix::platform::RemoveTemporaryFilesOnInterrupt(false);
  std::vector<std::string> args(argv, argv + argc);
  tarnix::Console console(stdout);
  return tarnix::RunTarnix(args, console);
}

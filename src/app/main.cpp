#include <cstdio>
#include <string>
#include <vector>

#include "app/driver.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  tarnix::Console console(stdout);
  return tarnix::RunTarnix(args, console);
}

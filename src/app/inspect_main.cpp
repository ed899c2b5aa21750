#include <cstdio>
#include <string>
#include <vector>

#include "app/inspect.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  tarnix::Console out(stdout);
  tarnix::Console errors(stderr);
  return tarnix::RunInspect(args, out, errors, stdout);
}

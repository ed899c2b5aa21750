// Reads every file of a pack through the public header, "<name> <size>" a line: what a project
// that uses the library needs to build, link and run; what the reader promises, unit tests show.
#include <tarnix/tarnix.h>

#include <cstdio>

int main(int argc, char** argv) {
  tarnix::PackReader reader;
  if (argc != 2 || !reader.open(argv[1]))
    return std::fprintf(stderr, "%s\n", reader.error().c_str()), 1;
  std::vector<uint8_t> content;
  tarnix::Error error;
  for (size_t i = 0; i < reader.files().size(); ++i) {
    if (!reader.read(i, &content, &error))
      return std::fprintf(stderr, "%s\n", error.message.c_str()), 1;
    std::printf("%s %zu\n", reader.files()[i].name.c_str(), content.size());
  }
  return 0;
}

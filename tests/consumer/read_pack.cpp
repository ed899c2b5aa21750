// Reads every file of a pack through the public header, "<name> <size>" a line: whole, then
// again by name in 1000-byte ranges and as a stream, from a second reader over the same bytes
// in memory; any difference fails.
#include <tarnix/tarnix.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

int main(int argc, char** argv) {
  tarnix::PackReader reader, inMemory;
  if (argc != 2 || !reader.open(argv[1])) return std::fprintf(stderr, "%s\n", reader.error().c_str()), 1;
  std::ifstream file(argv[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!inMemory.openMemory(bytes.data(), bytes.size())) return std::fprintf(stderr, "%s\n", inMemory.error().c_str()), 1;
  std::vector<uint8_t> content;
  tarnix::Error error;
  for (size_t i = 0; i < reader.files().size(); ++i) {
    if (!reader.read(i, &content, &error)) return std::fprintf(stderr, "%s\n", error.message.c_str()), 1;
    const tarnix::FoundFile found = inMemory.find(reader.files()[i].name);
    tarnix::PackFile stream;
    if (!found || !inMemory.openFile(*found.index, &stream, &error)) return std::fprintf(stderr, "%s\n", error.message.c_str()), 1;
    std::vector<uint8_t> piece(1000), streamed(content.size());
    for (size_t at = 0; at < content.size(); at += piece.size()) {
      const size_t n = std::min(piece.size(), content.size() - at);
      if (!inMemory.readRange(*found.index, at, piece.data(), n, &error) ||
          !std::equal(piece.begin(), piece.begin() + n, content.begin() + at) ||
          stream.read(streamed.data() + at, n, &error) != n) {
        return std::fprintf(stderr, "%s: ranges differ %s\n", reader.files()[i].name.c_str(), error.message.c_str()), 1;
      }
    }
    if (streamed != content) return std::fprintf(stderr, "%s: the stream differs\n", reader.files()[i].name.c_str()), 1;
    std::printf("%s %zu\n", reader.files()[i].name.c_str(), content.size());
  }
  return 0;
}

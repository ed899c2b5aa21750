// Writes small valid packs (for pack_reader_fuzzer) and entries (for entry_decoder_fuzzer).
// Usage: make_fuzz_seeds WORKDIR PACK_SEED_DIR ENTRY_SEED_DIR
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pack/pack_contents.h"

namespace {

void Save(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string work = argv[1], packs = argv[2], entries = argv[3];
  const std::vector<std::string> contents = {"", "abc", std::string(40000, 'x'),
                                             std::string(32768, 'y') + "tail"};
  std::vector<std::string> paths;
  for (size_t i = 0; i < contents.size(); ++i) {
    paths.push_back(work + "/src" + std::to_string(i));
    std::ofstream(paths.back(), std::ios::binary) << contents[i];
  }
  int seed = 0;
  for (auto type : {tarnix::CompressionType::Uncompressed, tarnix::CompressionType::Compressed}) {
    for (size_t count : {size_t{0}, size_t{1}, contents.size()}) {
      tarnix::PackContents pack;
      pack.compressionType = type;
      for (size_t i = 0; i < count; ++i) {
        pack.entries.emplace_back();
        pack.entries.back().setSource("seed/f" + std::to_string(i), paths[i],
                                      static_cast<uint32_t>(contents[i].size()), &pack);
      }
      std::string path = packs + "/pack" + std::to_string(seed++);
      if (!pack.write(path, {}, nullptr)) {
        std::fprintf(stderr, "%s\n", pack.errorText.c_str());
        return 1;
      }
      std::vector<uint8_t> bytes = Load(path);
      for (size_t i = 0; i < count; ++i) {
        const tarnix::PackEntry& e = pack.entries[i];
        uint32_t stored = type == tarnix::CompressionType::Compressed ? e.storedSize : e.size;
        std::vector<uint8_t> entry = {static_cast<uint8_t>(type), static_cast<uint8_t>(e.size),
                                      static_cast<uint8_t>(e.size >> 8),
                                      static_cast<uint8_t>(e.size >> 16),
                                      static_cast<uint8_t>(e.size >> 24)};
        entry.insert(entry.end(), bytes.begin() + e.offset, bytes.begin() + e.offset + stored);
        Save(entries + "/entry" + std::to_string(seed) + "-" + std::to_string(i), entry);
      }
    }
  }
  return 0;
}

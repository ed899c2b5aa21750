// Writes small sound packs, and the stored forms of their entries, as seeds for the fuzzers.
// Usage: make_fuzz_seeds PACK_SEED_DIR ENTRY_SEED_DIR
#include <fstream>
#include <string>

#include "io/little_endian.h"
#include "support/test_support.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  using tarnix::test::MadeEntry;
  const std::vector<MadeEntry> entries = {{"seed/a", ""}, {"seed/b", "abc"},
                                          {"seed/c", std::string(40000, 'x')},
                                          {"seed/d", std::string(32768, 'y')}};
  int seed = 0;
  for (bool compressed : {false, true}) {
    for (size_t count : {size_t{0}, size_t{1}, entries.size()}) {
      const tarnix::test::MadePack pack = tarnix::test::MakePack(
          std::vector<MadeEntry>(entries.begin(), entries.begin() + count), compressed);
      std::ofstream(std::string(argv[1]) + "/pack" + std::to_string(seed++), std::ios::binary) << pack.bytes;
      for (size_t i = 0; i < count; ++i) {
        uint8_t size[4];
        tarnix::StoreU32(size, static_cast<uint32_t>(entries[i].content.size()));
        const size_t end = i + 1 < count ? pack.data[i + 1] : pack.bytes.size();
        std::ofstream(std::string(argv[2]) + "/entry" + std::to_string(seed) + "-" + std::to_string(i),
                      std::ios::binary)
            << static_cast<char>(compressed) << std::string(size, size + 4)
            << pack.bytes.substr(pack.data[i], end - pack.data[i]);
      }
    }
  }
  return 0;
}

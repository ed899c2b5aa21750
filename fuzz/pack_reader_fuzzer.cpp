// Arbitrary bytes as a pack: the reader and the decoding of every entry must fail cleanly,
// never read out of bounds or allocate without bound.
#include <cstddef>
#include <cstdint>

#include "pack/pack_contents.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarnix::PackContents pack;
  pack.stream.openMemory();
  pack.stream.write(data, static_cast<int64_t>(size));
  pack.stream.seek(0);
  if (!pack.read()) return 0;
  std::vector<uint8_t> content;
  std::string error;
  size_t budget = 64 << 20;  // a damaged size may claim up to 4 GiB; decoding stops at the data
  for (const tarnix::PackEntry& entry : pack.entries) {
    if (entry.size > budget) continue;
    budget -= entry.size;
    entry.loadData(&content, &error);
  }
  return 0;
}

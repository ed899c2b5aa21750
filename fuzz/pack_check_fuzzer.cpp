// Arbitrary bytes through `tarnix-inspect test`'s whole-pack check: it must report, never crash,
// read out of bounds or allocate without bound.
#include <cstddef>
#include <cstdint>

#include "pack/pack_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarnix::PackContents pack;
  pack.stream.openMemory();
  pack.stream.write(data, static_cast<int64_t>(size));
  pack.stream.seek(0);
  tarnix::CheckPack(pack);
  return 0;
}

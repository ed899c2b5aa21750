// Arbitrary bytes as one entry's stored data: decoding must fail cleanly and never give more
// than the entry holds. Input: the compression type byte, the 32-bit size, then the data.
#include <cstddef>
#include <cstdint>

#include "compress/entry_data.h"
#include "io/little_endian.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const auto type = static_cast<tarnix::CompressionType>(data[0] & 1);
  const uint32_t entrySize = tarnix::LoadU32(data + 1);
  tarnix::BinaryStream stream;
  stream.openMemory();
  stream.write(data + 5, static_cast<int64_t>(size - 5));
  stream.seek(0);
  uint64_t produced = 0;
  tarnix::ReadEntryData(stream, type, entrySize, [&produced](const uint8_t*, size_t n) {
    produced += n;
    return tarnix::Status();
  }).ok();
  if (produced > entrySize) __builtin_trap();
  return 0;
}

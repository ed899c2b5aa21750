// Arbitrary bytes as one entry's stored data. Input: the compression type byte, the 32-bit
// size, then the data.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "compress/entry_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  auto type = static_cast<tarnix::CompressionType>(data[0] & 1);
  uint32_t entrySize = data[1] | (data[2] << 8) | (data[3] << 16) | (static_cast<uint32_t>(data[4]) << 24);
  tarnix::BinaryStream stream;
  stream.openMemory();
  stream.write(data + 5, static_cast<int64_t>(size - 5));
  stream.seek(0);
  size_t produced = 0;
  std::string error;
  tarnix::ReadEntryData(stream, type, entrySize,
                        [&produced](const uint8_t*, size_t n) {
                          produced += n;
                          return true;
                        },
                        &error);
  if (produced > entrySize) __builtin_trap();  // never more than the entry holds
  return 0;
}

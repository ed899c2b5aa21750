// Round-trips a chunk through every coding of the encoder and back through zlib's own inflate,
// the oracle: each stream must be one zlib stream that fills its frame and gives the input.
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "compress/chunk_codec.h"
#include "compress/entry_reader.h"
#include "io/little_endian.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnix;
  size = std::min(size, ChunkSize);
  static ChunkCodec codec;
  std::vector<uint8_t> framed(FramedChunkCapacity);
  std::vector<uint8_t> back(ChunkSize + 1);
  const std::optional<ChunkCoding> codings[] = {std::nullopt, ChunkCoding::Matches,
                                                ChunkCoding::Literals, ChunkCoding::Stored};
  for (const std::optional<ChunkCoding>& coding : codings) {
    const size_t written = codec.encode(data, size, framed.data(), coding);
    const uint32_t length = LoadU32(framed.data());
    if (written != 4 + size_t{length} || length < MinChunkStreamSize || length > MaxChunkStreamSize)
      std::abort();
    uLongf produced = back.size();
    uLong consumed = length;
    if (uncompress2(back.data(), &produced, framed.data() + 4, &consumed) != Z_OK ||
        consumed != length || produced != size || std::memcmp(back.data(), data, size) != 0) {
      std::abort();
    }
  }
  return 0;
}

// One chunk of a compressed entry: up to ChunkSize bytes of content as one zlib stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "format/format.h"

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace tarnix {

// How one chunk is coded: by level 6's match search, as a Huffman code of its byte
// frequencies alone, or stored as it is. Every way gives a zlib stream.
enum class ChunkCoding { Matches, Literals, Stored };

// Decides from the chunk's bytes, in integer arithmetic only, how to code them: a chunk too
// dense for level 6 to save much (compressed already: images, sound) skips its costly match
// search. Fills `histogram` when it gets that far.
using ByteCounts = std::array<uint32_t, 256>;
ChunkCoding ChooseCoding(const uint8_t* data, size_t size, ByteCounts* histogram);

// Compressor and decompressor state for one thread; reusing it across chunks saves the
// allocation, while every chunk stays an independent stream.
class ChunkCodec {
 public:
  ChunkCodec() = default;
  ~ChunkCodec();
  ChunkCodec(const ChunkCodec&) = delete;
  ChunkCodec& operator=(const ChunkCodec&) = delete;

  // Writes the chunk's framing (4-byte little-endian length) and zlib stream to `out`, which
  // has room for FramedChunkCapacity bytes, and returns the bytes written; 0 only when the
  // compressor could not be set up. Codes as ChooseCoding says, or as `coding` says where one
  // is given (the fuzzer takes each); a Huffman code too deep for the block falls back to
  // level 6.
  size_t encode(const uint8_t* data, size_t size, uint8_t* out,
                std::optional<ChunkCoding> coding = std::nullopt);

  // Decodes one zlib stream into at most `room` bytes. True when the stream is whole, fits and
  // passes its Adler-32; `produced` receives the bytes it gave (possibly none) and `consumed`
  // (optional) the bytes of `stream` it took, which may be fewer than `streamSize`.
  bool decode(const uint8_t* stream, size_t streamSize, uint8_t* out, size_t room, size_t* produced,
              size_t* consumed = nullptr);

 private:
  libdeflate_compressor* compressor_ = nullptr;  // level 6
  libdeflate_compressor* storer_ = nullptr;      // level 0, for chunks stored as they are
  libdeflate_decompressor* decompressor_ = nullptr;
};

}  // namespace tarnix

// The chunk codec: how a chunk's coding is chosen, and the codings of our own.
#include "compress/chunk_codec.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "support/test_support.h"

namespace tarnix {
namespace {

using test::RandomBytes;
using test::Skewed;

uint32_t Sum(const std::string& s) { return Checksum32(s.data(), s.size()); }

TEST(ChunkCodec, DenseChunksSkipTheMatchSearchAndStillReadBack) {
  std::string text, repeating;
  while (text.size() < 32768)
    text += "a line of text that repeats, as text does " + std::to_string(text.size());
  while (repeating.size() < 32768) repeating += RandomBytes(1024, 4);
  std::string gapped =
      Skewed(32768, 2);  // byte values that never appear: runs of 3 and 11 zero lengths
  for (char& c : gapped)
    c = static_cast<uint8_t>(c) - 200u < 3 || static_cast<uint8_t>(c) - 210u < 11 ? c - 100 : c;
  // Its Huffman code would save exactly 1 %, the least that is not worth a code (found by search).
  std::mt19937 draw(72);
  std::string edge(1850, '\0');
  for (char& c : edge) c = static_cast<char>(draw() % 1000 < 31 ? draw() % 149 : draw() % 256);
  // The coding, and for the codings of our own, the checksum of the framed bytes (level 6's
  // depend on the library's version).
  const std::tuple<const char*, std::string, ChunkCoding, uint32_t> cases[] = {
      {"random", RandomBytes(32768, 1), ChunkCoding::Stored, 0xBEA3B6FE},
      {"skewed, values missing", gapped, ChunkCoding::Literals, 0x46A8A48A},
      {"text", text.substr(0, 32768), ChunkCoding::Matches, 0},
      {"repeats", repeating, ChunkCoding::Matches, 0},
      {"too small to be worth it", RandomBytes(1023, 3), ChunkCoding::Matches, 0},
      {"just large enough", RandomBytes(1024, 3), ChunkCoding::Literals, 0xFBA2297},
      {"saving exactly 1 %", edge, ChunkCoding::Stored, 0x6E9AD250},
  };
  ChunkCodec codec;
  for (const auto& [name, chunk, coding, golden] : cases) {
    SCOPED_TRACE(name);
    ByteCounts histogram;
    EXPECT_EQ(
        ChooseCoding(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), &histogram),
        coding);
    // That zlib's inflate reads every coding back is the chunk fuzzer's to show.
    std::string framed(FramedChunkCapacity, '\0');
    framed.resize(codec.encode(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(),
                               reinterpret_cast<uint8_t*>(&framed[0])));
    EXPECT_EQ(coding == ChunkCoding::Matches ? golden : Sum(framed), golden);
  }
  // Counts 1, 2, 3, 5, ...: 15 values take a 15-bit code, still ours (78 01); 16 go to level 6.
  for (int values : {0, 15, 16}) {  // and no byte at all: the end of the block alone
    std::string deep, framed(FramedChunkCapacity, '\0');
    for (int v = 0, a = 1, b = 2; v < values; ++v, b += a, a = b - a)
      deep += std::string(a, static_cast<char>(v));
    framed.resize(codec.encode(reinterpret_cast<const uint8_t*>(deep.data()), deep.size(),
                               reinterpret_cast<uint8_t*>(&framed[0]), ChunkCoding::Literals));
    EXPECT_EQ(framed.substr(4, 2) + test::Unframe(framed).value_or(std::vector<std::string>{""})[0],
              (values == 16 ? "\x78\x9C" : "\x78\x01") + deep);
  }
}

}  // namespace
}  // namespace tarnix

#include "compress/chunk_codec.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "io/little_endian.h"

namespace tarnix {

namespace {

// Level 6 writes the zlib header 78 9C, like the default level of the classic codec.
constexpr int CompressionLevel = 6;

// Level 6 spends most of its time on bytes that are compressed already (images, sound), where
// its match search finds next to nothing. A chunk whose bytes are that dense is coded with a
// Huffman code of its byte frequencies alone, or stored when even that saves under 1 %. The
// decision is made from the chunk's bytes in integer arithmetic only, so that the same bytes
// give the same pack on every machine and for any number of threads.
constexpr size_t SmallestFastChunk = 1024;  // below, level 6 is quick and headers weigh more
constexpr uint64_t FastGainPerMille = 30;   // the frequencies save at most 3 %
constexpr uint64_t StoreGainPerMille = 10;  // ... and at most 1 %: stored as it is
constexpr uint64_t RepeatsPerMille = 20;    // at most 2 % of the probes meet an earlier repeat

constexpr int LiteralCount = 257;              // the 256 byte values and the end of the block
constexpr int LengthCount = LiteralCount + 1;  // ... and the one distance code, unused
constexpr int MaxCodeLength = 15;

// The code's tables are built once a block, in arrays whose bounds are checked: a wrong bound
// here stops the program rather than writing a stream that reads back as other bytes. Only
// the loops over a chunk's bytes use raw pointers.

// Huffman code lengths of at most `maxLength` bits for the symbols with the given frequencies
// (0: unused); false when the tree would be deeper. Ties are broken by symbol order, so the
// lengths depend on the frequencies alone.
template <size_t Symbols, size_t Room>
bool HuffmanLengths(const std::array<uint32_t, Symbols>& frequency, int maxLength,
                    std::array<uint8_t, Room>& lengths) {
  static_assert(Symbols <= Room && Symbols <= LiteralCount);
  const int count = static_cast<int>(Symbols);
  // Each used symbol's frequency above its number, so that sorting the numbers puts ties in
  // symbol order.
  std::array<uint64_t, LiteralCount> leaf;
  int leaves = 0;
  for (int s = 0; s < count; ++s) {
    lengths[s] = 0;
    if (frequency[s] != 0) leaf[leaves++] = uint64_t{frequency[s]} << 16 | static_cast<uint64_t>(s);
  }
  // There is always a symbol (the end of a block; a code length), and a lone one still needs a
  // code of one bit.
  if (leaves == 1) {
    lengths[leaf[0] & 0xFFFF] = 1;
    return true;
  }
  std::sort(leaf.begin(), leaf.begin() + leaves);
  // Nodes 0..leaves-1 are the sorted leaves, the rest are joined in increasing weight (the
  // two-queue construction); each node's parent is created after it.
  std::array<uint32_t, 2 * LiteralCount> weight;
  std::array<uint16_t, 2 * LiteralCount> parent;
  for (int i = 0; i < leaves; ++i) weight[i] = static_cast<uint32_t>(leaf[i] >> 16);
  int nextLeaf = 0, nextJoined = leaves, nodes = leaves;
  auto take = [&]() {
    if (nextLeaf < leaves && (nextJoined == nodes || weight[nextLeaf] <= weight[nextJoined])) {
      return nextLeaf++;
    }
    return nextJoined++;
  };
  while (nodes < 2 * leaves - 1) {
    int a = take(), b = take();
    weight[nodes] = weight[a] + weight[b];
    parent[a] = parent[b] = static_cast<uint16_t>(nodes);
    ++nodes;
  }
  std::array<uint8_t, 2 * LiteralCount> depth;
  depth[nodes - 1] = 0;
  for (int i = nodes - 2; i >= 0; --i) {
    depth[i] = static_cast<uint8_t>(depth[parent[i]] + 1);
    if (i < leaves && depth[i] > maxLength) return false;
    if (i < leaves) lengths[leaf[i] & 0xFFFF] = depth[i];
  }
  return true;
}

// Canonical codes for the lengths, bit-reversed: deflate sends a code's first bit first.
template <size_t Symbols, size_t Room>
void CanonicalCodes(const std::array<uint8_t, Room>& lengths,
                    std::array<uint16_t, Symbols>& codes) {
  static_assert(Symbols <= Room);
  const int count = static_cast<int>(Symbols);
  std::array<uint16_t, MaxCodeLength + 1> perLength{};
  std::array<uint16_t, MaxCodeLength + 1> next{};
  for (int s = 0; s < count; ++s) ++perLength[lengths[s]];
  perLength[0] = 0;
  for (int bits = 1, code = 0; bits <= MaxCodeLength; ++bits) {
    code = (code + perLength[bits - 1]) << 1;
    next[bits] = static_cast<uint16_t>(code);
  }
  for (int s = 0; s < count; ++s) {
    uint16_t code = next[lengths[s]]++, reversed = 0;
    for (int k = 0; k < lengths[s]; ++k)
      reversed = static_cast<uint16_t>(reversed << 1 | ((code >> k) & 1));
    codes[s] = reversed;
  }
}

// Writes bits least significant first, as deflate packs them. The output needs 8 bytes of room
// past what is written.
class BitWriter {
 public:
  explicit BitWriter(uint8_t* out) : out_(out) {}
  // At most 57 bits may be added between flushes.
  void add(uint32_t value, int bits) {
    buffer_ |= static_cast<uint64_t>(value) << count_;
    count_ += bits;
  }
  void flush() {
    std::memcpy(out_, &buffer_, 8);
    out_ += count_ >> 3;
    buffer_ >>= count_ & ~7;
    count_ &= 7;
  }
  void put(uint32_t value, int bits) {
    add(value, bits);
    flush();
  }
  uint8_t* finish() {
    if (count_ > 0) *out_++ = static_cast<uint8_t>(buffer_);
    return out_;
  }

 private:
  uint8_t* out_;
  uint64_t buffer_ = 0;
  int count_ = 0;
};

// The code lengths of a dynamic block as deflate sends them: runs of one length (16) and of
// zeros (17, 18) folded; `symbols` receives (symbol, extra bits) pairs.
int FoldLengths(const std::array<uint8_t, LengthCount>& lengths,
                std::array<uint16_t, LengthCount>& symbols) {
  const int count = LengthCount;
  int n = 0;
  for (int i = 0; i < count;) {
    const int length = lengths[i];
    int run = 1;
    while (i + run < count && lengths[i + run] == length) ++run;
    i += run;
    if (length == 0) {
      for (int step; run >= 11; run -= step) {
        step = std::min(run, 138);
        symbols[n++] = static_cast<uint16_t>(18 | (step - 11) << 8);
      }
      if (run >= 3) {
        symbols[n++] = static_cast<uint16_t>(17 | (run - 3) << 8);
        run = 0;
      }
    } else {
      symbols[n++] = static_cast<uint16_t>(length);
      --run;  // what remains are repeats of it
      for (int step; run >= 3; run -= step) {
        step = std::min(run, 6);
        symbols[n++] = static_cast<uint16_t>(16 | (step - 3) << 8);
      }
    }
    for (; run > 0; --run) symbols[n++] = static_cast<uint16_t>(length);
  }
  return n;
}

// The literal code's frequencies: the bytes', and one end of the block.
std::array<uint32_t, LiteralCount> LiteralFrequencies(const ByteCounts& histogram) {
  std::array<uint32_t, LiteralCount> frequency;
  std::copy(histogram.begin(), histogram.end(), frequency.begin());
  frequency[256] = 1;
  return frequency;
}

// One dynamic deflate block of literals only, in a zlib stream; 0 when a code would be too
// deep, or the block would not fit the room for a chunk (never for a chunk ChooseCoding gave
// this coding, which saves at least 1 %).
size_t EncodeLiterals(const uint8_t* data, size_t size, const ByteCounts& histogram, uint8_t* out) {
  const std::array<uint32_t, LiteralCount> frequency = LiteralFrequencies(histogram);
  std::array<uint8_t, LengthCount> lengths;
  if (!HuffmanLengths(frequency, MaxCodeLength, lengths)) return 0;
  uint64_t payloadBits = 0;
  for (int s = 0; s < LiteralCount; ++s) payloadBits += uint64_t{frequency[s]} * lengths[s];
  // The headers, the code lengths (at most 19 * 3 + 258 * 14 bits) and the Adler-32 take
  // less than 500 bytes.
  if (payloadBits / 8 + 500 > MaxChunkStreamSize) return 0;
  lengths[LiteralCount] = 0;  // one distance code, unused: the block holds literals only
  std::array<uint16_t, LiteralCount> codes;
  CanonicalCodes(lengths, codes);

  std::array<uint16_t, LengthCount> folded;
  const int foldedCount = FoldLengths(lengths, folded);
  std::array<uint32_t, 19> lengthFrequency{};
  for (int i = 0; i < foldedCount; ++i) ++lengthFrequency[folded[i] & 0xFF];
  std::array<uint8_t, 19> lengthLengths;
  if (!HuffmanLengths(lengthFrequency, 7, lengthLengths)) return 0;
  std::array<uint16_t, 19> lengthCodes;
  CanonicalCodes(lengthLengths, lengthCodes);
  static const uint8_t order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                    11, 4,  12, 3, 13, 2, 14, 1, 15};
  int sent = 19;
  while (sent > 4 && lengthLengths[order[sent - 1]] == 0) --sent;

  out[0] = 0x78;  // zlib, 32 KiB window
  out[1] = 0x01;  // "fastest"; the header checks out (0x7801 % 31 == 0)
  BitWriter bits(out + 2);
  bits.put(1, 1);  // the final block
  bits.put(2, 2);  // dynamic Huffman codes
  bits.put(LiteralCount - 257, 5);
  bits.put(0, 5);  // one distance code
  bits.put(static_cast<uint32_t>(sent - 4), 4);
  for (int i = 0; i < sent; ++i) bits.put(lengthLengths[order[i]], 3);
  static const int extraBits[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
  for (int i = 0; i < foldedCount; ++i) {
    const int symbol = folded[i] & 0xFF;
    bits.put(lengthCodes[symbol], lengthLengths[symbol]);
    bits.put(folded[i] >> 8, extraBits[symbol]);
  }
  // Three codes of at most 15 bits between flushes. The chunk was chosen for saving at least
  // 1 % this way, so the stream stays well inside the room for a chunk. A byte is always
  // below the tables' size, so the loop reads them unchecked.
  const uint16_t* code = codes.data();
  const uint8_t* length = lengths.data();
  const size_t triples = size - size % 3;
  size_t i = 0;
  for (; i < triples; i += 3) {
    bits.add(code[data[i]], length[data[i]]);
    bits.add(code[data[i + 1]], length[data[i + 1]]);
    bits.add(code[data[i + 2]], length[data[i + 2]]);
    bits.flush();
  }
  for (; i < size; ++i) bits.put(code[data[i]], length[data[i]]);
  bits.put(codes[256], lengths[256]);
  uint8_t* end = bits.finish();
  StoreU32BigEndian(end, libdeflate_adler32(1, data, size));
  return static_cast<size_t>(end + 4 - out);
}

void CountBytes(const uint8_t* data, size_t size, ByteCounts* histogram) {
  // Four tables, so that runs of one byte value do not wait on each other. A byte is always
  // below a table's size, so the loops over the chunk count unchecked.
  std::array<ByteCounts, 4> partial{};
  uint32_t* p0 = partial[0].data();
  uint32_t* p1 = partial[1].data();
  uint32_t* p2 = partial[2].data();
  uint32_t* p3 = partial[3].data();
  const size_t quads = size - size % 4;
  size_t i = 0;
  for (; i < quads; i += 4) {
    ++p0[data[i]];
    ++p1[data[i + 1]];
    ++p2[data[i + 2]];
    ++p3[data[i + 3]];
  }
  for (; i < size; ++i) ++p0[data[i]];
  for (int s = 0; s < 256; ++s)
    (*histogram)[s] = partial[0][s] + partial[1][s] + partial[2][s] + partial[3][s];
}

}  // namespace

ChunkCoding ChooseCoding(const uint8_t* data, size_t size, ByteCounts* histogram) {
  if (size < SmallestFastChunk) return ChunkCoding::Matches;
  CountBytes(data, size, histogram);
  std::array<uint8_t, LiteralCount> lengths;
  if (!HuffmanLengths(LiteralFrequencies(*histogram), MaxCodeLength, lengths))
    return ChunkCoding::Matches;
  uint64_t huffmanBits = 0;
  for (int s = 0; s < 256; ++s) huffmanBits += static_cast<uint64_t>((*histogram)[s]) * lengths[s];
  const uint64_t plainBits = static_cast<uint64_t>(size) * 8;
  if (huffmanBits * 1000 < plainBits * (1000 - FastGainPerMille)) return ChunkCoding::Matches;
  // Dense bytes can still repeat (a sample used twice): probe every fourth position for a
  // four-byte sequence met before.
  uint16_t seen[4096];
  std::memset(seen, 0xFF, sizeof seen);
  uint64_t repeats = 0;
  for (size_t at = 0; at + 4 <= size; at += 4) {
    const uint32_t value = LoadU32(data + at);
    const uint32_t slot = (value * 2654435761u) >> 20;
    repeats += seen[slot] != 0xFFFF && LoadU32(data + seen[slot]) == value;
    seen[slot] = static_cast<uint16_t>(at);
  }
  if (repeats * 1000 > RepeatsPerMille * (size / 4)) return ChunkCoding::Matches;
  return huffmanBits * 1000 >= plainBits * (1000 - StoreGainPerMille) ? ChunkCoding::Stored
                                                                      : ChunkCoding::Literals;
}

ChunkCodec::~ChunkCodec() {
  libdeflate_free_compressor(compressor_);
  libdeflate_free_compressor(storer_);
  libdeflate_free_decompressor(decompressor_);
}

size_t ChunkCodec::encode(const uint8_t* data, size_t size, uint8_t* out,
                          std::optional<ChunkCoding> coding) {
  ByteCounts histogram;
  if (coding) {
    CountBytes(data, size, &histogram);
  } else {
    coding = ChooseCoding(data, size, &histogram);
  }
  size_t written = 0;
  if (*coding == ChunkCoding::Literals) written = EncodeLiterals(data, size, histogram, out + 4);
  if (written == 0) {
    // Level 0 stores: one stored block under the header 78 01.
    const bool store = *coding == ChunkCoding::Stored;
    libdeflate_compressor*& compressor = store ? storer_ : compressor_;
    if (compressor == nullptr) {
      compressor = libdeflate_alloc_compressor(store ? 0 : CompressionLevel);
      if (compressor == nullptr) return 0;
    }
    // Deflate falls back to stored blocks, so a chunk's stream stays far below this room.
    written = libdeflate_zlib_compress(compressor, data, size, out + 4, MaxChunkStreamSize);
    if (written == 0) return 0;
  }
  StoreU32(out, static_cast<uint32_t>(written));
  return 4 + written;
}

bool ChunkCodec::decode(const uint8_t* stream, size_t streamSize, uint8_t* out, size_t room,
                        size_t* produced, size_t* consumed) {
  if (decompressor_ == nullptr) {
    decompressor_ = libdeflate_alloc_decompressor();
    if (decompressor_ == nullptr) return false;
  }
  size_t in = 0;
  size_t actual = 0;
  if (libdeflate_zlib_decompress_ex(decompressor_, stream, streamSize, out, room, &in, &actual) !=
      LIBDEFLATE_SUCCESS) {
    return false;
  }
  *produced = actual;
  if (consumed != nullptr) *consumed = in;
  return true;
}

}  // namespace tarnix

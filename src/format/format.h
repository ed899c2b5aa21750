// Every fact of a pack's byte layout, in one place (the prose is docs/pack-format.md). Packs
// already written carry these values, so none of them may change; the code below `pack`
// (compress, io) knows the format through this header alone, never through the pack model.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnix {

// The header: magic, version, compression type, entry count.
constexpr char PackMagic[4] = {'T', 'R', 'N', 'X'};
// The only version written or read; readers take the byte as signed, so 0x80 and up are
// invalid rather than newer.
constexpr int32_t PackVersion = 1;
constexpr int64_t HeaderSize = 10;

// Bytes of a table record besides the name: length 2, offset 4, size 4, checksum 4.
constexpr int64_t RecordFixedSize = 14;
// Longest name a record can hold; readers take the length as signed 16-bit.
constexpr size_t MaxNameLength = 32767;

// How every entry of a pack is stored; the header byte.
enum class CompressionType : uint8_t { Uncompressed = 0, Compressed = 1 };

// Largest pack, and so largest stored entry, the format can address: offsets are read as
// signed 32-bit by the readers packs were written for.
constexpr int64_t MaxPackSize = 0x7FFFFFFF;
// Why a pack that would pass it is refused.
constexpr char TooLarge[] = "the pack would reach 2 GiB, the largest the format can hold";

// Content bytes per chunk of a compressed entry: the unit a reader decodes to serve a range.
constexpr size_t ChunkSize = 32768;
// Largest zlib stream a chunk may hold: the classic compress bound for a full chunk,
// max(128 + n*110/100, 128 + n + 5*(n/31744 + 1)) at n = 32768. Readers refuse longer ones,
// which bounds the buffer a reader needs for one chunk.
constexpr uint32_t MaxChunkStreamSize = 36172;
// Smallest zlib stream: a 2-byte header, an empty final block of 2 bytes and the Adler-32. A
// shorter frame (a zero-length one above all) is damage, which also bounds how many frames a
// walk can meet in a given room.
constexpr uint32_t MinChunkStreamSize = 8;
// Room for one framed chunk: the 4-byte length field and the longest stream.
constexpr size_t FramedChunkCapacity = 4 + MaxChunkStreamSize;

// Every chunk holds ChunkSize bytes but the last, which holds the rest, and is the stream of
// empty input when the size is a whole multiple of ChunkSize (0 included): so the count follows
// from the size alone, and a missing last chunk is damage, not a short file.
constexpr uint64_t ChunkCount(uint32_t size) { return size / ChunkSize + 1; }
constexpr size_t ChunkContent(uint32_t size, uint64_t chunk) {
  return chunk + 1 < ChunkCount(size) ? ChunkSize : size % ChunkSize;
}

// The entry checksum stored in every pack's table: a CRC-32 (reflected polynomial 0xEDB88320)
// whose register starts at 0 instead of 0xFFFFFFFF, so its values differ from zlib's crc32.
// Packs already written carry these values, so the definition must never change.
//
// Checksum of no bytes; also the start value for Checksum32Update.
constexpr uint32_t EmptyChecksum = 0xFFFFFFFFu;

uint32_t Checksum32(const void* data, size_t length);

// Continues a checksum over further bytes: Checksum32 of a+b equals
// Checksum32Update(Checksum32(a), b).
uint32_t Checksum32Update(uint32_t checksum, const void* data, size_t length);

}  // namespace tarnix

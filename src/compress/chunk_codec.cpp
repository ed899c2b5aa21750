#include "compress/chunk_codec.h"

#include <libdeflate.h>

#include "io/little_endian.h"

namespace tarnix {

namespace {
// Level 6 writes the zlib header 78 9C, like the default level of the classic codec.
constexpr int CompressionLevel = 6;
}  // namespace

ChunkCodec::~ChunkCodec() {
  libdeflate_free_compressor(compressor_);
  libdeflate_free_decompressor(decompressor_);
}

size_t ChunkCodec::encode(const uint8_t* data, size_t size, uint8_t* out) {
  if (compressor_ == nullptr) {
    compressor_ = libdeflate_alloc_compressor(CompressionLevel);
    if (compressor_ == nullptr) return 0;
  }
  // Deflate falls back to stored blocks, so a chunk's stream stays far below this room.
  size_t written = libdeflate_zlib_compress(compressor_, data, size, out + 4, MaxChunkStreamSize);
  if (written == 0) return 0;
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

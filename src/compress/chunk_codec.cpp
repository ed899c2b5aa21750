#include "compress/chunk_codec.h"

#include <libdeflate.h>

namespace tarnix {

namespace {
// Level 6 writes the zlib header 78 9C, like the default level of the classic codec.
constexpr int CompressionLevel = 6;
}  // namespace

ChunkCodec::ChunkCodec() = default;

ChunkCodec::~ChunkCodec() {
  if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
  if (decompressor_ != nullptr) libdeflate_free_decompressor(decompressor_);
}

size_t ChunkCodec::encode(const uint8_t* data, size_t size, uint8_t* out) {
  if (compressor_ == nullptr) {
    compressor_ = libdeflate_alloc_compressor(CompressionLevel);
    if (compressor_ == nullptr) return 0;
  }
  // Deflate falls back to stored blocks, so a chunk's stream stays far below this room.
  size_t written = libdeflate_zlib_compress(compressor_, data, size, out + 4, MaxChunkStreamSize);
  if (written == 0) return 0;
  out[0] = static_cast<uint8_t>(written);
  out[1] = static_cast<uint8_t>(written >> 8);
  out[2] = static_cast<uint8_t>(written >> 16);
  out[3] = static_cast<uint8_t>(written >> 24);
  return 4 + written;
}

bool ChunkCodec::decodesToNothing(const uint8_t* stream, size_t streamSize) {
  if (decompressor_ == nullptr) {
    decompressor_ = libdeflate_alloc_decompressor();
    if (decompressor_ == nullptr) return false;
  }
  uint8_t none[1];
  size_t actual = 0;
  return libdeflate_zlib_decompress(decompressor_, stream, streamSize, none, 0, &actual) ==
             LIBDEFLATE_SUCCESS &&
         actual == 0;
}

bool ChunkCodec::decode(const uint8_t* stream, size_t streamSize, uint8_t* out, size_t room,
                        size_t* produced) {
  if (decompressor_ == nullptr) {
    decompressor_ = libdeflate_alloc_decompressor();
    if (decompressor_ == nullptr) return false;
  }
  size_t actual = 0;
  libdeflate_result r =
      libdeflate_zlib_decompress(decompressor_, stream, streamSize, out, room, &actual);
  if (r != LIBDEFLATE_SUCCESS || actual == 0) return false;
  *produced = actual;
  return true;
}

}  // namespace tarnix

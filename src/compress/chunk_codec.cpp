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

bool ChunkCodec::encode(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  if (compressor_ == nullptr) {
    compressor_ = libdeflate_alloc_compressor(CompressionLevel);
    if (compressor_ == nullptr) return false;
  }
  size_t bound = libdeflate_zlib_compress_bound(compressor_, size);
  size_t start = out->size();
  out->resize(start + 4 + bound);
  size_t written = libdeflate_zlib_compress(compressor_, data, size, out->data() + start + 4, bound);
  if (written == 0 || written > MaxChunkStreamSize) {
    out->resize(start);
    return false;
  }
  uint8_t* len = out->data() + start;
  len[0] = static_cast<uint8_t>(written);
  len[1] = static_cast<uint8_t>(written >> 8);
  len[2] = static_cast<uint8_t>(written >> 16);
  len[3] = static_cast<uint8_t>(written >> 24);
  out->resize(start + 4 + written);
  return true;
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

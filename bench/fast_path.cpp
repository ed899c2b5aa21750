// The packer's fast path for dense chunks (already compressed: images, sound) against what the
// libraries offer for the same chunks: libdeflate levels 0, 1 and 6, and zlib's Huffman-only
// strategy. Every file under the given folders is cut into 32 KiB chunks as the pipeline cuts
// it; each chunk the packer would code by byte frequencies or store is coded by every way, one
// thread, the best of five passes timed. Usage: tarnix_fast_path FOLDER...
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "compress/chunk_codec.h"
#include "format/format.h"

namespace {

using Chunk = std::vector<uint8_t>;
using Coder = std::function<size_t(const Chunk&, uint8_t* out)>;

void CollectDense(const std::string& folder, std::vector<Chunk>* literals,
                  std::vector<Chunk>* stored) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const Chunk bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t at = 0; at < bytes.size(); at += tarnix::ChunkSize) {
      Chunk chunk(bytes.begin() + at,
                  bytes.begin() + std::min(bytes.size(), at + tarnix::ChunkSize));
      tarnix::ByteCounts histogram;
      switch (tarnix::ChooseCoding(chunk.data(), chunk.size(), &histogram)) {
        case tarnix::ChunkCoding::Literals: literals->push_back(std::move(chunk)); break;
        case tarnix::ChunkCoding::Stored: stored->push_back(std::move(chunk)); break;
        case tarnix::ChunkCoding::Matches: break;
      }
    }
  }
}

Coder Libdeflate(int level) {
  auto* compressor = libdeflate_alloc_compressor(level);  // lives as long as the program
  return [compressor](const Chunk& c, uint8_t* out) {
    return libdeflate_zlib_compress(compressor, c.data(), c.size(), out,
                                    tarnix::MaxChunkStreamSize);
  };
}

Coder ZlibHuffmanOnly() {
  return [](const Chunk& c, uint8_t* out) -> size_t {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15, 8, Z_HUFFMAN_ONLY);
    z.next_in = const_cast<uint8_t*>(c.data());
    z.avail_in = static_cast<uInt>(c.size());
    z.next_out = out;
    z.avail_out = tarnix::MaxChunkStreamSize;
    deflate(&z, Z_FINISH);
    const size_t written = z.total_out;
    deflateEnd(&z);
    return written;
  };
}

// As the pipeline runs it: the choice, then the coding chosen.
Coder Packer() {
  auto codec = std::make_shared<tarnix::ChunkCodec>();
  return [codec](const Chunk& c, uint8_t* out) {
    return codec->encode(c.data(), c.size(), out) - 4;  // without the length field
  };
}

// The choice alone, which any other coder of these chunks would need as well, to find them.
Coder Choice() {
  return [](const Chunk& c, uint8_t*) -> size_t {
    tarnix::ByteCounts histogram;
    return tarnix::ChooseCoding(c.data(), c.size(), &histogram) == tarnix::ChunkCoding::Matches;
  };
}

void Compare(const char* what, const std::vector<Chunk>& chunks,
             const std::vector<std::pair<const char*, Coder>>& coders) {
  uint64_t input = 0;
  for (const Chunk& c : chunks) input += c.size();
  std::printf("%s: %zu chunks, %.1f MB\n", what, chunks.size(), input / 1e6);
  std::printf("| coder | MB/s | size %% of input |\n|---|---|---|\n");
  std::vector<uint8_t> out(tarnix::FramedChunkCapacity);
  for (const auto& [name, code] : coders) {
    double best = 1e30;
    uint64_t size = 0;
    for (int pass = 0; pass < 5; ++pass) {
      size = 0;
      const auto start = std::chrono::steady_clock::now();
      for (const Chunk& c : chunks) size += code(c, out.data());
      best = std::min(
          best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::printf("| %s | %.0f | %.2f |\n", name, input / 1e6 / best, 100.0 * size / input);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Chunk> literals, stored;
  for (int i = 1; i < argc; ++i) CollectDense(argv[i], &literals, &stored);
  Compare("chunks coded by byte frequencies", literals,
          {{"packer: choice and byte frequencies", Packer()},
           {"the choice alone", Choice()},
           {"libdeflate level 0", Libdeflate(0)},
           {"libdeflate level 1", Libdeflate(1)},
           {"zlib Huffman-only", ZlibHuffmanOnly()},
           {"libdeflate level 6", Libdeflate(6)}});
  Compare("chunks stored", stored,
          {{"packer: choice and level 0", Packer()},
           {"the choice alone", Choice()},
           {"libdeflate level 0", Libdeflate(0)},
           {"libdeflate level 1", Libdeflate(1)},
           {"libdeflate level 6", Libdeflate(6)}});
  return 0;
}

// The limit for packing speed: the wall time to compress every 32768-byte chunk of a tree with
// libdeflate level 6 on all cores, with every file already in memory and nothing written.
// Usage: tarnix_limit DIRECTORY [THREADS]
#include <libdeflate.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY [THREADS]\n", argv[0]);
    return 2;
  }
  unsigned threads =
      argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : std::thread::hardware_concurrency();
  std::vector<std::vector<char>> files;
  size_t total = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(argv[1])) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    total += files.back().size();
  }
  // The same chunks the pack holds, the trailing empty one included.
  struct Chunk {
    const char* data;
    size_t size;
  };
  std::vector<Chunk> chunks;
  for (const auto& f : files) {
    size_t at = 0;
    for (;;) {
      size_t n = std::min<size_t>(32768, f.size() - at);
      chunks.push_back({f.data() + at, n});
      at += n;
      if (n < 32768) break;
    }
  }
  std::atomic<size_t> next{0};
  std::atomic<size_t> compressed{0};
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      libdeflate_compressor* c = libdeflate_alloc_compressor(6);
      std::vector<char> out(40000);
      size_t mine = 0;
      for (size_t i; (i = next.fetch_add(1)) < chunks.size();) {
        mine +=
            4 + libdeflate_zlib_compress(c, chunks[i].data, chunks[i].size, out.data(), out.size());
      }
      compressed += mine;
      libdeflate_free_compressor(c);
    });
  }
  for (auto& t : pool) t.join();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu files, %zu chunks, %zu bytes -> %zu bytes, %u threads: %.3f s, %.1f MB/s\n",
              files.size(), chunks.size(), total, compressed.load(), threads, seconds,
              total / seconds / 1e6);
  return 0;
}

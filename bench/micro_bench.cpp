#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "compress/chunk_codec.h"
#include "format/format.h"

namespace {

// Text-like content that compresses about as well as game assets do.
std::vector<uint8_t> SampleChunk(size_t size) {
  static const char* const words[] = {"stone ", "grass ", "water ", "torch ",
                                      "wall\n", "door ",  "1234 "};
  std::vector<uint8_t> data;
  uint32_t x = 12345;
  while (data.size() < size) {
    x = x * 1103515245 + 12345;
    const char* w = words[(x >> 16) % 7];
    data.insert(data.end(), w, w + std::char_traits<char>::length(w));
    data.push_back(static_cast<uint8_t>(x >> 24));
  }
  data.resize(size);
  return data;
}

void BM_Checksum32(benchmark::State& state) {
  std::vector<uint8_t> data = SampleChunk(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(tarnix::Checksum32(data.data(), data.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Checksum32)->Arg(32768)->Arg(1 << 20);

void BM_EncodeChunk(benchmark::State& state) {
  std::vector<uint8_t> data = SampleChunk(tarnix::ChunkSize);
  std::vector<uint8_t> out(tarnix::FramedChunkCapacity);
  tarnix::ChunkCodec codec;
  for (auto _ : state) benchmark::DoNotOptimize(codec.encode(data.data(), data.size(), out.data()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * tarnix::ChunkSize);
}
BENCHMARK(BM_EncodeChunk);

void BM_DecodeChunk(benchmark::State& state) {
  std::vector<uint8_t> data = SampleChunk(tarnix::ChunkSize);
  std::vector<uint8_t> framed(tarnix::FramedChunkCapacity);
  std::vector<uint8_t> back(tarnix::ChunkSize);
  tarnix::ChunkCodec codec;
  size_t n = codec.encode(data.data(), data.size(), framed.data());
  size_t produced = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        codec.decode(framed.data() + 4, n - 4, back.data(), back.size(), &produced));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * tarnix::ChunkSize);
}
BENCHMARK(BM_DecodeChunk);

}  // namespace

BENCHMARK_MAIN();

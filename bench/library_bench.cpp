// The library as an engine uses it, through the public header only: name lookups in a
// 20,000-entry pack, random 4 KiB range reads inside a 100 MB compressed entry, and whole
// entries read by one and two threads sharing one reader.
#include <benchmark/benchmark.h>
#include <tarnix/tarnix.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Text-like bytes that compress about as well as game assets do.
std::string Content(size_t size, uint32_t seed) {
  static const char* const words[] = {"stone ", "grass ", "water ", "torch ",
                                      "wall\n", "door ",  "1234 "};
  std::string text;
  text.reserve(size + 8);
  std::mt19937 random(seed);
  while (text.size() < size) {
    text += words[random() % 7];
    text += static_cast<char>(random());
  }
  text.resize(size);
  return text;
}

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The packs, made once in memory-backed storage where there is some.
struct Packs {
  fs::path dir;
  tarnix::PackReader many, big, shared;
  std::vector<std::string> names;
  uint64_t bigSize = 100u << 20;
  size_t sharedFiles = 16;

  Packs() {
    dir = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    dir /= "tarnix-library-bench-" + std::to_string(std::random_device()());
    fs::create_directories(dir);
    Write(dir / "small", Content(200, 1));
    std::vector<tarnix::FileToPack> files;
    for (int i = 0; i < 20000; ++i) {
      names.push_back("assets/level" + std::to_string(i % 50) + "\\asset" + std::to_string(i) +
                      ".dat");
      files.push_back({names.back(), (dir / "small").string()});
    }
    Make(many, "many.pak", files);
    Write(dir / "big", Content(bigSize, 2));
    Make(big, "big.pak", {{"assets/movie.bin", (dir / "big").string()}});
    files.clear();
    for (size_t i = 0; i < sharedFiles; ++i) {
      Write(dir / std::to_string(i), Content(4u << 20, static_cast<uint32_t>(i)));
      files.push_back({"assets/" + std::to_string(i), (dir / std::to_string(i)).string()});
    }
    Make(shared, "shared.pak", files);
  }
  ~Packs() { fs::remove_all(dir); }

  void Make(tarnix::PackReader& reader, const char* name,
            const std::vector<tarnix::FileToPack>& files) {
    std::string error;
    if (!tarnix::WritePack((dir / name).string(), files, {}, &error) ||
        !reader.open((dir / name).string())) {
      std::fprintf(stderr, "cannot make %s: %s%s\n", name, error.c_str(), reader.error().c_str());
      std::exit(1);
    }
  }
};

Packs& TestPacks() {
  static Packs packs;
  return packs;
}

void BM_Find(benchmark::State& state) {
  Packs& packs = TestPacks();
  std::mt19937 random(7);
  size_t misses = 0;
  for (auto _ : state) {
    const tarnix::FoundFile found = packs.many.find(packs.names[random() % packs.names.size()]);
    misses += !found;
    benchmark::DoNotOptimize(found);
  }
  if (misses != 0) state.SkipWithError("a name was not found");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_Find);

void BM_ReadRange4KiB(benchmark::State& state) {
  Packs& packs = TestPacks();
  std::mt19937_64 random(9);
  std::vector<char> out(4096);
  uint64_t chunks = 0;
  for (auto _ : state) {
    const uint64_t offset = random() % (packs.bigSize - out.size());
    chunks += offset / 32768 == (offset + out.size() - 1) / 32768 ? 1 : 2;
    if (!packs.big.readRange(0, offset, out.data(), out.size()))
      state.SkipWithError("a range read failed");
  }
  state.counters["chunks/read"] =
      static_cast<double>(chunks) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_ReadRange4KiB)->Unit(benchmark::kMicrosecond);

// Threads read different entries of one reader; bytes per second of all threads together.
void BM_ReadWhole(benchmark::State& state) {
  Packs& packs = TestPacks();
  std::vector<uint8_t> content;
  size_t next = static_cast<size_t>(state.thread_index());
  int64_t bytes = 0;
  for (auto _ : state) {
    if (!packs.shared.read(next % packs.sharedFiles, &content))
      state.SkipWithError("a read failed");
    bytes += static_cast<int64_t>(content.size());
    next += static_cast<size_t>(state.threads());
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ReadWhole)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// Arbitrary bytes as a pack file. Reading it, decoding its entries, checking it whole, reading it
// through the library (names, ranges, streams) and extracting it must fail cleanly: no crash, no
// read out of bounds, no allocation without bound, and nothing written outside the folder extracted
// into.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/inspect.h"
#include "pack/pack_check.h"
#include "tarnix/tarnix.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarnix::PackContents pack;
  pack.stream.openMemory();
  pack.stream.write(data, static_cast<int64_t>(size));
  pack.stream.seek(0);
  tarnix::FindPackProblems(pack);
  std::vector<uint8_t> content;
  size_t budget = 64 << 20;  // a damaged size may claim up to 4 GiB; decoding stops at the data
  for (const tarnix::PackEntry& entry : pack.entries) {
    if (entry.size > budget) continue;
    budget -= entry.size;
    entry.loadData(&content).ok();
  }
  tarnix::PackReader reader;
  if (reader.openMemory(data, size)) {
    uint8_t range[40000];
    for (size_t i = 0; i < reader.files().size() && i < 64; ++i) {
      const uint64_t length = reader.files()[i].size;
      reader.readRange(reader.find(reader.files()[i].name), length / 3, range,
                       std::min<uint64_t>(length - length / 3, sizeof range));
      tarnix::PackFile file;
      if (reader.openFile(i, &file) && file.seek(length / 2)) file.read(range, sizeof range);
    }
  }
  static const fs::path work =
      fs::temp_directory_path() / ("tarnix-fuzz-" + std::to_string(getpid()));
  static const struct Remover {
    ~Remover() {
      std::error_code ec;
      fs::remove_all(work, ec);
    }
  } removedAtExit;
  fs::create_directories(work / "fence");  // extraction goes into work/fence/out and nowhere else
  std::ofstream(work / "in.pak", std::ios::binary).write(reinterpret_cast<const char*>(data), size);
  std::string text;
  tarnix::Console console(&text);
  tarnix::RunInspect(
      {"tarnix-inspect", "extract", (work / "in.pak").string(), (work / "fence/out").string()},
      console, console, stdout);
  fs::remove_all(work / "fence/out");
  // Whatever extract wrote, it wrote inside fence/out.
  if (!fs::is_empty(work / "fence") || std::distance(fs::directory_iterator(work), {}) != 2)
    __builtin_trap();
  return 0;
}

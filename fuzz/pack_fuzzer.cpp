// Arbitrary bytes as a pack file. Reading it, decoding its entries, checking it whole and
// extracting it must fail cleanly: no crash, no read out of bounds, no allocation without bound,
// and nothing written outside the folder extracted into.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "app/inspect.h"
#include "pack/pack_check.h"

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

  static const fs::path work = fs::temp_directory_path() / ("tarnix-fuzz-" + std::to_string(getpid()));
  fs::create_directories(work / "fence");  // extraction goes into work/fence/out and nowhere else
  std::ofstream(work / "in.pak", std::ios::binary).write(reinterpret_cast<const char*>(data), size);
  std::string out, errors;
  tarnix::Console outConsole(&out), errorConsole(&errors);
  tarnix::RunInspect({"tarnix-inspect", "extract", (work / "in.pak").string(), (work / "fence/out").string()},
                     outConsole, errorConsole, stdout);
  size_t outside = 0;
  for (const auto& e : fs::directory_iterator(work)) outside += e.path().filename() != "in.pak" && e.path().filename() != "fence";
  for (const auto& e : fs::directory_iterator(work / "fence")) outside += e.path().filename() != "out";
  if (outside != 0) __builtin_trap();
  fs::remove_all(work / "fence/out");
  return 0;
}

// Running tarnix-inspect in the test process, and packs made for its tests.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/inspect.h"
#include "pack/checksum.h"
#include "pack/pack_contents.h"
#include "support/test_support.h"

namespace tarnix {

// What one run of tarnix-inspect printed and returned.
struct InspectResult {
  int status;
  std::string out;
  std::string errors;
};

inline InspectResult Inspect(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"tarnix-inspect"};
  all.insert(all.end(), args.begin(), args.end());
  InspectResult r;
  Console out(&r.out);
  Console errors(&r.errors);
  std::FILE* data = std::tmpfile();
  r.status = RunInspect(all, out, errors, data);
  std::rewind(data);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, data)) > 0) r.out.append(buf, n);
  std::fclose(data);
  return r;
}

// An uncompressed pack written byte by byte, so that names can be anything.
inline std::string HandMadePack(const std::vector<std::pair<std::string, std::string>>& entries) {
  auto u32 = [](uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
    return s;
  };
  std::string table, data;
  size_t dataStart = 10;
  for (const auto& e : entries) dataStart += 14 + e.first.size();
  for (const auto& [name, content] : entries) {
    table += static_cast<char>(name.size() & 0xFF);
    table += static_cast<char>(name.size() >> 8);
    table += name + u32(static_cast<uint32_t>(dataStart + data.size())) +
             u32(static_cast<uint32_t>(content.size())) + u32(Checksum32(content.data(), content.size()));
    data += content;
  }
  return std::string("TRNX\x01\x00", 6) + u32(static_cast<uint32_t>(entries.size())) + table + data;
}

// Packs `files` with the library's writer.
inline std::string WritePack(const test::TempDir& dir, const std::vector<std::pair<std::string, std::string>>& files,
                      CompressionType type) {
  PackContents pack;
  pack.compressionType = type;
  int i = 0;
  for (const auto& [name, content] : files) {
    std::string path = dir / ("src" + std::to_string(i++));
    test::WriteFile(path, content);
    pack.entries.emplace_back();
    pack.entries.back().setSource(name, path, static_cast<uint32_t>(content.size()), &pack);
  }
  std::string out = dir / "w.pak";
  EXPECT_TRUE(pack.write(out, {}, nullptr)) << pack.errorText;
  return test::ReadFile(out);
}


}  // namespace tarnix

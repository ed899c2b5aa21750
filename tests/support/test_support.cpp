#include "support/test_support.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "compress/chunk_codec.h"
#include "pack/checksum.h"

namespace tarnix::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  static uint32_t counter = 0;
  auto seed = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() /
                         ("tarnix-test-" + std::to_string(seed) + "-" + std::to_string(counter++));
    if (fs::create_directory(candidate)) {
      fs::permissions(candidate, fs::perms::all);  // other users' runs must reach it
      // Forward slashes throughout, so tests can join paths with "/" on every platform.
      path_ = candidate.generic_string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& content) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

std::vector<std::string> Listing(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(directory)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Le32(uint32_t value) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>(value >> (8 * i));
  return s;
}

std::string Chunk(const std::string& piece) {
  static ChunkCodec codec;
  std::string framed(FramedChunkCapacity, '\0');
  framed.resize(codec.encode(reinterpret_cast<const uint8_t*>(piece.data()), piece.size(),
                             reinterpret_cast<uint8_t*>(&framed[0])));
  return framed;
}

MadePack MakePack(const std::vector<MadeEntry>& entries, bool compressed) {
  std::vector<std::string> stored;
  size_t at = 10;
  for (const MadeEntry& e : entries) {
    std::string s = e.stored.value_or("");
    for (size_t i = 0; !e.stored && compressed; i += ChunkSize) {
      s += Chunk(e.content.substr(std::min(i, e.content.size()), ChunkSize));
      if (e.content.size() - std::min(i, e.content.size()) < ChunkSize) break;
    }
    if (!e.stored && !compressed) s = e.content;
    stored.push_back(s);
    at += 14 + e.name.size();
  }
  MadePack pack;
  pack.bytes = std::string("TRNX\x01", 5) + static_cast<char>(compressed) +
               Le32(static_cast<uint32_t>(entries.size()));
  std::string data;
  for (size_t i = 0; i < entries.size(); ++i) {
    const MadeEntry& e = entries[i];
    pack.records.push_back(pack.bytes.size());
    pack.data.push_back(at + data.size());
    pack.bytes += std::string{static_cast<char>(e.name.size()), static_cast<char>(e.name.size() >> 8)};
    pack.bytes += e.name + Le32(static_cast<uint32_t>(at + data.size())) +
                  Le32(static_cast<uint32_t>(e.content.size())) +
                  Le32(e.checksum.value_or(Checksum32(e.content.data(), e.content.size())));
    data += stored[i];
  }
  pack.bytes += data;
  return pack;
}

}  // namespace tarnix::test

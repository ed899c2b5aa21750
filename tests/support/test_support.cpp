#include "support/test_support.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <zlib.h>

#include "format/format.h"
#include "io/little_endian.h"
#include "platform/platform.h"

namespace tarnix::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  static uint32_t counter = 0;
  const auto seed = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path path;
  do {
    path = fs::temp_directory_path() /
           ("tarnix-test-" + std::to_string(seed) + "-" + std::to_string(counter++));
  } while (!fs::create_directory(path));
  fs::permissions(path, fs::perms::all);  // other users' runs must reach it
  path_ = path.generic_string();          // forward slashes, to join with "/" everywhere
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

namespace {

// The tests' runs keep their state records in a folder of their own, not in the user's cache.
const struct OwnCacheFolder {
  TempDir dir;
  OwnCacheFolder() {
#ifdef _WIN32
    _putenv_s("LOCALAPPDATA", dir.path().c_str());
#else
    setenv("XDG_CACHE_HOME", dir.path().c_str(), 1);
#endif
  }
} ownCacheFolder;
}  // namespace

const std::string& CacheFolder() { return ownCacheFolder.dir.path(); }

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string ReadFile(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string MakeLitter(const std::string& folder) {
  const std::string made = folder + "/made";
  WriteFile(made, "litter");
  platform::FileId id;
  platform::KindOf(made, &id);
  const std::string name = platform::TemporaryName(id);
  std::filesystem::rename(made, folder + "/" + name);
  return name;
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
  return {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

std::string Chunk(const std::string& piece) {
  uLongf length = compressBound(static_cast<uLong>(piece.size()));
  std::string stream(length, '\0');
  compress2(reinterpret_cast<Bytef*>(&stream[0]), &length,
            reinterpret_cast<const Bytef*>(piece.data()), static_cast<uLong>(piece.size()), 6);
  stream.resize(length);
  return Le32(static_cast<uint32_t>(length)) + stream;
}

std::optional<std::vector<std::string>> Unframe(const std::string& stored) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < stored.size();) {
    if (at + 4 > stored.size()) return std::nullopt;
    const uint32_t length = LoadU32(reinterpret_cast<const uint8_t*>(&stored[at]));
    at += 4;
    std::string piece(ChunkSize, '\0');
    uLongf produced = ChunkSize;
    uLong consumed = length;
    if (length > stored.size() - at ||
        uncompress2(reinterpret_cast<Bytef*>(&piece[0]), &produced,
                    reinterpret_cast<const Bytef*>(&stored[at]), &consumed) != Z_OK ||
        consumed != length) {
      return std::nullopt;
    }
    piece.resize(produced);
    pieces.push_back(piece);
    at += length;
  }
  return pieces;
}

std::vector<std::string> Pieces(const std::vector<std::string>& contents) {
  std::vector<std::string> pieces;
  for (const std::string& content : contents) {
    for (size_t i = 0; i <= content.size(); i += ChunkSize)
      pieces.push_back(content.substr(i, ChunkSize));
  }
  return pieces;
}

std::string Stored(const std::string& content) {
  const MadePack pack = MakePack({{"r/x", content}}, true);
  return pack.bytes.substr(pack.data[0]);
}

std::string Skewed(size_t size, uint32_t seed) {
  std::string out = RandomBytes(size, seed);
  for (size_t i = 0; i < size; i += 4) out[i] &= 0x3F;
  return out;
}

BinaryStream InMemory(const std::string& bytes) {
  BinaryStream s;
  s.openMemory();
  s.write(bytes.data(), static_cast<int64_t>(bytes.size()));
  s.seek(0);
  return s;
}

MadePack MakePack(const std::vector<MadeEntry>& entries, bool compressed) {
  size_t at = 10;
  for (const MadeEntry& e : entries) at += 14 + e.name.size();
  MadePack pack;
  pack.bytes = std::string("TRNX\x01", 5) + static_cast<char>(compressed) +
               Le32(static_cast<uint32_t>(entries.size()));
  std::string data;
  for (const MadeEntry& e : entries) {
    // Every chunk full but the last, which is empty when the size is a multiple of a chunk.
    std::string stored = compressed ? "" : e.content;
    for (const std::string& piece : compressed ? Pieces({e.content}) : std::vector<std::string>{})
      stored += Chunk(piece);
    pack.records.push_back(pack.bytes.size());
    pack.data.push_back(at + data.size());
    pack.bytes +=
        std::string{static_cast<char>(e.name.size()), static_cast<char>(e.name.size() >> 8)} +
        e.name + Le32(static_cast<uint32_t>(at + data.size())) +
        Le32(static_cast<uint32_t>(e.content.size())) +
        Le32(e.checksum.value_or(Checksum32(e.content.data(), e.content.size())));
    data += e.stored.value_or(stored);
  }
  pack.bytes += data;
  return pack;
}

}  // namespace tarnix::test

// Running the Tarnix binary and checking what it wrote, independently of the library.
#pragma once

#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "support/test_support.h"

namespace tarnix::test {

inline CommandResult Tarnix(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {TARNIX_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

inline uint32_t Le32(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8) |
         (static_cast<uint8_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24);
}

// Decodes every entry of a pack with zlib's own inflate: name -> content. Fails the test on
// anything malformed.
inline std::map<std::string, std::string> DecodePack(const std::string& pack) {
  std::map<std::string, std::string> files;
  EXPECT_EQ(pack.substr(0, 5), std::string("TRNX\x01"));
  bool compressed = pack[5] == 1;
  uint32_t count = Le32(pack, 6);
  size_t at = 10;
  for (uint32_t i = 0; i < count; ++i) {
    uint16_t len = static_cast<uint16_t>(static_cast<uint8_t>(pack[at]) | (static_cast<uint8_t>(pack[at + 1]) << 8));
    std::string name = pack.substr(at + 2, len);
    at += 2 + len;
    uint32_t offset = Le32(pack, at), size = Le32(pack, at + 4);
    at += 12;
    std::string content;
    if (!compressed) {
      content = pack.substr(offset, size);
    } else {
      size_t pos = offset;
      while (content.size() < size) {
        uint32_t n = Le32(pack, pos);
        EXPECT_EQ(static_cast<uint8_t>(pack[pos + 4]), 0x78);
        EXPECT_EQ(static_cast<uint8_t>(pack[pos + 5]), 0x9C);
        std::string out(32768, '\0');
        uLongf outLen = out.size();
        int rc = uncompress(reinterpret_cast<Bytef*>(&out[0]), &outLen,
                            reinterpret_cast<const Bytef*>(pack.data() + pos + 4), n);
        EXPECT_EQ(rc, Z_OK) << name;
        if (rc != Z_OK) break;
        content.append(out, 0, outLen);
        pos += 4 + n;
      }
    }
    files[name] = content;
  }
  return files;
}

// Every file under `root`: path relative to it, with "/", and content.
inline std::map<std::string, std::string> TreeFiles(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    files[std::filesystem::relative(e.path(), root).generic_string()] = ReadFile(e.path().string());
  }
  return files;
}

// A source tree and an old pack that every failing run must leave exactly as it was.
inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Files in a directory other than `keep`.
inline std::vector<std::string> Leftovers(const std::string& dir, const std::string& keep) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    if (name != keep) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Failure : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_ / "src/a.txt", "abc");
    WriteFile(dir_ / "src/sub/b.txt", "bbbb");
    WriteFile(dir_ / "out/t.pak", "the previous pack");
    std::filesystem::permissions(dir_ / "out", std::filesystem::perms::all);
  }
  void ExpectOldPackKept() {
    EXPECT_EQ(ReadFile(pak_), "the previous pack");
    EXPECT_EQ(Leftovers(dir_ / "out", "t.pak"), std::vector<std::string>{});
  }
  TempDir dir_;
  std::string pak_ = dir_ / "out/t.pak";
};

}  // namespace tarnix::test

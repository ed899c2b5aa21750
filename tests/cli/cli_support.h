// Running the Tarnix binary and checking what it wrote, independently of the library.
#pragma once

#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdint>
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

}  // namespace tarnix::test

#include "pack/checksum.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnix {
namespace {

uint32_t Of(const std::string& s) { return Checksum32(s.data(), s.size()); }

// Bit-by-bit reference: register starts at 0, result complemented.
uint32_t Reference(const std::string& s) {
  uint32_t reg = 0;
  for (unsigned char c : s) {
    reg ^= c;
    for (int i = 0; i < 8; ++i) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  }
  return ~reg;
}

TEST(Checksum32, KnownValuesDifferFromTheCommonCrc) {
  EXPECT_EQ(Of(""), 0xFFFFFFFFu);
  EXPECT_EQ(Of("abc"), 0x359A672Fu);
  EXPECT_EQ(Of("123456789"), 0xD202D277u);
  EXPECT_EQ(Of("a"), 0xC54AAE31u);
  EXPECT_EQ(Checksum32(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(Checksum32Update(0x12345678u, nullptr, 0), 0x12345678u);
}

TEST(Checksum32, MatchesTheBitwiseDefinitionAndCanBeContinued) {
  std::string data;
  for (int i = 0; i < 100000; ++i) data += static_cast<char>((i * 131) ^ (i >> 7));
  EXPECT_EQ(Of(data), Reference(data));
  for (size_t cut : {size_t{0}, size_t{1}, size_t{32768}, data.size()}) {
    uint32_t first = Checksum32(data.data(), cut);
    EXPECT_EQ(Checksum32Update(first, data.data() + cut, data.size() - cut), Of(data)) << cut;
  }
}

}  // namespace
}  // namespace tarnix

#include "pack/checksum.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace tarnix {
namespace {

TEST(Checksum32, StartsFromZeroAndCanBeContinued) {
  auto of = [](const std::string& s) { return Checksum32(s.data(), s.size()); };
  EXPECT_EQ(of(""), 0xFFFFFFFFu);
  EXPECT_EQ(of("abc"), 0x359A672Fu);
  EXPECT_EQ(of("123456789"), 0xD202D277u);  // the common CRC-32 gives 0xCBF43926
  EXPECT_EQ(of("a"), 0xC54AAE31u);
  const std::string data = test::RandomBytes(70000, 1);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{32768}, data.size()}) {
    EXPECT_EQ(Checksum32Update(Checksum32(data.data(), cut), data.data() + cut, data.size() - cut),
              of(data));
  }
}

}  // namespace
}  // namespace tarnix

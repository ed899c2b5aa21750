// BinaryStream cases that need a POSIX device.
#include <gtest/gtest.h>

#include "io/binary_stream.h"

namespace tarnix {
namespace {

TEST(BinaryStreamFile, WriteFailureIsReportedWithTheSystemReason) {
  BinaryStream s;
  ASSERT_TRUE(s.open("/dev/full", OpenMode::Write));
  std::vector<uint8_t> block(1 << 20, 7);
  EXPECT_FALSE(s.write(block.data(), static_cast<int64_t>(block.size())) && s.flush());
  EXPECT_TRUE(s.hasIoError());
  EXPECT_NE(s.errorText().find("No space left"), std::string::npos) << s.errorText();
  EXPECT_FALSE(s.close());
}

}  // namespace
}  // namespace tarnix

#include "io/binary_stream.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tarnix {
namespace {

TEST(BinaryStream, FailedOpensLeaveTheStreamClosedWithTheirText) {
  test::TempDir dir;
  test::WriteFile(dir / "a", "abc");
  BinaryStream s;
  s.openMemory();
  for (int mode : {0, 4}) {
    EXPECT_FALSE(s.open(dir / "a", mode));
    EXPECT_FALSE(s.isOpen());
    EXPECT_EQ(s.errorText(), "Invalid open mode " + std::to_string(mode));
  }
  EXPECT_FALSE(s.open(dir / "missing", OpenMode::Read));
  EXPECT_TRUE(s.open(dir / "a", OpenMode::Read));
  EXPECT_EQ(s.errorText(), "Failed to open file with errno 2");  // outlives a success
  EXPECT_FALSE(s.open(dir.path(), OpenMode::Read));  // reading opens only a regular file
  EXPECT_EQ(s.status().message(), dir.path() + ": it is a directory, not a regular file");
  ASSERT_TRUE(s.open(dir / "w", OpenMode::Write));
  ASSERT_TRUE(s.write("abx", 3));
  ASSERT_TRUE(s.truncate(2));
  ASSERT_TRUE(s.close().ok());
  ASSERT_TRUE(s.open(dir / "w", OpenMode::Append));
  ASSERT_TRUE(s.write("c", 1));
  ASSERT_TRUE(s.close().ok());
  EXPECT_EQ(test::ReadFile(dir / "w"), "abc");
  EXPECT_FALSE(s.write("d", 1));  // closed now
  EXPECT_FALSE(s.truncate(0));
#ifndef _WIN32  // a write the device refuses fails, and says why
  ASSERT_TRUE(s.open("/dev/full", OpenMode::Write));
  EXPECT_FALSE(s.write(std::string(1 << 20, 'x').data(), 1 << 20));
  EXPECT_EQ(s.status().code(), StatusCode::Io);
#endif
}

TEST(BinaryStream, FilePositionsSurviveSizeReadAllAndCopies) {
  test::TempDir dir;
  test::WriteFile(dir / "a", "0123456789");
  BinaryStream s;
  ASSERT_TRUE(s.open(dir / "a", OpenMode::Read));
  EXPECT_EQ(s.size(), 10);  // also at the very start
  char buf[16];
  EXPECT_EQ(s.read(buf, 3), 3);
  EXPECT_EQ(s.size(), 10);
  std::vector<uint8_t> all = s.readAll();
  EXPECT_EQ(std::string(all.begin(), all.end()), "0123456789");
  EXPECT_EQ(BinaryStream(s).readU8(), '3');  // a copy shares the file and its position
  EXPECT_EQ(s.readU8(), '4');
  EXPECT_FALSE(s.atEnd());
  EXPECT_EQ(s.read(buf, 16), 5);
  EXPECT_TRUE(s.atEnd());
  int64_t got = -1;
  EXPECT_TRUE(s.readAt(7, buf, 16, &got).ok());  // a piece anywhere, short at the end
  EXPECT_EQ(got, 3);
  EXPECT_EQ(std::string(buf, 3), "789");
  EXPECT_EQ(s.readExactAt(7, buf, 4).code(), StatusCode::Damaged);  // promised bytes missing
  EXPECT_TRUE(s.readExactAt(7, buf, 3).ok());
  EXPECT_TRUE(s.readAt(10, buf, 1, &got).ok());  // nothing at the end is no failure
  EXPECT_EQ(got, 0);
  s.seek(0);
  EXPECT_FALSE(s.atEnd());
  EXPECT_TRUE(s.close().ok());
  EXPECT_EQ(s.size(), 0);
  EXPECT_EQ(s.tell(), 0);
  EXPECT_FALSE(s.seek(0));
}

TEST(BinaryStream, MemoryIsLittleEndianAndGrowsWithZeros) {
  BinaryStream s;
  s.openMemory();
  EXPECT_FALSE(s.seek(-1));
  EXPECT_FALSE(s.setBase(0));  // a base is a file's, not memory's
  s.seek(4);
  s.writeU8(7);
  s.seek(0);
  s.writeU16(0x1234);
  EXPECT_EQ(s.buffer(), (std::vector<uint8_t>{0x34, 0x12, 0, 0, 7}));
  EXPECT_EQ(s.tell(), 2);
  s.seek(1);
  EXPECT_EQ(s.readU32(), 0x07000012u);
  EXPECT_EQ(s.readU16(), 0);  // nothing left: missing bytes read as zero
  uint8_t two[2];
  int64_t got = 0;
  EXPECT_TRUE(s.readAt(3, two, 4, &got).ok());
  EXPECT_EQ(got, 2);
  EXPECT_EQ(two[1], 7);
  EXPECT_FALSE(s.atEnd());  // a memory stream never reports an end
  EXPECT_TRUE(s.truncate(2));
  EXPECT_EQ(s.size(), 2);
  s.seek(0);
  s.write("AB\0DE", 5);
  s.seek(0);
  EXPECT_EQ(s.readString(4), "AB");  // up to the NUL, every byte consumed: "E" comes next
  EXPECT_EQ(s.readString(1), "E");
}

}  // namespace
}  // namespace tarnix

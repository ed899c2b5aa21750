#include "io/binary_stream.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tarnix {
namespace {

using test::TempDir;
using test::WriteFile;

TEST(BinaryStreamOpen, RejectsInvalidModesAndLeavesTheStreamClosed) {
  TempDir dir;
  WriteFile(dir / "a", "abc");
  for (int mode : {0, 4}) {
    BinaryStream s;
    ASSERT_TRUE(s.open(dir / "a", OpenMode::Read));
    EXPECT_FALSE(s.open(dir / "a", mode));
    EXPECT_FALSE(s.isOpen());
    EXPECT_EQ(s.errorText(), "Invalid open mode " + std::to_string(mode));
  }
}

TEST(BinaryStreamOpen, MissingFileGivesErrnoTextThatOutlivesALaterSuccess) {
  TempDir dir;
  WriteFile(dir / "a", "abc");
  BinaryStream s;
  EXPECT_FALSE(s.open(dir / "missing", OpenMode::Read));
  EXPECT_EQ(s.errorText(), "Failed to open file with errno 2");
  EXPECT_TRUE(s.open(dir / "a", OpenMode::Read));
  EXPECT_EQ(s.errorText(), "Failed to open file with errno 2");
}

TEST(BinaryStreamOpen, ReopeningEmptiesAMemoryStreamEvenWhenTheOpenFails) {
  BinaryStream s;
  s.openMemory();
  s.writeU8(1);
  EXPECT_FALSE(s.open("/nonexistent/x", OpenMode::Read));
  EXPECT_FALSE(s.isOpen());
  EXPECT_EQ(s.size(), 0);
}

TEST(BinaryStreamFile, SizeAndReadAllLeaveThePositionAlone) {
  TempDir dir;
  WriteFile(dir / "a", "0123456789");
  BinaryStream s;
  ASSERT_TRUE(s.open(dir / "a", OpenMode::Read));
  char buf[3];
  EXPECT_EQ(s.read(buf, 3), 3);
  EXPECT_EQ(s.size(), 10);
  EXPECT_EQ(s.tell(), 3);
  std::vector<uint8_t> all = s.readAll();
  EXPECT_EQ(std::string(all.begin(), all.end()), "0123456789");
  EXPECT_EQ(s.tell(), 3);
}

TEST(BinaryStreamFile, AtEndOnlyAfterAReadHitsTheEnd) {
  TempDir dir;
  WriteFile(dir / "a", "ab");
  BinaryStream s;
  ASSERT_TRUE(s.open(dir / "a", OpenMode::Read));
  char buf[4];
  EXPECT_FALSE(s.atEnd());
  EXPECT_EQ(s.read(buf, 4), 2);
  EXPECT_TRUE(s.atEnd());
  s.seek(0);
  EXPECT_FALSE(s.atEnd());
}

TEST(BinaryStreamFile, CopiesShareTheFileAndDestroyingOneKeepsItOpen) {
  TempDir dir;
  WriteFile(dir / "a", "abcd");
  BinaryStream s;
  ASSERT_TRUE(s.open(dir / "a", OpenMode::Read));
  {
    BinaryStream copy = s;
    EXPECT_EQ(copy.readU8(), 'a');
  }
  EXPECT_TRUE(s.isOpen());
  EXPECT_EQ(s.readU8(), 'b');  // the copy moved the shared position
}

TEST(BinaryStreamFile, CanReadOnlyWhenOpenForReadingOrNotAFile) {
  TempDir dir;
  BinaryStream s;
  EXPECT_TRUE(s.canRead());  // never opened
  ASSERT_TRUE(s.open(dir / "w", OpenMode::Write));
  EXPECT_FALSE(s.canRead());
  s.close();
  s.openMemory();
  EXPECT_TRUE(s.canRead());
}

TEST(BinaryStreamMemory, ReadsAreLittleEndianAndStopAtTheEnd) {
  BinaryStream s;
  s.openMemory();
  const uint8_t bytes[] = {1, 2, 3, 4};
  s.write(bytes, 4);
  s.seek(0);
  EXPECT_EQ(s.readU32(), 0x04030201u);
  s.seek(1);
  char buf[8];
  EXPECT_EQ(s.read(buf, 8), 3);
  EXPECT_EQ(s.tell(), 4);
  EXPECT_FALSE(s.atEnd());  // a memory stream never reports an end
  EXPECT_EQ(s.readU16(), 0);  // nothing left: missing bytes read as zero
}

TEST(BinaryStreamMemory, ReadStringStopsAtNulButConsumesEveryByte) {
  BinaryStream s;
  s.openMemory();
  const uint8_t bytes[] = {0x41, 0x42, 0x00, 0x44};
  s.write(bytes, 4);
  s.seek(0);
  EXPECT_EQ(s.readString(4), "AB");
  EXPECT_EQ(s.tell(), 4);
  EXPECT_EQ(s.readString(0), "");
}

TEST(BinaryStreamMemory, WritePastTheEndFillsTheGapWithZeros) {
  BinaryStream s;
  s.openMemory();
  s.seek(4);
  s.writeU8(7);
  EXPECT_EQ(s.buffer(), (std::vector<uint8_t>{0, 0, 0, 0, 7}));
  EXPECT_EQ(s.size(), 5);
  EXPECT_EQ(s.tell(), 5);
  s.seek(0);
  s.writeU16(0x1234);
  EXPECT_EQ(s.buffer(), (std::vector<uint8_t>{0x34, 0x12, 0, 0, 7}));
}

TEST(BinaryStreamClosed, DoesNothingAndReportsNothing) {
  BinaryStream s;
  uint8_t b = 9;
  EXPECT_EQ(s.read(&b, 1), 0);
  EXPECT_FALSE(s.write(&b, 1));
  EXPECT_EQ(s.size(), 0);
  EXPECT_EQ(s.tell(), 0);
  EXPECT_TRUE(s.atEnd());
  EXPECT_TRUE(s.readAll().empty());
}

}  // namespace
}  // namespace tarnix

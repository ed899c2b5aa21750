#include <gtest/gtest.h>

#include "pack/pack_contents.h"

namespace tarnix {
namespace {

// The 37-byte pack holding data/a.txt = "abc", uncompressed.
const std::vector<uint8_t> OneFilePack = {
    0x54, 0x52, 0x4E, 0x58, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x64,
    0x61, 0x74, 0x61, 0x2F, 0x61, 0x2E, 0x74, 0x78, 0x74, 0x22, 0x00, 0x00, 0x00,
    0x03, 0x00, 0x00, 0x00, 0x2F, 0x67, 0x9A, 0x35, 0x61, 0x62, 0x63};

bool ReadBytes(PackContents* pack, const std::vector<uint8_t>& bytes) {
  pack->stream.openMemory();
  pack->stream.write(bytes.data(), static_cast<int64_t>(bytes.size()));
  pack->stream.seek(0);
  return pack->read();
}

std::vector<uint8_t> Header(uint8_t version, uint8_t type, uint32_t count) {
  return {0x54, 0x52, 0x4E, 0x58, version, type, static_cast<uint8_t>(count),
          static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count >> 16),
          static_cast<uint8_t>(count >> 24)};
}

TEST(PackReader, ReadsTheOneFilePackAndItsData) {
  PackContents pack;
  ASSERT_TRUE(ReadBytes(&pack, OneFilePack)) << pack.errorText;
  EXPECT_EQ(pack.version, 1);
  EXPECT_EQ(pack.compressionType, CompressionType::Uncompressed);
  ASSERT_EQ(pack.entries.size(), 1u);
  const PackEntry& e = pack.entries[0];
  EXPECT_EQ(e.name, "data/a.txt");
  EXPECT_EQ(e.offset, 34u);
  EXPECT_EQ(e.size, 3u);
  EXPECT_EQ(e.checksum, 0x359A672Fu);
  EXPECT_FALSE(e.hasSource);
  EXPECT_EQ(pack.stream.tell(), 34);
  std::vector<uint8_t> content;
  std::string error;
  ASSERT_TRUE(e.loadData(&content, &error)) << error;
  EXPECT_EQ(std::string(content.begin(), content.end()), "abc");
}

TEST(PackReader, HeaderChecksInOrderWithTheirTexts) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::string text;
  };
  const Case cases[] = {
      {{}, "Magic mismatch"},
      {{0x54, 0x52, 0x4E}, "Magic mismatch"},
      {{0x54, 0x52, 0x00, 0x58, 1, 0, 0, 0, 0, 0}, "Magic mismatch"},
      {Header(0, 5, 0), "Unexpected version 0"},
      {Header(0xFF, 0, 0), "Unexpected version -1"},
      {Header(0x80, 0, 0), "Unexpected version -128"},
      {Header(2, 0, 0), "File is too new to read. File is version 2. Latest compatible version is 1"},
      {Header(1, 2, 0), "Incorrect compression type (2)"},
      {Header(1, 255, 0), "Incorrect compression type (255)"},
  };
  for (const Case& c : cases) {
    PackContents pack;
    EXPECT_FALSE(ReadBytes(&pack, c.bytes));
    EXPECT_EQ(pack.errorText, c.text);
    EXPECT_TRUE(pack.entries.empty());
  }
  PackContents pack;
  ReadBytes(&pack, Header(1, 2, 0));
  EXPECT_EQ(static_cast<int>(pack.compressionType), 2);
}

TEST(PackReader, EmptyTableAndOddNames) {
  PackContents empty;
  ASSERT_TRUE(ReadBytes(&empty, Header(1, 1, 0)));
  EXPECT_TRUE(empty.entries.empty());
  EXPECT_EQ(empty.stream.tell(), 10);

  // Name length 0, name length with the top bit set, and a name holding a NUL.
  std::vector<uint8_t> bytes = Header(1, 0, 3);
  auto numbers = [&bytes](uint8_t v) { for (int i = 0; i < 12; ++i) bytes.push_back(v); };
  bytes.insert(bytes.end(), {0x00, 0x00});
  numbers(1);
  bytes.insert(bytes.end(), {0x00, 0x80});
  numbers(2);
  bytes.insert(bytes.end(), {0x03, 0x00, 'a', 0x00, 'b'});
  numbers(3);
  PackContents pack;
  ASSERT_TRUE(ReadBytes(&pack, bytes)) << pack.errorText;
  ASSERT_EQ(pack.entries.size(), 3u);
  EXPECT_EQ(pack.entries[0].name, "");
  EXPECT_EQ(pack.entries[0].offset, 0x01010101u);
  EXPECT_EQ(pack.entries[1].name, "");
  EXPECT_EQ(pack.entries[1].size, 0x02020202u);
  EXPECT_EQ(pack.entries[2].name, "a");
  EXPECT_EQ(pack.entries[2].checksum, 0x03030303u);
}

TEST(PackReader, NeverTrustsTheTable) {
  PackContents noCount;
  EXPECT_FALSE(ReadBytes(&noCount, {0x54, 0x52, 0x4E, 0x58, 1, 0, 0}));
  EXPECT_EQ(noCount.errorText, "Header is cut short");

  PackContents huge;
  EXPECT_FALSE(ReadBytes(&huge, Header(1, 1, 0xFFFFFFFF)));
  EXPECT_EQ(huge.errorText, "Entry count 4294967295 does not fit in the file");

  std::vector<uint8_t> cut(OneFilePack.begin(), OneFilePack.begin() + 30);
  PackContents shortTable;
  EXPECT_FALSE(ReadBytes(&shortTable, cut));
  EXPECT_TRUE(shortTable.entries.empty());

  std::vector<uint8_t> longName = Header(1, 0, 1);
  longName.insert(longName.end(), {0xFF, 0x7F});
  longName.insert(longName.end(), 20, 'x');
  PackContents pastEnd;
  EXPECT_FALSE(ReadBytes(&pastEnd, longName));
  EXPECT_EQ(pastEnd.errorText, "Name of entry 0 runs past the end of the file");
}

}  // namespace
}  // namespace tarnix

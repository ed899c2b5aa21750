#include <gtest/gtest.h>

#include "pack/pack_contents.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

bool ReadBytes(PackContents* pack, const std::string& bytes) {
  pack->stream = test::InMemory(bytes);
  return pack->read();
}

std::string Header(char version, char type, uint32_t count) {
  return std::string("TRNX") + version + type + test::Le32(count);
}

TEST(PackContents, ReadsTheTableAndLeavesTheStreamAtTheData) {
  // The 37-byte pack holding data/a.txt = "abc", uncompressed.
  const std::string one = Header(1, 0, 1) + std::string("\x0A\x00", 2) + "data/a.txt" +
                          test::Le32(34) + test::Le32(3) + test::Le32(0x359A672F) + "abc";
  PackContents pack;
  ASSERT_TRUE(ReadBytes(&pack, one)) << pack.errorText;
  ASSERT_EQ(pack.entries.size(), 1u);
  const PackEntry& e = pack.entries[0];
  EXPECT_EQ(e.name, "data/a.txt");
  EXPECT_EQ(e.offset, 34u);
  EXPECT_EQ(e.size, 3u);
  EXPECT_EQ(e.checksum, 899311407u);
  EXPECT_EQ(pack.version, 1);
  EXPECT_FALSE(e.hasSource());
  EXPECT_EQ(pack.stream.tell(), 34);
  std::vector<uint8_t> content;
  ASSERT_TRUE(e.loadData(&content).ok());
  EXPECT_EQ(std::string(content.begin(), content.end()), "abc");
  pack.stream.close().ok();
  EXPECT_EQ(e.loadData(&content).message(), "data/a.txt: the pack that holds it is not open");
  // Name length 0, a length with the top bit set, and a name holding a NUL.
  std::string odd = Header(1, 0, 3) + std::string("\0\0", 2) + std::string(12, '\1') +
                    std::string("\0\x80", 2) + std::string(12, '\2') +
                    std::string("\x03\0a\0b", 5) + std::string(12, '\3');
  ASSERT_TRUE(ReadBytes(&pack, odd)) << pack.errorText;
  ASSERT_EQ(pack.entries.size(), 3u);
  // The name is kept whole, its NUL too, so that it matches no name cut short.
  EXPECT_EQ(pack.entries[0].name, "");
  EXPECT_EQ(pack.entries[0].offset, 16843009u);
  EXPECT_EQ(pack.entries[2].name, std::string("a\0b", 3));
  EXPECT_EQ(pack.entries[1].size, 0x02020202u);
  EXPECT_EQ(pack.entries[2].checksum, 0x03030303u);
}

TEST(PackContents, RefusesAHeaderOrTableThatDoesNotFit) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "Magic mismatch"},
      {"TRN", "Magic mismatch"},
      {std::string("TR\0X\1\0\0\0\0\0", 10), "Magic mismatch"},
      {Header(0, 5, 0), "Unexpected version 0"},
      {Header('\xFF', 0, 0), "Unexpected version -1"},
      {Header(2, 0, 0),
       "File is too new to read. File is version 2. Latest compatible version is 1"},
      {Header(1, 2, 0), "Incorrect compression type (2)"},
      {Header(1, 0, 0).substr(0, 9), "Header is cut short"},
      {Header(1, 1, 0xFFFFFFFF), "Entry count 4294967295 does not fit in the file"},
      {Header(1, 0, 2) + std::string("\x14\0", 2) + std::string(32, 'n') + "x",
       "Entry table is cut short at entry 1"},
      {Header(1, 0, 1) + "\xFF\x7F" + std::string(20, 'x'),
       "Name of entry 0 runs past the end of the file"},
  };
  for (const auto& [bytes, text] : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    PackContents pack;
    EXPECT_FALSE(ReadBytes(&pack, bytes));
    EXPECT_EQ(pack.errorText, text);
    EXPECT_TRUE(pack.entries.empty());
  }
}

TEST(PackWriter, FailuresLeaveTheOldPackAndNoTemporaryFile) {
  test::TempDir dir;
  test::WriteFile(dir / "out/old.pak", "previous pack");
  test::WriteFile(dir / "src0", "abcd");
  PackContents pack;
  pack.entries.emplace_back();
  pack.entries[0].setSource(std::string(32767, 'n'), dir / "src0", 4, &pack);
  EXPECT_TRUE(pack.write(dir / "n.pak", {})) << pack.errorText;  // the longest name a table holds
  pack.entries[0].name += "n";
  EXPECT_FALSE(pack.write(dir / "out/old.pak", {}));
  EXPECT_NE(pack.errorText.find("the limit is 32767"), std::string::npos);
  pack.entries[0].name = "r/a";
  // A pack of exactly the largest size may be written: here the source fails first.
  pack.entries[0].size = static_cast<uint32_t>(MaxPackSize - HeaderSize - RecordSize("r/a"));
  EXPECT_FALSE(pack.write(dir / "out/old.pak", {}));
  EXPECT_NE(pack.errorText.find(" changed while it was being packed"), std::string::npos);
  pack.compressionType = CompressionType::Compressed;  // whose length is not known in advance
  pack.entries[0].size = 0xFFFFFFFF;
  EXPECT_FALSE(pack.write(dir / "out/old.pak", {}));
  EXPECT_NE(pack.errorText.find(" changed while it was being packed"), std::string::npos);
  EXPECT_FALSE(pack.write(dir / "missing/x.pak", {}));
  EXPECT_EQ(pack.errorText,
            "Failed to open " + (dir / "missing/x.pak") + ": Failed to open file with errno 2");
  EXPECT_EQ(test::ReadFile(dir / "out/old.pak"), "previous pack");
  EXPECT_EQ(test::Listing(dir / "out"), std::vector<std::string>{"old.pak"});
}

}  // namespace
}  // namespace tarnix

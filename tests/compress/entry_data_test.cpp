#include "compress/entry_data.h"

#include <gtest/gtest.h>

#include "pack/checksum.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::RandomBytes;
using test::TempDir;
using test::WriteFile;

uint32_t LoadU32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// Writes the given contents as entries into a memory stream.
struct Stored {
  bool ok = false;
  std::string error;
  std::vector<uint8_t> bytes;
  std::vector<StoredEntryData> entries;
};

Stored Store(const std::vector<std::string>& contents, CompressionType type,
             EntryDataOptions options = EntryDataOptions()) {
  TempDir dir;
  std::vector<EntrySource> sources;
  for (size_t i = 0; i < contents.size(); ++i) {
    std::string path = dir / ("f" + std::to_string(i));
    WriteFile(path, contents[i]);
    sources.push_back({"root/f" + std::to_string(i), path, static_cast<uint32_t>(contents[i].size())});
  }
  BinaryStream out;
  out.openMemory();
  Stored result;
  result.ok = WriteEntryData(sources, type, out, options, nullptr, &result.entries, &result.error);
  result.bytes = out.buffer();
  return result;
}

// The content sizes of the chunks of one compressed entry starting at `at`, up to `end`.
std::vector<size_t> ChunkContentSizes(const std::vector<uint8_t>& bytes, size_t at, size_t end) {
  std::vector<size_t> sizes;
  ChunkCodec codec;
  std::vector<uint8_t> out(ChunkSize);
  while (at < end) {
    uint32_t len = LoadU32(bytes, at);
    EXPECT_EQ(bytes[at + 4], 0x78);
    EXPECT_EQ(bytes[at + 5], 0x9C);
    size_t produced = 0;
    if (!codec.decode(&bytes[at + 4], len, out.data(), ChunkSize, &produced)) produced = 0;
    sizes.push_back(produced);
    at += 4 + len;
  }
  EXPECT_EQ(at, end) << "length fields must lead exactly to the end";
  return sizes;
}

TEST(WriteEntryData, ChunksAreFullButTheLastAroundTheChunkBoundary) {
  struct Case {
    size_t size;
    std::vector<size_t> chunks;  // content bytes per chunk; the empty stream decodes to 0
  };
  const Case cases[] = {{0, {0}},          {1, {1}},
                        {32767, {32767}},  {32768, {32768, 0}},
                        {32769, {32768, 1}}, {100000, {32768, 32768, 32768, 1696}}};
  for (const Case& c : cases) {
    std::string content = RandomBytes(c.size, static_cast<uint32_t>(c.size));
    Stored s = Store({content}, CompressionType::Compressed);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.entries[0].storedSize, s.bytes.size());
    EXPECT_EQ(s.entries[0].checksum, Checksum32(content.data(), content.size()));
    EXPECT_EQ(ChunkContentSizes(s.bytes, 0, s.bytes.size()), c.chunks) << c.size;

    BinaryStream in;
    in.openMemory();
    in.write(s.bytes.data(), static_cast<int64_t>(s.bytes.size()));
    in.seek(0);
    std::vector<uint8_t> back;
    std::string error;
    ASSERT_TRUE(ReadEntryData(in, CompressionType::Compressed, static_cast<uint32_t>(c.size),
                              &back, &error)) << error;
    EXPECT_EQ(std::string(back.begin(), back.end()), content);
  }
}

TEST(WriteEntryData, UncompressedIsTheBytesBackToBack) {
  Stored s = Store({"abc", "", "hello"}, CompressionType::Uncompressed);
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ(std::string(s.bytes.begin(), s.bytes.end()), "abchello");
  EXPECT_EQ(s.entries[1].checksum, 0xFFFFFFFFu);
  EXPECT_EQ(s.entries[2].storedSize, 5u);
}

TEST(WriteEntryData, OutputIsTheSameWhateverTheThreadCount) {
  std::vector<std::string> contents;
  for (int i = 0; i < 40; ++i) contents.push_back(RandomBytes(i * 3001, i) + std::string(i * 500, 'x'));
  contents.push_back(std::string(300000, 'q'));
  Stored base = Store(contents, CompressionType::Compressed);
  ASSERT_TRUE(base.ok);
  for (unsigned threads : {1u, 2u, 8u}) {
    EntryDataOptions options;
    options.threads = threads;
    options.chunksInFlight = threads;  // the smallest window exercises the ordering most
    options.verify = true;
    Stored s = Store(contents, CompressionType::Compressed, options);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.bytes, base.bytes) << threads;
  }
}

TEST(WriteEntryData, VerifyCatchesACorruptChunkAndNamesTheEntry) {
  EntryDataOptions options;
  options.verify = true;
  options.chunkHook = [](size_t entry, size_t chunk, uint8_t* framed, size_t size) {
    if (entry == 1 && chunk == 1) framed[size - 1] ^= 0x40;  // Adler-32 trailer
  };
  std::string second = RandomBytes(70000, 5);
  Stored s = Store({"first", second, "third"}, CompressionType::Compressed, options);
  EXPECT_FALSE(s.ok);
  uint32_t data = Checksum32(second.data(), second.size());
  EXPECT_EQ(s.error.rfind("Failed to verify root/f1 (data: " + std::to_string(data) + ", saved: ", 0), 0u)
      << s.error;
  EXPECT_EQ(s.error.back(), ')');

  options.verify = false;  // without the check the damage goes unnoticed
  EXPECT_TRUE(Store({"first", second, "third"}, CompressionType::Compressed, options).ok);
}

TEST(WriteEntryData, FailsWhenASourceChangedSizeOrVanished) {
  TempDir dir;
  WriteFile(dir / "a", "12345");
  BinaryStream out;
  out.openMemory();
  std::vector<StoredEntryData> stored;
  std::string error;
  std::vector<EntrySource> grown = {{"r/a", dir / "a", 3}};
  EXPECT_FALSE(WriteEntryData(grown, CompressionType::Compressed, out, {}, nullptr, &stored, &error));
  EXPECT_NE(error.find(dir / "a"), std::string::npos) << error;
  EXPECT_NE(error.find("changed"), std::string::npos) << error;

  std::vector<EntrySource> shrunk = {{"r/a", dir / "a", 9}};
  EXPECT_FALSE(WriteEntryData(shrunk, CompressionType::Uncompressed, out, {}, nullptr, &stored, &error));
  EXPECT_NE(error.find("listed with 9 bytes, now 5 bytes"), std::string::npos) << error;

  std::vector<EntrySource> gone = {{"r/b", dir / "b", 0}};
  EXPECT_FALSE(WriteEntryData(gone, CompressionType::Compressed, out, {}, nullptr, &stored, &error));
  EXPECT_EQ(error, "Failed to open " + (dir / "b") + ": No such file or directory");
}

TEST(WriteEntryData, StopsAtTheOutputLimit) {
  EntryDataOptions options;
  options.outputLimit = 7;
  options.outputName = "out.pak";
  Stored s = Store({"abc", "defgh"}, CompressionType::Uncompressed, options);
  EXPECT_FALSE(s.ok);
  EXPECT_EQ(s.error, "Failed to write out.pak: the pack would reach 2 GiB, the largest the format can hold");
}

class ReadEntryDataTest : public ::testing::Test {
 protected:
  // A compressed entry of 40000 bytes: chunks of 32768 and 7232.
  void SetUp() override {
    content_ = RandomBytes(40000, 9);
    Stored s = Store({content_}, CompressionType::Compressed);
    ASSERT_TRUE(s.ok);
    bytes_ = s.bytes;
  }
  bool Decode(const std::vector<uint8_t>& bytes, uint32_t size, std::string* error) {
    BinaryStream in;
    in.openMemory();
    in.write(bytes.data(), static_cast<int64_t>(bytes.size()));
    in.seek(0);
    std::vector<uint8_t> out;
    bool ok = ReadEntryData(in, CompressionType::Compressed, size, &out, error);
    if (ok) { EXPECT_EQ(out.size(), size); }
    return ok;
  }
  std::string content_;
  std::vector<uint8_t> bytes_;
};

TEST_F(ReadEntryDataTest, RefusesDamagedChunks) {
  std::string error;
  ASSERT_TRUE(Decode(bytes_, 40000, &error)) << error;

  std::vector<uint8_t> b = bytes_;
  b[LoadU32(b, 0) + 3] ^= 1;  // last byte of the first stream: its Adler-32
  EXPECT_FALSE(Decode(b, 40000, &error));

  b = bytes_;
  b[0] = 0x4D; b[1] = 0x8D; b[2] = 0; b[3] = 0;  // 36173, one over the limit
  EXPECT_FALSE(Decode(b, 40000, &error));
  EXPECT_NE(error.find("exceeds 36172"), std::string::npos) << error;

  b = bytes_;
  b.resize(b.size() - 10);  // the last chunk promises more than remains
  EXPECT_FALSE(Decode(b, 40000, &error));
  EXPECT_NE(error.find("runs past the end"), std::string::npos) << error;

  b = bytes_;
  b.resize(LoadU32(b, 0) + 4);  // the data stops before the entry's size is reached
  EXPECT_FALSE(Decode(b, 40000, &error));
}

TEST_F(ReadEntryDataTest, RoomIsLimitedToWhatTheEntryStillNeeds) {
  std::string error;
  // Recorded as smaller than the chunks hold: the second chunk would overrun.
  EXPECT_FALSE(Decode(bytes_, 33000, &error));
  // A chunk of empty input decodes to nothing and is refused where content is expected.
  Stored empty = Store({""}, CompressionType::Compressed);
  EXPECT_FALSE(Decode(empty.bytes, 1, &error));
  EXPECT_TRUE(Decode(empty.bytes, 0, &error));
}

TEST(ReadEntryDataUncompressed, FailsWhenTheDataIsShort) {
  BinaryStream in;
  in.openMemory();
  in.write("abc", 3);
  in.seek(0);
  std::vector<uint8_t> out;
  std::string error;
  EXPECT_FALSE(ReadEntryData(in, CompressionType::Uncompressed, 4, &out, &error));
  in.seek(0);
  EXPECT_TRUE(ReadEntryData(in, CompressionType::Uncompressed, 3, &out, &error));
}

}  // namespace
}  // namespace tarnix

// The entry reader: the one rulebook for stored bytes.
#include "compress/entry_reader.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/test_support.h"

namespace tarnix {
namespace {

using test::Chunk;
using test::InMemory;
using test::RandomBytes;
using test::Stored;

// Length fields are read a page at a time where they lie close together, 4 bytes where far apart.
TEST(EntryReader, ReadsPagesOfLengthsOnlyWhereTheyLieClose) {
  const int64_t frame = static_cast<int64_t>(Chunk("ab").size());
  std::string tiny;
  for (int i = 0; i < 300; ++i) tiny += Chunk("ab");
  BinaryStream small = InMemory(tiny);
  int64_t fieldBytesRead = 0;
  EntryReader reader([&fieldBytesRead](int64_t bytes) { fieldBytesRead += bytes; });
  EntryToRead entry;
  entry.size = 2;
  // The first alone, a page from the second that holds the 150th, the last alone (far from the
  // 150th) and then from what was read, and the first alone again.
  for (int i : {0, 1, 150, 299, 299, 0}) {
    entry.offset = i * frame;
    EXPECT_TRUE(reader.read(small, entry, ReadMode::Layout).ok()) << i;
    EXPECT_EQ(reader.end(), entry.offset + frame) << i;
  }
  EXPECT_EQ(fieldBytesRead, 4 + 4096 + 4 + 4);
  entry.room = 4;  // more room than the stream holds: its last 2 bytes are no length
  entry.offset = static_cast<int64_t>(tiny.size()) - 2;
  EXPECT_EQ(reader.read(small, entry, ReadMode::Layout).message(),
            "chunk 0: its length runs past the end of the data");
}

// A read the system fails is I/O, never damage, for lengths, chunks and stored data alike.
TEST(EntryReader, ASystemReadFailureIsIoNotDamage) {
  test::TempDir dir;
  BinaryStream writeOnly;  // holds the bytes, which cannot be read through it
  ASSERT_TRUE(writeOnly.open(dir / "w", OpenMode::Write));
  const std::string stored = Stored("abc");
  ASSERT_TRUE(writeOnly.write(stored.data(), static_cast<int64_t>(stored.size())));
  ASSERT_TRUE(writeOnly.sync());
  EntryReader reader;
  EntryToRead entry;
  entry.size = 3;
  const std::tuple<CompressionType, ReadMode> rows[] = {
      {CompressionType::Compressed, ReadMode::Layout},
      {CompressionType::Compressed, ReadMode::Full},
      {CompressionType::Uncompressed, ReadMode::Full}};
  for (const auto& [type, mode] : rows) {
    entry.type = type;
    const Status read = reader.read(writeOnly, entry, mode);
    EXPECT_EQ(read.code(), StatusCode::Io) << read.message();
    EXPECT_NE(read.message().find(": "), std::string::npos) << read.message();  // and why
  }
}

TEST(ReadEntryData, RefusesDamagedChunks) {
  // Bounded by the stream's end; the checks test each rule where a table bounds an entry.
  const std::string content = RandomBytes(40000, 9), good = Stored(content);
  std::vector<uint8_t> out;
  BinaryStream in = InMemory(good.substr(0, good.size() - 10));
  EXPECT_FALSE(ReadEntryData(in, CompressionType::Compressed, 40000, &out).ok());
  in = InMemory(Chunk(""));
  EXPECT_TRUE(ReadEntryData(in, CompressionType::Compressed, 0, &out).ok());
  in = InMemory(content);
  ASSERT_TRUE(ReadEntryData(in, CompressionType::Uncompressed, 40000, &out).ok());
  EXPECT_EQ(std::string(out.begin(), out.end()), content);
  EXPECT_FALSE(ReadEntryData(in, CompressionType::Uncompressed, 4, &out).ok());
}

}  // namespace
}  // namespace tarnix

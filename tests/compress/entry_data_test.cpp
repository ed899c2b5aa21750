#include "compress/entry_data.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>

#include "pack/checksum.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::Chunk;
using test::RandomBytes;

uint32_t Sum(const std::string& s) { return Checksum32(s.data(), s.size()); }

BinaryStream Memory(const std::string& bytes) {
  BinaryStream s;
  s.openMemory();
  s.write(bytes.data(), static_cast<int64_t>(bytes.size()));
  s.seek(0);
  return s;
}

// The stored form the writer makes of `content` in a compressed pack, by the tests' builder.
std::string Stored(const std::string& content) {
  const test::MadePack pack = test::MakePack({{"r/x", content}}, true);
  return pack.bytes.substr(pack.data[0]);
}

// Bytes of about 7.9 bits each: dense, but not so dense that a Huffman code saves nothing.
std::string Skewed(size_t size, uint32_t seed) {
  std::string out = RandomBytes(size, seed);
  for (size_t i = 0; i < size; i += 4) out[i] &= 0x3F;
  return out;
}

struct Written {
  Status status;
  std::string bytes;
  std::vector<StoredEntryData> entries;
};

// Stores `contents` (with `copies`, where given) into memory.
Written Store(const std::vector<std::string>& contents, CompressionType type, EntryDataOptions options = {},
              const std::vector<StoredCopy>& copies = {}) {
  test::TempDir dir;
  std::vector<EntrySource> sources;
  for (size_t i = 0; i < contents.size(); ++i) {
    test::WriteFile(dir / std::to_string(i), contents[i]);
    sources.push_back({"r/f" + std::to_string(i), dir / std::to_string(i), static_cast<uint32_t>(contents[i].size()),
                       i < copies.size() ? copies[i] : StoredCopy{}});
  }
  BinaryStream out;
  out.openMemory();
  Written w;
  w.status = WriteEntryData(sources, type, out, options, nullptr, &w.entries);
  w.bytes.assign(out.buffer().begin(), out.buffer().end());
  return w;
}

TEST(WriteEntryData, ChunksAreFullButTheLast) {
  for (size_t size : {0, 1, 32767, 32768, 32769, 100000}) {
    const std::string content = RandomBytes(size, static_cast<uint32_t>(size));
    Written w = Store({content}, CompressionType::Compressed);
    EXPECT_EQ(w.bytes, Stored(content)) << size;
    EXPECT_EQ(w.entries[0].storedSize, w.bytes.size());
    EXPECT_EQ(w.entries[0].checksum, Sum(content));
  }
  Written plain = Store({"abc", "", "hello"}, CompressionType::Uncompressed);
  EXPECT_EQ(plain.bytes, "abchello");
  EXPECT_EQ(plain.entries[1].checksum, 0xFFFFFFFFu);
  EXPECT_EQ(plain.entries[2].storedSize, 5u);
}

TEST(ChunkCodec, DenseChunksSkipTheMatchSearchAndStillReadBack) {
  std::string text, repeating;
  while (text.size() < 32768) text += "a line of text that repeats, as text does " + std::to_string(text.size());
  while (repeating.size() < 32768) repeating += RandomBytes(1024, 4);
  const std::pair<std::string, ChunkCoding> cases[] = {
      {RandomBytes(32768, 1), ChunkCoding::Stored}, {Skewed(32768, 2), ChunkCoding::Literals},
      {text.substr(0, 32768), ChunkCoding::Level6}, {repeating, ChunkCoding::Level6},
      {RandomBytes(1000, 3), ChunkCoding::Level6},  // too small to be worth it
  };
  for (const auto& [chunk, coding] : cases) {
    uint32_t histogram[256];
    EXPECT_EQ(ChooseCoding(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), histogram), coding);
    const std::string framed = Chunk(chunk);
    std::string back(chunk.size(), '\0');
    uLongf n = back.size();  // the standard inflate reads every coding
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(&back[0]), &n, reinterpret_cast<const Bytef*>(&framed[4]),
                         framed.size() - 4), Z_OK);
    EXPECT_EQ(back, chunk);
    BinaryStream in = Memory(framed);
    std::vector<uint8_t> decoded;
    ASSERT_TRUE(ReadEntryData(in, CompressionType::Compressed, static_cast<uint32_t>(chunk.size()), &decoded).ok());
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), chunk);
  }
}

TEST(WriteEntryData, TheSameBytesWhateverTheThreadCount) {
  std::vector<std::string> contents;
  for (int i = 0; i < 40; ++i) contents.push_back(RandomBytes(i * 3001, i) + std::string(i * 500, 'x') + Skewed(i * 1000, i));
  const Written base = Store(contents, CompressionType::Compressed);
  for (unsigned threads : {1u, 2u, 8u}) {
    EntryDataOptions options;
    options.threads = threads;
    options.chunksInFlight = threads;  // the smallest window exercises the ordering most
    options.verify = true;
    EXPECT_EQ(Store(contents, CompressionType::Compressed, options).bytes, base.bytes) << threads;
  }
}

TEST(WriteEntryData, VerifyCatchesChunksThatDoNotReadBack) {
  const std::string second = RandomBytes(70000, 5);  // stored as it is: its bytes lie in the open
  std::string changed = second;
  changed[32768 + 100] ^= 1;
  // A sound stream of other bytes, and one whose Adler-32 no longer matches.
  for (bool fixAdler : {true, false}) {
    EntryDataOptions options;
    options.verify = true;
    options.chunkHook = [fixAdler](size_t entry, size_t chunk, uint8_t* framed, size_t size) {
      if (entry != 1 || chunk != 1) return;
      framed[4 + 2 + 5 + 100] ^= 1;  // past the zlib header and the stored block's header
      uLong adler = adler32(1, framed + 11, static_cast<uInt>(size - 15));
      for (int i = 0; fixAdler && i < 4; ++i) framed[size - 1 - i] = static_cast<uint8_t>(adler >> (8 * i));
    };
    Written w = Store({"first", second, "third"}, CompressionType::Compressed, options);
    const std::string line = "Failed to verify r/f1 (data: " + std::to_string(Sum(second)) + ", saved: ";
    EXPECT_EQ(w.status.message().substr(0, line.size()), line);
    if (fixAdler) {
      EXPECT_EQ(w.status.message(), line + std::to_string(Sum(changed)) + ")");
    }
    options.verify = false;  // without the check the damage goes unnoticed
    EXPECT_TRUE(Store({"first", second, "third"}, CompressionType::Compressed, options).status.ok());
  }
}

TEST(WriteEntryData, FailsOnASourceThatChangedOrVanishedAndAtTheLimit) {
  test::TempDir dir;
  test::WriteFile(dir / "a", "12345");
  BinaryStream out;
  out.openMemory();
  std::vector<StoredEntryData> stored;
  const std::pair<EntrySource, std::string> cases[] = {
      {{"r/a", dir / "a", 3, {}}, " changed while it was being packed: listed with 3 bytes, now 5 bytes"},
      {{"r/a", dir / "a", 9, {}}, " changed while it was being packed: listed with 9 bytes, now 5 bytes"},
      {{"r/b", dir / "b", 0, {}}, ": No such file or directory"}};
  for (const auto& [source, text] : cases) {
    EXPECT_EQ(WriteEntryData({source}, CompressionType::Compressed, out, {}, nullptr, &stored).message(),
              (text[0] == ':' ? "Failed to open " : "") + source.path + text);
  }
  EntryDataOptions options;
  options.outputLimit = 7;
  options.outputName = "out.pak";
  EXPECT_EQ(Store({"abc", "defgh"}, CompressionType::Uncompressed, options).status.message(),
            "Failed to write out.pak: the pack would reach 2 GiB, the largest the format can hold");
}

TEST(WriteEntryData, CopiesWhatReadsBackAndStoresTheRestAfresh) {
  const std::string a = RandomBytes(70000, 1), c = RandomBytes(40000, 3);
  std::string changed = a, broken = Stored(a);
  changed[40000] ^= 1;  // in its second chunk of three
  broken[10] ^= 1;
  auto copyOf = [](BinaryStream* pack, const std::string& stored, bool whole, uint32_t sum) {
    return StoredCopy{pack, 0, static_cast<uint32_t>(stored.size()), whole, sum};
  };
  BinaryStream same = Memory(Stored(a)), damaged = Memory(broken), longer = Memory(Stored(c) + Chunk("more"));
  std::atomic<int> compressed{0};
  EntryDataOptions counting;
  counting.chunkHook = [&compressed](size_t, size_t, uint8_t*, size_t) { ++compressed; };
  // A whole copy that reads back is taken as it is.
  EXPECT_EQ(Store({a}, CompressionType::Compressed, counting, {copyOf(&same, Stored(a), true, Sum(a))}).bytes, Stored(a));
  EXPECT_EQ(compressed, 0);
  // A changed file keeps the chunks that still hold its bytes: one of three is compressed.
  EXPECT_EQ(Store({changed}, CompressionType::Compressed, counting, {copyOf(&same, Stored(a), false, 0)}).bytes,
            Stored(changed));
  EXPECT_EQ(compressed, 1);
  // Copies that do not read back are stored afresh, with later entries read ahead meanwhile.
  EntryDataOptions narrow;
  narrow.threads = narrow.chunksInFlight = 2;
  Written w = Store({a, "second", c}, CompressionType::Compressed, narrow,
                    {copyOf(&damaged, broken, true, Sum(a)), {}, copyOf(&longer, Stored(c) + Chunk("more"), true, Sum(c))});
  EXPECT_EQ(w.bytes, Stored(a) + Stored("second") + Stored(c));
  // Uncompressed: a copy that reads back is taken whole, its source ("abc") not even read.
  for (const std::string& copy : {std::string("xyz"), std::string("xyZ")}) {
    BinaryStream plain = Memory(copy);
    w = Store({"abc"}, CompressionType::Uncompressed, {}, {copyOf(&plain, copy, true, Sum("xyz"))});
    EXPECT_EQ(w.bytes, copy == "xyz" ? "xyz" : "abc");
  }
}

TEST(ReadEntryData, RefusesDamagedChunks) {
  const std::string content = RandomBytes(40000, 9), good = Stored(content);
  const uint32_t first = static_cast<uint32_t>(Chunk(content.substr(0, 32768)).size());
  std::string adler = good, tooLong = good;
  adler[first - 1] ^= 1;
  tooLong.replace(0, 4, test::Le32(36173));
  const std::pair<std::string, uint32_t> cases[] = {
      {adler, 40000}, {tooLong, 40000},
      {good.substr(0, good.size() - 10), 40000},  // the last chunk promises more than remains
      {good.substr(0, first), 40000},             // the data stops before the entry's size
      {good, 33000},                              // the second chunk would overrun the entry
      {Chunk(""), 1},                             // a chunk that decodes to nothing
  };
  std::vector<uint8_t> out;
  for (const auto& [bytes, size] : cases) {
    BinaryStream in = Memory(bytes);
    EXPECT_FALSE(ReadEntryData(in, CompressionType::Compressed, size, &out).ok()) << size;
  }
  BinaryStream in = Memory(Chunk(""));
  EXPECT_TRUE(ReadEntryData(in, CompressionType::Compressed, 0, &out).ok());
  in = Memory(content);
  ASSERT_TRUE(ReadEntryData(in, CompressionType::Uncompressed, 40000, &out).ok());
  EXPECT_EQ(std::string(out.begin(), out.end()), content);
  EXPECT_FALSE(ReadEntryData(in, CompressionType::Uncompressed, 4, &out).ok());
}

}  // namespace
}  // namespace tarnix

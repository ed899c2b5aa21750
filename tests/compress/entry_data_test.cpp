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

// The writer's stored form of `content` in a compressed pack.
std::string Stored(const std::string& content) {
  const test::MadePack pack = test::MakePack({{"r/x", content}}, true);
  return pack.bytes.substr(pack.data[0]);
}

struct Written {
  Status status;
  std::string bytes;
  std::vector<StoredEntryData> entries;
};

// Stores `contents` (with `copies`, where given) into memory.
Written Store(const std::vector<std::string>& contents, CompressionType type,
              EntryDataOptions options = {}, const std::vector<StoredCopy>& copies = {}) {
  test::TempDir dir;
  std::vector<EntrySource> sources;
  for (size_t i = 0; i < contents.size(); ++i) {
    const std::string path = dir / ("f" + std::to_string(i));
    test::WriteFile(path, contents[i]);
    sources.push_back({"r/f" + std::to_string(i), path, static_cast<uint32_t>(contents[i].size()),
                       i < copies.size() ? copies[i] : StoredCopy{}});
  }
  BinaryStream out;
  out.openMemory();
  Written w;
  w.status = WriteEntryData(sources, type, out, options, nullptr, &w.entries);
  w.bytes.assign(out.buffer().begin(), out.buffer().end());
  return w;
}

TEST(WriteEntryData, ChunksAreFullButTheLastAndReadBack) {
  for (size_t size : {0, 1, 32767, 32768, 32769, 100000}) {
    const std::string content = RandomBytes(size, static_cast<uint32_t>(size));
    Written w = Store({content}, CompressionType::Compressed);
    ASSERT_TRUE(w.status.ok()) << w.status.message();
    EXPECT_EQ(w.bytes, Stored(content)) << size;
    EXPECT_EQ(w.entries[0].storedSize, w.bytes.size());
    EXPECT_EQ(w.entries[0].checksum, Sum(content));
    BinaryStream in = Memory(w.bytes);
    std::vector<uint8_t> back;
    ASSERT_TRUE(ReadEntryData(in, CompressionType::Compressed, static_cast<uint32_t>(size), &back).ok());
    EXPECT_EQ(std::string(back.begin(), back.end()), content);
  }
  Written plain = Store({"abc", "", "hello"}, CompressionType::Uncompressed);
  EXPECT_EQ(plain.bytes, "abchello");
  EXPECT_EQ(plain.entries[1].checksum, 0xFFFFFFFFu);
  EXPECT_EQ(plain.entries[2].storedSize, 5u);
}

// Bytes of about 7.9 bits each: dense, but not so dense that a Huffman code saves nothing.
std::string Skewed(size_t size, uint32_t seed) {
  std::string random = RandomBytes(size, seed), out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(random[i] & (i % 4 == 0 ? 0x3F : 0xFF));
  return out;
}

TEST(ChunkCodec, DenseChunksSkipTheMatchSearchAndStillReadBack) {
  std::string text;
  while (text.size() < 32768) text += "a line of text that repeats, as text does " + std::to_string(text.size());
  const std::string kilo = RandomBytes(1024, 4);
  std::string repeating;
  while (repeating.size() < 32768) repeating += kilo;
  const std::pair<std::string, ChunkCoding> cases[] = {
      {RandomBytes(32768, 1), ChunkCoding::Stored},     {Skewed(32768, 2), ChunkCoding::Literals},
      {text.substr(0, 32768), ChunkCoding::Level6},     {repeating, ChunkCoding::Level6},
      {RandomBytes(1000, 3), ChunkCoding::Level6},  // too small to be worth it
  };
  for (const auto& [chunk, coding] : cases) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(chunk.data());
    uint32_t histogram[256];
    EXPECT_EQ(ChooseCoding(bytes, chunk.size(), histogram), coding) << chunk.size();
    const std::string framed = Chunk(chunk);
    std::string back(chunk.size(), '\0');
    uLongf n = back.size();
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(&back[0]), &n,
                         reinterpret_cast<const Bytef*>(framed.data() + 4), framed.size() - 4), Z_OK);
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
    Written w = Store(contents, CompressionType::Compressed, options);
    ASSERT_TRUE(w.status.ok());
    EXPECT_EQ(w.bytes, base.bytes) << threads;
  }
}

TEST(WriteEntryData, VerifyCatchesChunksThatDoNotReadBack) {
  const std::string second = RandomBytes(70000, 5);  // stored blocks: its bytes lie in the open
  std::string changed = second;
  changed[32768 + 100] ^= 1;
  // A sound stream of other bytes, and one whose Adler-32 no longer matches.
  for (bool fixAdler : {true, false}) {
    EntryDataOptions options;
    options.verify = true;
    options.chunkHook = [fixAdler](size_t entry, size_t chunk, uint8_t* framed, size_t size) {
      if (entry != 1 || chunk != 1) return;
      framed[4 + 2 + 5 + 100] ^= 1;  // past the zlib header and the stored block's header
      if (!fixAdler) return;
      uLong adler = adler32(1, framed + 11, static_cast<uInt>(size - 15));
      for (int i = 0; i < 4; ++i) framed[size - 1 - i] = static_cast<uint8_t>(adler >> (8 * i));
    };
    Written w = Store({"first", second, "third"}, CompressionType::Compressed, options);
    std::string line = "Failed to verify r/f1 (data: " + std::to_string(Sum(second)) + ", saved: ";
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
      {{"r/b", dir / "b", 0, {}}, ": No such file or directory"},
  };
  for (const auto& [source, text] : cases) {
    Status s = WriteEntryData({source}, CompressionType::Compressed, out, {}, nullptr, &stored);
    EXPECT_NE(s.message().find(source.path + text), std::string::npos) << s.message();
  }
  EntryDataOptions options;
  options.outputLimit = 7;
  options.outputName = "out.pak";
  EXPECT_EQ(Store({"abc", "defgh"}, CompressionType::Uncompressed, options).status.message(),
            "Failed to write out.pak: the pack would reach 2 GiB, the largest the format can hold");
}

TEST(WriteEntryData, CopiesWhatReadsBackAndStoresTheRestAfresh) {
  const std::string a = RandomBytes(70000, 1), b = "second", c = RandomBytes(40000, 3);
  std::string changed = a;
  changed[40000] ^= 1;  // in its second chunk of three
  auto copyOf = [](BinaryStream* pack, const std::string& stored, bool whole, uint32_t sum) {
    return StoredCopy{pack, 0, static_cast<uint32_t>(stored.size()), whole, sum};
  };
  BinaryStream same = Memory(Stored(a));
  std::string broken = Stored(a);
  broken[10] ^= 1;
  BinaryStream damaged = Memory(broken);
  BinaryStream longer = Memory(Stored(c) + Chunk("more"));
  // A whole copy that reads back is taken as it is; a damaged one is made afresh.
  std::atomic<int> compressed{0};
  EntryDataOptions counting;
  counting.chunkHook = [&compressed](size_t, size_t, uint8_t*, size_t) { ++compressed; };
  Written w = Store({a}, CompressionType::Compressed, counting, {copyOf(&same, Stored(a), true, Sum(a))});
  EXPECT_EQ(w.bytes, Stored(a));
  EXPECT_EQ(compressed, 0);
  // A changed file keeps the chunks that still hold its bytes: one of three is compressed.
  w = Store({changed}, CompressionType::Compressed, counting, {copyOf(&same, Stored(a), false, 0)});
  EXPECT_EQ(w.bytes, Stored(changed));
  EXPECT_EQ(compressed, 1);
  EntryDataOptions narrow;
  narrow.threads = 2;
  narrow.chunksInFlight = 2;
  w = Store({a, b, c}, CompressionType::Compressed, narrow,
            {copyOf(&damaged, broken, true, Sum(a)), {}, copyOf(&longer, Stored(c) + Chunk("more"), true, Sum(c))});
  ASSERT_TRUE(w.status.ok()) << w.status.message();
  EXPECT_EQ(w.bytes, Stored(a) + Stored(b) + Stored(c));
  BinaryStream plain = Memory("abX");
  w = Store({"abc"}, CompressionType::Uncompressed, {}, {copyOf(&plain, "abX", true, Sum("abc"))});
  EXPECT_EQ(w.bytes, "abc");
}

TEST(ReadEntryData, RefusesDamagedChunks) {
  const std::string content = RandomBytes(40000, 9);
  const std::string good = Stored(content);
  const uint32_t first = static_cast<uint32_t>(Chunk(content.substr(0, 32768)).size());
  auto with = [&good](size_t at, const std::string& bytes) {
    std::string s = good;
    s.replace(at, bytes.size(), bytes);
    return s;
  };
  const std::pair<std::string, uint32_t> cases[] = {
      {with(first - 1, std::string(1, static_cast<char>(good[first - 1] ^ 1))), 40000},  // Adler-32
      {with(0, test::Le32(36173)), 40000},
      {good.substr(0, good.size() - 10), 40000},  // the last chunk promises more than remains
      {good.substr(0, first), 40000},             // the data stops before the entry's size
      {good, 33000},                              // the second chunk would overrun the entry
      {Chunk(""), 1},                             // a chunk that decodes to nothing
  };
  for (const auto& [bytes, size] : cases) {
    BinaryStream in = Memory(bytes);
    std::vector<uint8_t> out;
    EXPECT_FALSE(ReadEntryData(in, CompressionType::Compressed, size, &out).ok()) << size;
  }
  BinaryStream in = Memory(Chunk(""));
  std::vector<uint8_t> out;
  EXPECT_TRUE(ReadEntryData(in, CompressionType::Compressed, 0, &out).ok());
  in = Memory("abc");
  EXPECT_FALSE(ReadEntryData(in, CompressionType::Uncompressed, 4, &out).ok());
}

}  // namespace
}  // namespace tarnix

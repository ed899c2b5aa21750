#include "compress/entry_data.h"
#include "compress/entry_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "format/format.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::Chunk;
using test::InMemory;
using test::RandomBytes;

uint32_t Sum(const std::string& s) { return Checksum32(s.data(), s.size()); }

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

struct Written { Status status; std::string bytes; std::vector<StoredEntryData> entries; };

// Stores `contents` (with `copies`, where given) into memory.
Written Store(const std::vector<std::string>& contents, CompressionType type, EntryDataOptions options = {},
              const std::vector<StoredCopy>& copies = {}) {
  test::TempDir dir;
  std::vector<EntryToWrite> sources;
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

TEST(WriteEntryData, ChunksAreFullButTheLastWhateverTheThreadCount) {
  std::vector<std::string> contents;
  for (uint32_t i = 0; i < 16; ++i) contents.push_back(RandomBytes(i * 6001, i) + std::string(i * 900, 'x') + Skewed(i * 2000, i));
  for (size_t size : {0, 1, 32767, 32768, 32769}) contents.push_back(RandomBytes(size, static_cast<uint32_t>(size)));
  const std::vector<std::string> expected = test::Pieces(contents);
  std::string first;
  for (unsigned threads : {0u, 1u, 2u, 8u}) {
    EntryDataOptions options;
    options.threads = threads;
    options.chunksInFlight = threads == 1 ? 2 : threads;  // small windows exercise the ordering most
    options.verify = threads != 0;
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> elsewhere{false};  // one thread is the caller's alone; more work beside it
    options.chunkHook = [&](size_t, size_t, uint8_t*, size_t) { if (std::this_thread::get_id() != caller) elsewhere = true; };
    Written w = Store(contents, CompressionType::Compressed, options);
    EXPECT_TRUE(threads == 0 || elsewhere == (threads > 1)) << threads;
    if (first.empty()) first = w.bytes;
    EXPECT_EQ(w.bytes, first) << threads;  // the same bytes whatever the thread count
    EXPECT_EQ(test::Unframe(w.bytes), expected) << threads;
    size_t stored = 0;
    for (const StoredEntryData& entry : w.entries) stored += entry.storedSize;
    EXPECT_EQ(stored, w.bytes.size());
    EXPECT_EQ(w.entries[18].checksum, Sum(contents[18]));
  }
}

TEST(ChunkCodec, DenseChunksSkipTheMatchSearchAndStillReadBack) {
  std::string text, repeating;
  while (text.size() < 32768) text += "a line of text that repeats, as text does " + std::to_string(text.size());
  while (repeating.size() < 32768) repeating += RandomBytes(1024, 4);
  std::string gapped = Skewed(32768, 2);  // byte values that never appear: runs of 3 and 11 zero lengths
  for (char& c : gapped) c = static_cast<uint8_t>(c) - 200u < 3 || static_cast<uint8_t>(c) - 210u < 11 ? c - 100 : c;
  // The coding, and for the codings of our own, the checksum of the framed bytes (level 6's
  // depend on the library's version).
  const std::tuple<const char*, std::string, ChunkCoding, uint32_t> cases[] = {
      {"random", RandomBytes(32768, 1), ChunkCoding::Stored, 0xBEA3B6FE},
      {"skewed, values missing", gapped, ChunkCoding::Literals, 0x46A8A48A},
      {"text", text.substr(0, 32768), ChunkCoding::Matches, 0}, {"repeats", repeating, ChunkCoding::Matches, 0},
      {"too small to be worth it", RandomBytes(1023, 3), ChunkCoding::Matches, 0},
      {"just large enough", RandomBytes(1024, 3), ChunkCoding::Literals, 0xFBA2297},
  };
  ChunkCodec codec;
  for (const auto& [name, chunk, coding, golden] : cases) {
    SCOPED_TRACE(name);
    ByteCounts histogram;
    EXPECT_EQ(ChooseCoding(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(), &histogram), coding);
    // That zlib's inflate reads every coding back is the chunk fuzzer's to show.
    std::string framed(FramedChunkCapacity, '\0');
    framed.resize(codec.encode(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size(),
                               reinterpret_cast<uint8_t*>(&framed[0])));
    EXPECT_EQ(coding == ChunkCoding::Matches ? golden : Sum(framed), golden);
  }
  // Counts 1, 2, 3, 5, ...: 15 values take a 15-bit code, still ours (78 01); 16 go to level 6.
  for (int values : {0, 15, 16}) {  // and no byte at all: the end of the block alone
    std::string deep, framed(FramedChunkCapacity, '\0');
    for (int v = 0, a = 1, b = 2; v < values; ++v, b += a, a = b - a) deep += std::string(a, static_cast<char>(v));
    framed.resize(codec.encode(reinterpret_cast<const uint8_t*>(deep.data()), deep.size(),
                               reinterpret_cast<uint8_t*>(&framed[0]), ChunkCoding::Literals));
    EXPECT_EQ(framed.substr(4, 2) + test::Unframe(framed).value_or(std::vector<std::string>{""})[0],
              (values == 16 ? "\x78\x9C" : "\x78\x01") + deep);
  }
}

TEST(WriteEntryData, FailsOnASourceThatChangedOrVanishedAndAtTheLimit) {
  test::TempDir dir;
  test::WriteFile(dir / "a", "12345");
  BinaryStream out;
  out.openMemory();
  std::vector<StoredEntryData> stored;
  const std::pair<EntryToWrite, std::string> cases[] = {
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
  options.outputLimit = 8;  // exactly the limit is allowed
  EXPECT_TRUE(Store({"abc", "defgh"}, CompressionType::Uncompressed, options).status.ok());
}

TEST(WriteEntryData, CopiesWhatReadsBackAndStoresTheRestAfresh) {
  const std::string a = RandomBytes(70000, 1), c = RandomBytes(40000, 3);
  std::string changed = a, broken = Stored(a);
  changed[40000] ^= 1;  // in its second chunk of three
  broken[10] ^= 1;
  auto copyOf = [](BinaryStream* pack, const std::string& stored, size_t size, bool whole, uint32_t sum, uint32_t at = 0) {
    return StoredCopy{whole ? Reuse::Whole : Reuse::Chunks, pack, at, static_cast<uint32_t>(stored.size()),
                      static_cast<uint32_t>(size), sum, std::nullopt};
  };
  BinaryStream same = InMemory(Stored(a)), damaged = InMemory(broken), longer = InMemory(Stored(c) + Chunk("more"));
  std::atomic<int> compressed{0};
  EntryDataOptions counting;
  counting.chunkHook = [&compressed](size_t, size_t, uint8_t*, size_t) { ++compressed; };
  // A whole copy that reads back is taken as it is.
  EXPECT_EQ(Store({a}, CompressionType::Compressed, counting, {copyOf(&same, Stored(a), a.size(), true, Sum(a))}).bytes, Stored(a));
  EXPECT_EQ(compressed, 0);
  // A changed file keeps the chunks that still hold its bytes: one of three is compressed.
  std::string kept = Store({changed}, CompressionType::Compressed, counting, {copyOf(&same, Stored(a), a.size(), false, 0)}).bytes;
  EXPECT_EQ(test::Unframe(kept), test::Pieces({changed}));
  const std::string first = Chunk(a.substr(0, 32768)), last = Chunk(a.substr(65536));
  EXPECT_EQ(kept.substr(0, first.size()) + kept.substr(kept.size() - last.size()), first + last);
  EXPECT_EQ(compressed, 1);
  // Copies that do not read back are stored afresh, with later entries read ahead meanwhile.
  EntryDataOptions narrow;
  narrow.threads = narrow.chunksInFlight = 2;
  Written w = Store({a, "second", c}, CompressionType::Compressed, narrow,
                    {copyOf(&damaged, broken, a.size(), true, Sum(a)), {},
                     copyOf(&longer, Stored(c) + Chunk("more"), c.size(), true, Sum(c))});
  EXPECT_EQ(test::Unframe(w.bytes), test::Pieces({a, "second", c}));
  // Uncompressed: a copy that reads back is taken whole, its source ("abc") not even read.
  for (const std::string& copy : {std::string("xyz"), std::string("xyZ")}) {
    BinaryStream plain = InMemory(copy);
    w = Store({"abc"}, CompressionType::Uncompressed, {}, {copyOf(&plain, copy, 3, true, Sum("xyz"))});
    EXPECT_EQ(w.bytes, copy == "xyz" ? "xyz" : "abc");
  }
  // The replaced pack's cache goes behind its copies, in aligned runs of 2 MiB from where a run of
  // copies began: the first two copies let 2 MiB go; the last, after a gap, too little of its own.
  const uint32_t M = 1 << 20, half = 3 * M / 2;
  const std::string r = RandomBytes(5 * M, 2);
  BinaryStream replaced = InMemory(r);
  auto part = [&](uint32_t at) { return copyOf(&replaced, r.substr(at, half), half, true, Sum(r.substr(at, half)), at); };
  std::vector<std::pair<int64_t, int64_t>> released;
  narrow.releaseHook = [&released](int64_t offset, int64_t length) { released.push_back({offset, length}); };
  w = Store({r.substr(0, half), r.substr(half, half), "new", r.substr(7 * M / 2)}, CompressionType::Uncompressed, narrow,
            {part(0), part(half), {}, part(7 * M / 2)});
  EXPECT_EQ(w.bytes, r.substr(0, 3 * M) + "new" + r.substr(7 * M / 2));
  EXPECT_EQ(released, (std::vector<std::pair<int64_t, int64_t>>{{0, 2 * M}}));
}

// Length fields are read a page at a time where they lie close together, 4 bytes where far apart.
TEST(EntryReader, ReadsPagesOfLengthsOnlyWhereTheyLieClose) {
  const int64_t frame = static_cast<int64_t>(Chunk("ab").size());
  std::string tiny;
  for (int i = 0; i < 300; ++i) tiny += Chunk("ab");
  BinaryStream small = InMemory(tiny);
  EntryReader reader;
  EntryToRead entry;
  entry.size = 2;
  // The first alone, a page from the second that holds the 150th, the last alone (far from the
  // 150th) and then from what was read, and the first alone again.
  for (int i : {0, 1, 150, 299, 299, 0}) {
    entry.offset = i * frame;
    EXPECT_TRUE(reader.read(small, entry, ReadMode::Layout).ok() && reader.end() == entry.offset + frame) << i;
  }
  EXPECT_EQ(reader.fieldBytesRead(), 4 + 4096 + 4 + 4);
  entry.room = 4;  // more room than the stream holds: its last 2 bytes are no length
  entry.offset = static_cast<int64_t>(tiny.size()) - 2;
  EXPECT_EQ(reader.read(small, entry, ReadMode::Layout).message(), "chunk 0: its length runs past the end of the data");
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

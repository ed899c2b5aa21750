// The entry pipeline: what it writes, whatever the threads, and what it copies.
#include "compress/entry_pipeline.h"

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
using test::Skewed;
using test::Stored;

uint32_t Sum(const std::string& s) { return Checksum32(s.data(), s.size()); }

struct Written {
  Status status;
  std::string bytes;
  std::vector<StoredEntryData> entries;
};

// Stores `contents` (with `copies`, where given) into memory.
Written Store(const std::vector<std::string>& contents, CompressionType type,
              EntryDataOptions options = {}, const std::vector<StoredCopy>& copies = {}) {
  test::TempDir dir;
  std::vector<EntryToWrite> sources;
  for (size_t i = 0; i < contents.size(); ++i) {
    test::WriteFile(dir / std::to_string(i), contents[i]);
    sources.push_back({"r/f" + std::to_string(i), dir / std::to_string(i),
                       static_cast<uint32_t>(contents[i].size()),
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
  for (uint32_t i = 0; i < 16; ++i)
    contents.push_back(RandomBytes(i * 6001, i) + std::string(i * 900, 'x') + Skewed(i * 2000, i));
  for (size_t size : {0, 1, 32767, 32768, 32769})
    contents.push_back(RandomBytes(size, static_cast<uint32_t>(size)));
  const std::vector<std::string> expected = test::Pieces(contents);
  std::string first;
  for (unsigned threads : {0u, 1u, 2u, 8u}) {
    EntryDataOptions options;
    options.threads = threads;
    options.chunksInFlight =
        threads == 1 ? 2 : threads;  // small windows exercise the ordering most
    options.verify = threads != 0;
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> elsewhere{false};  // one thread is the caller's alone; more work beside it
    test::Watch watch;
    watch.chunk = [&](size_t, size_t, uint8_t*, size_t) {
      if (std::this_thread::get_id() != caller) elsewhere = true;
    };
    options.observer = &watch;
    Written w = Store(contents, CompressionType::Compressed, options);
    if (threads != 0) {
      EXPECT_EQ(elsewhere, threads > 1) << threads;
    }
    if (first.empty()) first = w.bytes;
    EXPECT_EQ(w.bytes, first) << threads;  // the same bytes whatever the thread count
    EXPECT_EQ(test::Unframe(w.bytes), expected) << threads;
    size_t stored = 0;
    for (const StoredEntryData& entry : w.entries) stored += entry.storedSize;
    EXPECT_EQ(stored, w.bytes.size());
    EXPECT_EQ(w.entries[18].checksum, Sum(contents[18]));
  }
}

TEST(WriteEntryData, FailsOnASourceThatChangedOrVanishedAndAtTheLimit) {
  test::TempDir dir;
  test::WriteFile(dir / "a", "12345");
  BinaryStream out;
  out.openMemory();
  std::vector<StoredEntryData> stored;
  const std::pair<EntryToWrite, std::string> cases[] = {
      {{"r/a", dir / "a", 9, {}},
       " changed while it was being packed: listed with 9 bytes, now 5 bytes"},
      {{"r/b", dir / "b", 0, {}}, ": No such file or directory"}};
  for (const auto& [source, text] : cases) {
    EXPECT_EQ(
        WriteEntryData({source}, CompressionType::Compressed, out, {}, nullptr, &stored).message(),
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
  auto copyOf = [](BinaryStream* pack, const std::string& stored, size_t size, bool whole,
                   uint32_t sum, uint32_t at = 0) {
    return StoredCopy{whole ? Reuse::Whole : Reuse::Chunks,
                      pack,
                      at,
                      static_cast<uint32_t>(stored.size()),
                      static_cast<uint32_t>(size),
                      sum,
                      std::nullopt};
  };
  BinaryStream same = InMemory(Stored(a)), damaged = InMemory(broken),
               longer = InMemory(Stored(c) + Chunk("more"));
  test::ChunkCounter counter;
  const EntryDataOptions counting = counter.options();
  // A whole copy that reads back is taken as it is.
  EXPECT_EQ(Store({a}, CompressionType::Compressed, counting,
                  {copyOf(&same, Stored(a), a.size(), true, Sum(a))})
                .bytes,
            Stored(a));
  EXPECT_EQ(counter.compressed, 0);
  // A changed file keeps the chunks that still hold its bytes: one of three is compressed.
  std::string kept = Store({changed}, CompressionType::Compressed, counting,
                           {copyOf(&same, Stored(a), a.size(), false, 0)})
                         .bytes;
  EXPECT_EQ(test::Unframe(kept), test::Pieces({changed}));
  const std::string first = Chunk(a.substr(0, 32768)), last = Chunk(a.substr(65536));
  EXPECT_EQ(kept.substr(0, first.size()), first);
  EXPECT_EQ(kept.substr(kept.size() - last.size()), last);
  EXPECT_EQ(counter.compressed, 1);
  // Copies that do not read back are stored afresh, with later entries read ahead meanwhile.
  EntryDataOptions narrow;
  narrow.threads = narrow.chunksInFlight = 2;
  Written w = Store({a, "second", c}, CompressionType::Compressed, narrow,
                    {copyOf(&damaged, broken, a.size(), true, Sum(a)),
                     {},
                     copyOf(&longer, Stored(c) + Chunk("more"), c.size(), true, Sum(c))});
  EXPECT_EQ(test::Unframe(w.bytes), test::Pieces({a, "second", c}));
  // Uncompressed: a copy that reads back is taken whole, its source ("abc") not even read.
  for (const std::string& copy : {std::string("xyz"), std::string("xyZ")}) {
    BinaryStream plain = InMemory(copy);
    w = Store({"abc"}, CompressionType::Uncompressed, {},
              {copyOf(&plain, copy, 3, true, Sum("xyz"))});
    EXPECT_EQ(w.bytes, copy == "xyz" ? "xyz" : "abc");
  }
  // The replaced pack's cache goes behind its copies, in aligned runs of 2 MiB from where a run of
  // copies began: the first two copies let 2 MiB go; the last, after a gap, too little of its own.
  const uint32_t M = 1 << 20, half = 3 * M / 2;
  const std::string r = RandomBytes(5 * M, 2);
  BinaryStream replaced = InMemory(r);
  auto part = [&](uint32_t at) {
    return copyOf(&replaced, r.substr(at, half), half, true, Sum(r.substr(at, half)), at);
  };
  std::vector<std::pair<int64_t, int64_t>> released;
  test::Watch narrowWatch;
  narrowWatch.released = [&released](int64_t offset, int64_t length) {
    released.push_back({offset, length});
  };
  narrow.observer = &narrowWatch;
  w = Store({r.substr(0, half), r.substr(half, half), "new", r.substr(7 * M / 2)},
            CompressionType::Uncompressed, narrow, {part(0), part(half), {}, part(7 * M / 2)});
  EXPECT_EQ(w.bytes, r.substr(0, 3 * M) + "new" + r.substr(7 * M / 2));
  EXPECT_EQ(released, (std::vector<std::pair<int64_t, int64_t>>{{0, 2 * M}}));
}

}  // namespace
}  // namespace tarnix

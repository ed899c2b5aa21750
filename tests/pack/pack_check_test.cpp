// Damage one field of a sound pack, and the checks name that entry and that fault.
#include "pack/pack_check.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "compress/entry_pipeline.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::Chunk;
using test::MakePack;

std::vector<PackProblem> Check(const std::string& bytes, bool layoutOnly) {
  PackContents pack;
  pack.stream = test::InMemory(bytes);
  std::vector<PackProblem> found;
  auto sink = [&found](const PackProblem& p) { found.push_back(p); };
  size_t count = 0;
  if (layoutOnly) {
    EXPECT_TRUE(pack.read());
    count = CheckLayout(pack, sink);
  } else {
    count = FindPackProblems(pack, sink);
  }
  EXPECT_EQ(count, found.size());
  return found;
}

void Put32(std::string* bytes, size_t at, uint32_t value) {
  bytes->replace(at, 4, test::Le32(value));
}

TEST(PackCheck, NamesTheEntryAndTheFault) {
  const std::string a = test::RandomBytes(40000, 5);
  const test::MadePack good = MakePack({{"r/a", a}, {"r/b", "tail text"}}, true);
  const size_t offsetA = good.records[0] + 5, sizeA = offsetA + 4, sumA = sizeA + 4,
               offsetB = good.records[1] + 5;
  const uint32_t lengthA = static_cast<uint32_t>(Chunk(a.substr(0, 32768)).size() - 4);
  auto with = [&good](size_t at, size_t value) {  // one 32-bit field changed
    std::string bytes = good.bytes;
    Put32(&bytes, at, static_cast<uint32_t>(value));
    return bytes;
  };
  auto stored = [](const std::string& content, const std::string& form) {
    return MakePack({{"r/x", content, form}}, true).bytes;
  };
  std::string trailing = Chunk("abc");
  Put32(&trailing, 0, static_cast<uint32_t>(trailing.size() + 3 - 4));
  trailing += "xyz";
  const std::string full(32768, 'f'), last = test::RandomBytes(32766, 6);
  // The longest chunk there may be: 679 empty stored blocks, then one that holds `last`.
  std::string longest = "\x78\x01";
  for (int i = 0; i < 679; ++i) longest += std::string("\0\0\0\xFF\xFF", 5);
  const uint32_t adler =
      static_cast<uint32_t>(adler32(1, reinterpret_cast<const Bytef*>(last.data()), 32766));
  longest += "\x01\xFE\x7F\x01\x80" + last +
             std::string{static_cast<char>(adler >> 24), static_cast<char>(adler >> 16),
                         static_cast<char>(adler >> 8), static_cast<char>(adler)};
  const std::string emptyFrame = std::to_string(Chunk("").size()),
                    tail = std::to_string(Chunk("tail text").size() - 4);
  // Every problem's line, in order, and whether the layout check alone finds it.
  const struct Case {
    const char* name;
    std::string bytes, problems;
    bool layout;
  } cases[] = {
      {"sound", good.bytes, "", false},
      {"offset off by one", with(offsetA, good.data[0] + 1),
       "entry 0 (r/a): data at offset 45, expected 44", true},
      // Two entries for one stored form: the first has no room of its own.
      {"shared data", with(offsetB, good.data[0]),
       "entry 0 (r/a): chunk 0: its length runs past the next entry's data\nentry 1 (r/b): chunk "
       "0: decodes to 32768 bytes, but should hold 9",
       true},
      {"a byte after", good.bytes + "x",
       "entry 1 (r/b): 1 byte after its last chunk, before the end of the file", true},
      {"cut short", good.bytes.substr(0, good.bytes.size() - 1),
       "entry 1 (r/b): chunk 0: length " + tail + " runs past the end of the file", true},
      {"too long a chunk", with(good.data[0], 36173),
       "entry 0 (r/a): chunk 0: length 36173 exceeds 36172", true},
      {"size too large", with(sizeA, 70000),
       "entry 0 (r/a): chunk 1: decodes to 7232 bytes, but should hold 32768", true},
      {"empty frame", with(good.data[0], 0),
       "entry 0 (r/a): chunk 0: length 0 is shorter than any zlib stream", true},
      {"Adler-32", with(good.data[0] + lengthA, 0), "entry 0 (r/a): chunk 0: corrupt", false},
      {"checksum", with(sumA, 1), "entry 0 (r/a): checksum 4088354849, recorded 1", false},
      {"bytes after a stream", stored("abc", trailing),
       "entry 0 (r/x): chunk 0: 3 bytes after its zlib stream", false},
      {"short first chunk",
       stored(a, Chunk(a.substr(0, 1000)) + Chunk(a.substr(1000, 32768)) + Chunk(a.substr(33768))),
       "entry 0 (r/x): chunk 0: decodes to 1000 bytes, but should hold 32768", true},
      {"empty first chunk",
       stored(a, Chunk("") + Chunk(a.substr(0, 32768)) + Chunk(a.substr(32768))),
       "entry 0 (r/x): chunk 0: decodes to 0 bytes, but should hold 32768", true},
      {"an empty chunk too many", stored(full, Chunk(full) + Chunk("") + Chunk("")),
       "entry 0 (r/x): " + emptyFrame + " bytes after its last chunk, before the end of the file",
       true},
      {"no empty last chunk", stored(full, Chunk(full)),
       "entry 0 (r/x): chunk 1: its length runs past the end of the file", true},
      {"the longest chunk", stored(last, test::Le32(36172) + longest), "", false},
      {"a last length alone", stored(full, Chunk(full) + test::Le32(8)),
       "entry 0 (r/x): chunk 1: length 8 runs past the end of the file", true},
      {"a chunk too many", stored("abc", Chunk("abc") + Chunk("d")),
       "entry 0 (r/x): " + std::to_string(Chunk("d").size()) +
           " bytes after its last chunk, before the end of the file",
       true},
      {"a chunk too short", stored("abc", Chunk("ab")),
       "entry 0 (r/x): chunk 0: decodes to 2 bytes, but should hold 3", false},
      {"uncompressed, a byte after", MakePack({{"r/u", "abc"}}, false).bytes + "z",
       "entry 0 (r/u): its data takes 3 bytes, but 4 lie before the end of the file", true},
      {"no entries, bytes after", MakePack({}, true).bytes + "abc",
       "the file has 3 bytes after a table of no entries", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<PackProblem> all = Check(c.bytes, false);
    std::string texts;
    for (const PackProblem& p : all) texts += (texts.empty() ? "" : "\n") + p.text;
    EXPECT_EQ(texts, c.problems);
    EXPECT_EQ(Check(c.bytes, true).empty(), !c.layout);
    // A pack proven whole before is not walked again: its offsets give what the walk found,
    // and offsets out of order give nothing.
    PackContents walked, taken;
    walked.stream = test::InMemory(c.bytes);
    taken.stream = test::InMemory(c.bytes);
    ASSERT_TRUE(walked.read() && taken.read());
    const bool sound = CheckLayout(walked) == 0, inOrder = TakeLayoutAsProven(taken);
    EXPECT_TRUE(inOrder || !sound);
    for (size_t i = 0; sound && i < taken.entries.size(); ++i)
      EXPECT_EQ(taken.entries[i].storedSize, walked.entries[i].storedSize) << i;
    const std::string name = c.name;
    EXPECT_FALSE(inOrder && (name == "offset off by one" || name == "no entries, bytes after"));
  }
  EXPECT_EQ(Check("TRN", false)[0].text, "header or table: Magic mismatch");
}

}  // namespace
}  // namespace tarnix

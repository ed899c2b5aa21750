#include "app/inspect.h"

#include <gtest/gtest.h>

#include "pack/checksum.h"
#include "pack/pack_contents.h"
#include "app/inspect_support.h"
#include "support/test_support.h"

namespace tarnix {
namespace {

using test::FileExists;
using test::RandomBytes;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(Inspect, UsageAndBadArguments) {
  EXPECT_EQ(Inspect({"--help"}).status, 0);
  EXPECT_NE(Inspect({"--help"}).out.find("tarnix-inspect list PACK"), std::string::npos);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"list"}, {"frob", "x"}, {"cat", "p"}, {"extract", "p"}, {"list", "a", "b"}}) {
    InspectResult r = Inspect(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.errors.find("Usage:"), std::string::npos);
  }
  InspectResult missing = Inspect({"list", "/nonexistent.pak"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.errors, "/nonexistent.pak: No such file or directory\n");
}

TEST(Inspect, ListShowsEveryEntryAndTotals) {
  TempDir dir;
  WriteFile(dir / "p.pak", HandMadePack({{"data/a.txt", "abc"}, {"data/b\\c", "hello"}}));
  InspectResult r = Inspect({"list", dir / "p.pak"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, (dir / "p.pak") + ": version 1, uncompressed, 2 entries\n"
                   "        size      stored  checksum  name\n"
                   "           3           3  359A672F  data/a.txt\n"
                   "           5           5  " + [] {
                     char h[9];
                     std::snprintf(h, sizeof h, "%08X", Checksum32("hello", 5));
                     return std::string(h);
                   }() + "  data/b\\c\n"
                   "2 entries, 8 bytes, 8 stored bytes, ratio 100.0%\n");
}

TEST(Inspect, TestPassesEveryPackTheWriterMakes) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"r/empty", ""}, {"r/one", "1"}, {"r/full", std::string(32768, 'f')},
      {"r/big", RandomBytes(100000, 2)}};
  for (CompressionType type : {CompressionType::Compressed, CompressionType::Uncompressed}) {
    WriteFile(dir / "t.pak", WritePack(dir, files, type));
    InspectResult r = Inspect({"test", dir / "t.pak"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, (dir / "t.pak") + ": OK, 4 entries\n");
  }
  WriteFile(dir / "e.pak", WritePack(dir, {}, CompressionType::Compressed));
  EXPECT_EQ(Inspect({"test", dir / "e.pak"}).status, 0);
}

TEST(Inspect, TestFailsNamingTheEntryOnDamagedBytes) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"r/a", "first entry's text, first entry's text"}, {"r/b", RandomBytes(32768, 7)},
      {"r/c", "last"}};
  // Content that means something in every byte: in a run of one repeated byte, deflate has
  // codings that differ and still decode to the same bytes.
  for (CompressionType type : {CompressionType::Compressed, CompressionType::Uncompressed}) {
    const std::string good = WritePack(dir, files, type);
    size_t tableEnd = 10;
    std::vector<std::pair<size_t, size_t>> numbers;  // where each record's numbers lie
    for (const auto& f : files) {
      tableEnd += 2 + f.first.size();
      numbers.push_back({tableEnd, tableEnd + 12});
      tableEnd += 12;
    }
    auto damaged = [&](const std::string& bytes, size_t at) {
      WriteFile(dir / "d.pak", bytes);
      InspectResult r = Inspect({"test", dir / "d.pak"});
      EXPECT_EQ(r.status, 1) << "byte " << at;
      EXPECT_NE(r.out.find("entry "), std::string::npos) << "byte " << at << ": " << r.out;
    };
    // Every byte near the ends, where the framing of small entries lies, and a sample of the
    // large entry's middle.
    for (size_t at = tableEnd; at < good.size();
         at += (at < tableEnd + 256 || at + 256 > good.size()) ? 1 : 29) {
      std::string bytes = good;
      bytes[at] ^= 0x55;
      damaged(bytes, at);
    }
    for (const auto& [from, to] : numbers) {  // offsets, sizes and checksums
      for (size_t at = from; at < to; ++at) {
        std::string bytes = good;
        bytes[at] ^= 0x01;
        damaged(bytes, at);
      }
    }
    for (size_t cut = tableEnd; cut < good.size(); cut += 61) damaged(good.substr(0, cut), cut);
    damaged(good.substr(0, good.size() - 1), good.size() - 1);
    damaged(good + "x", good.size());
  }
}

TEST(Inspect, TestReportsABrokenHeaderOrTable) {
  TempDir dir;
  const std::string good = HandMadePack({{"data/a.txt", "abc"}});
  for (size_t cut = 0; cut < 34; ++cut) {
    WriteFile(dir / "d.pak", good.substr(0, cut));
    InspectResult r = Inspect({"test", dir / "d.pak"});
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_NE(r.out.find("header or table: "), std::string::npos) << r.out;
  }
  std::string huge = good;
  huge[6] = huge[7] = huge[8] = huge[9] = '\xFF';
  WriteFile(dir / "h.pak", huge);
  EXPECT_EQ(Inspect({"test", dir / "h.pak"}).out,
            (dir / "h.pak") + ": header or table: Entry count 4294967295 does not fit in the file\n" +
                (dir / "h.pak") + ": 1 problem\n");
}

TEST(Inspect, ExtractWritesEveryEntryOrTheNamedOnes) {
  TempDir dir;
  WriteFile(dir / "p.pak", HandMadePack({{"data/a.txt", "abc"}, {"data/sub\\b.bin", "bb"}, {"top", ""}}));
  InspectResult r = Inspect({"extract", dir / "p.pak", dir / "out"});
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_EQ(r.out, "Extracted 3 of 3 entries to " + (dir / "out") + "\n");
  EXPECT_EQ(ReadFile(dir / "out/data/a.txt"), "abc");
  EXPECT_EQ(ReadFile(dir / "out/data/sub/b.bin"), "bb");
  EXPECT_TRUE(FileExists(dir / "out/top"));

  r = Inspect({"extract", dir / "p.pak", dir / "two", "top", "nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors, (dir / "p.pak") + ": no entry named nope\n");
  EXPECT_TRUE(FileExists(dir / "two/top"));
  EXPECT_FALSE(FileExists(dir / "two/data"));
}

TEST(Inspect, ExtractRefusesUnsafeNames) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> unsafe = {
      {"/abs", "it is an absolute path"},
      {"\\abs", "it is an absolute path"},
      {"C:\\x", "it names a drive"},
      {"c:x", "it names a drive"},
      {"a/../../x", "it holds a \"..\" component"},
      {"a\\..", "it holds a \"..\" component"},
      {"a//x", "it holds an empty or \".\" component"},
      {"./x", "it holds an empty or \".\" component"},
      {"a/", "it holds an empty or \".\" component"},
      {std::string("a\0b", 3), "it holds a NUL byte"},
      {"", "it is empty"},
  };
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& u : unsafe) entries.push_back({u.first, "evil"});
  entries.push_back({"ok/file", "fine"});
  WriteFile(dir / "u.pak", HandMadePack(entries));
  InspectResult r = Inspect({"extract", dir / "u.pak", dir / "x/y"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ReadFile(dir / "x/y/ok/file"), "fine");
  for (const auto& [name, reason] : unsafe) {
    std::string shown = name.substr(0, name.find('\0'));
    EXPECT_NE(r.errors.find(": " + shown + ": refused: " + reason + "\n"), std::string::npos)
        << name << "\n" << r.errors;
  }
  EXPECT_FALSE(FileExists(dir / "x/abs"));
  EXPECT_FALSE(FileExists(dir / "x/x"));
  EXPECT_FALSE(FileExists(dir / "abs"));
}

TEST(Inspect, ExtractAndCatCheckTheChecksum) {
  TempDir dir;
  std::string bytes = HandMadePack({{"d/a", "abc"}, {"d/b", "xyz"}});
  bytes[bytes.size() - 1] = 'Z';  // d/b's content no longer matches its checksum
  WriteFile(dir / "p.pak", bytes);
  InspectResult r = Inspect({"extract", dir / "p.pak", dir / "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("d/b: checksum "), std::string::npos) << r.errors;
  EXPECT_FALSE(FileExists(dir / "out/d/b"));
  EXPECT_EQ(ReadFile(dir / "out/d/a"), "abc");

  InspectResult cat = Inspect({"cat", dir / "p.pak", "d/a"});
  EXPECT_EQ(cat.status, 0);
  EXPECT_EQ(cat.out, "abc");
  EXPECT_EQ(Inspect({"cat", dir / "p.pak", "d/b"}).status, 1);
  InspectResult none = Inspect({"cat", dir / "p.pak", "d/c"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.errors, (dir / "p.pak") + ": no entry named d/c\n");
}

}  // namespace
}  // namespace tarnix

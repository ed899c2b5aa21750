// The library's public face, as an engine uses it.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "support/test_support.h"
#include "tarnix/tarnix.h"

namespace tarnix {
namespace {

using test::ReadFile;
using test::TempDir;

std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// Content that compresses, and differs in every chunk.
std::string Asset(size_t size, uint32_t seed) {
  std::string text = test::RandomBytes(size, seed);
  for (size_t i = 0; i < size; ++i)
    text[i] = static_cast<char>('a' + static_cast<unsigned char>(text[i]) % 4);
  return text;
}

TEST(PublicApi, WritePackRefusesWhatAReaderWouldNot) {
  TempDir dir;
  test::WriteFile(dir / "a.txt", "abc");
  test::WriteFile(dir / "huge", "");
  std::filesystem::resize_file(dir / "huge",
                               0x7FFFFFFF);  // an entry may be this large, a pack may not
  std::filesystem::create_directory(dir / "folder.pak");
  const std::string pak = dir / "p.pak", a = dir / "a.txt";
  struct Row {
    std::vector<FileToPack> files;
    std::string target;
    ErrorCode code;
    std::string message;
  };
  const std::string none = dir / "none", folder = dir / "folder.pak";
  const ErrorCode refused = ErrorCode::Refused;
  // clang-format off
  const std::vector<Row> rows = {
      {{{"d/a", none}}, pak, ErrorCode::NotFound,
       "Failed to open " + none + ": No such file or directory"},
      {{{"h", dir / "huge"}}, pak, refused,
       "Failed to write " + pak + ": the pack would reach 2 GiB, the largest the format can hold"},
      {{{"", a}}, pak, refused, "Cannot store : it is empty"},
      {{{"/abs", a}}, pak, refused, "Cannot store /abs: it starts with \"/\""},
      // and the rest of extract's rules
      {{{std::string("d/a\0b", 5), a}}, pak, refused,
       "Cannot store d/a\\x00b: its name holds a NUL byte"},
      {{{"d/a", a}, {"d\\a", a}}, pak, refused,
       "Cannot store d\\a: the same path as entry 0 (d/a)"},
      {{{"d/a", a}}, folder, refused,
       "Refusing to replace " + folder + ": it is a directory, not a regular file"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    Error error;
    EXPECT_FALSE(WritePack(row.target, row.files, {false, false}, &error));
    EXPECT_EQ(error.message, row.message);
    EXPECT_EQ(error.code, row.code);
    std::string text;
    EXPECT_FALSE(WritePack(row.target, row.files, {false, false}, &text));
    EXPECT_EQ(text, row.message);
  }
  EXPECT_FALSE(std::filesystem::exists(pak));
}

TEST(PublicApi, FindsReadsRangesAndStreams) {
  TempDir dir;
  const std::string big = Asset(100000, 1);
  test::WriteFile(dir / "big", big);
  test::WriteFile(dir / "a.txt", "abc");
  const std::vector<FileToPack> files = {{"d/a.txt", dir / "a.txt"}, {"d/Sub\\bigz", dir / "big"}};
  for (bool compress : {true, false}) {
    std::string failure;
    ASSERT_TRUE(WritePack(dir / "p.pak", files, {compress, true}, &failure)) << failure;
    PackReader pack;
    ASSERT_TRUE(pack.open(dir / "p.pak")) << pack.error();
    EXPECT_EQ(*pack.find("d/Sub/bigz").index, 1u);
    EXPECT_FALSE(pack.find("d/sub/bigz"));
    EXPECT_EQ(*pack.find("D\\SUB\\BIGZ", NameCase::IgnoreAscii).index, 1u);
    std::vector<uint8_t> content;
    Error error;
    EXPECT_FALSE(pack.read(pack.find("d/c"), &content, &error));
    EXPECT_EQ(error.message, (dir / "p.pak") + ": no file named d/c");
    EXPECT_EQ(error.code, ErrorCode::NotFound);
    ASSERT_TRUE(pack.read(pack.find("d/Sub/bigz"), &content));
    EXPECT_EQ(Text(content), big);
    // Ranges: start, middle, across chunk boundaries, the last byte, empty; past the end fails.
    const std::pair<uint64_t, size_t> ranges[] = {
        {0, 1}, {0, 100000}, {32767, 2}, {30000, 40000}, {99999, 1}, {100000, 0}, {5, 0}};
    for (const auto& [offset, length] : ranges) {
      std::string got(length, '?');
      ASSERT_TRUE(pack.readRange(1, offset, &got[0], length, &error)) << error.message;
      EXPECT_EQ(got, big.substr(offset, length)) << offset;
    }
    for (const auto& [offset, length] :
         {std::pair<uint64_t, size_t>{99999, 2}, {100001, 0}, {~0ull, 2}}) {
      char byte = 0;
      EXPECT_FALSE(pack.readRange(1, offset, &byte, length, &error));
      EXPECT_EQ(error.code, ErrorCode::OutOfRange);
    }
    EXPECT_EQ(error.message, (dir / "p.pak") +
                                 ": entry 1 (d/Sub\\bigz): 2 bytes from offset "
                                 "18446744073709551615 run past its end (100000 bytes)");
    PackFile file;  // one past the last
    EXPECT_FALSE(pack.readRange(2, 0, nullptr, 0, &error));
    EXPECT_FALSE(pack.read(2, &content, &error));
    EXPECT_FALSE(pack.openFile(2, &file, &error));
    EXPECT_EQ(error.code, ErrorCode::NotFound);
    // A stream, in pieces that do not line up with chunks.
    EXPECT_FALSE(pack.openFile(pack.find("d/none"), &file, &error));
    EXPECT_EQ(error.code, ErrorCode::NotFound);
    ASSERT_TRUE(pack.openFile(pack.find("d/Sub/bigz"), &file));
    std::string streamed, piece(7000, '\0');
    while (size_t n = file.read(&piece[0], piece.size())) streamed.append(piece, 0, n);
    EXPECT_EQ(streamed, big);
    EXPECT_TRUE(file.seek(99998));
    EXPECT_EQ(file.read(&piece[0], 10), 2u);
    EXPECT_TRUE(file.seek(100000));  // to the end, not past it
    EXPECT_FALSE(file.seek(100001));
    EXPECT_EQ(file.tell(), 100000u);
  }
}

// A pack inside a larger file, and one in memory whose first file has a chunk that its table and
// lengths do not show to be damaged: every call that reads that chunk refuses it.
TEST(PublicApi, OpensPacksInsideFilesAndInMemoryAndRefusesDamagedChunksOnEveryPath) {
  TempDir dir;
  test::WriteFile(dir / "a.txt", "abc");
  std::string failure;
  ASSERT_TRUE(WritePack(dir / "p.pak", {{"d/a", dir / "a.txt"}}, {}, &failure)) << failure;
  test::WriteFile(dir / "game.exe", "MZ program bytes" + ReadFile(dir / "p.pak"));
  std::vector<uint8_t> content;
  PackReader embedded, inMemory;
  ASSERT_TRUE(embedded.open(dir / "game.exe", 16)) << embedded.error();
  ASSERT_TRUE(embedded.read(0, &content));
  EXPECT_EQ(Text(content), "abc");
  const uint64_t end = std::filesystem::file_size(dir / "game.exe");
  EXPECT_FALSE(embedded.open(dir / "game.exe", end));  // an empty file there, no pack
  EXPECT_EQ(embedded.errorCode(), ErrorCode::Damaged);
  EXPECT_FALSE(embedded.open(dir / "game.exe", end + 1));
  EXPECT_EQ(embedded.error(), (dir / "game.exe") + ": offset " + std::to_string(end + 1) +
                                  " lies past the end of the file");
  EXPECT_FALSE(embedded.read(0, &content));  // a failed open leaves nothing open
  // The Adler-32 of the first no longer holds, nor that of the empty last chunk of the other.
  test::MadeEntry broken{"d/x", "abc", test::Chunk("abc")},
      tail{"d/z", std::string(32768, 'z'), test::Chunk(std::string(32768, 'z')) + test::Chunk("")};
  broken.stored->back() ^= 1;
  tail.stored->back() ^= 1;
  const std::string pack = test::MakePack({broken, {"d/y", "xyz"}, tail}, true).bytes;
  EXPECT_FALSE(inMemory.openMemory(pack.data(), pack.size() - 1));
  EXPECT_EQ(inMemory.errorCode(), ErrorCode::Damaged);
  ASSERT_TRUE(inMemory.openMemory(pack.data(), pack.size())) << inMemory.error();
  ASSERT_TRUE(inMemory.read(inMemory.find("d/y"), &content));  // its neighbour reads
  EXPECT_EQ(Text(content), "xyz");
  std::string whole(32768, '\0');  // a range decodes only the chunks it covers
  EXPECT_TRUE(inMemory.readRange(2, 0, &whole[0], whole.size()));
  Error error;
  char bytes[3];
  EXPECT_FALSE(inMemory.read(0, &content, &error));
  EXPECT_EQ(error.code, ErrorCode::Damaged);
  EXPECT_FALSE(inMemory.readRange(0, 1, bytes, 1, &error));
  EXPECT_EQ(error.message, "the pack in memory: entry 0 (d/x): chunk 0: corrupt");
  PackFile file;
  ASSERT_TRUE(inMemory.openFile(0, &file));
  EXPECT_EQ(file.read(bytes, 3, &error), 0u);
  EXPECT_EQ(error.code, ErrorCode::Damaged);
}

// One reader shared by threads reading whole files, ranges and streams at once.
TEST(PublicApi, OneReaderServesManyThreads) {
  TempDir dir;
  std::vector<FileToPack> files;
  std::vector<std::string> contents;
  for (uint32_t i = 0; i < 8; ++i) {
    contents.push_back(Asset(70000 + i * 1000, i));
    test::WriteFile(dir / std::to_string(i), contents.back());
    files.push_back({"d/" + std::to_string(i), dir / std::to_string(i)});
  }
  std::string failure;
  ASSERT_TRUE(WritePack(dir / "p.pak", files, {}, &failure)) << failure;
  PackReader pack;
  ASSERT_TRUE(pack.open(dir / "p.pak")) << pack.error();
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<uint8_t> content;
      std::string range(5000, '\0');
      for (int round = 0; round < 20; ++round) {
        const size_t i = static_cast<size_t>(t + round) % contents.size();
        const FoundFile found = pack.find("d/" + std::to_string(i));
        if (!pack.read(found, &content) || Text(content) != contents[i]) ++wrong[t];
        const uint64_t at = static_cast<uint64_t>(round) * 3001;
        if (!pack.readRange(i, at, &range[0], range.size()) ||
            range != contents[i].substr(at, range.size()))
          ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace tarnix

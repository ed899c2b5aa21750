#include "pack/pack_check.h"

#include "pack/checksum.h"

namespace tarnix {

int64_t StoredEnd(const PackContents& pack, size_t index, int64_t fileSize) {
  int64_t end = index + 1 < pack.entries.size() ? pack.entries[index + 1].offset : fileSize;
  return end < pack.entries[index].offset ? -1 : end;
}

namespace {

std::string Name(const PackEntry& entry, size_t index) {
  return "entry " + std::to_string(index) + " (" + entry.name + ")";
}

// After an entry's content, its stored data may hold only chunks of empty input (the writer
// adds one when the size is a whole multiple of the chunk size).
bool OnlyEmptyChunks(BinaryStream& stream, int64_t position, int64_t end) {
  ChunkCodec codec;
  std::vector<uint8_t> input(MaxChunkStreamSize);
  while (position < end) {
    uint32_t length = stream.readU32();
    if (length > MaxChunkStreamSize || position + 4 + length > end) return false;
    if (stream.read(input.data(), length) != static_cast<int64_t>(length)) return false;
    if (!codec.decodesToNothing(input.data(), length)) return false;
    position += 4 + length;
  }
  return position == end;
}

}  // namespace

std::vector<std::string> CheckPack(PackContents& pack) {
  std::vector<std::string> problems;
  if (!pack.read()) {
    problems.push_back("header or table: " + pack.errorText);
    return problems;
  }
  const int64_t fileSize = pack.stream.size();
  const int64_t tableEnd = pack.stream.tell();
  if (pack.entries.empty() && tableEnd != fileSize) {
    problems.push_back("the file has " + std::to_string(fileSize - tableEnd) +
                       " bytes after a table of no entries");
  }
  int64_t expected = tableEnd;
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    const PackEntry& entry = pack.entries[i];
    if (entry.nameLength != entry.name.size()) {
      problems.push_back(Name(entry, i) + ": its name holds a NUL byte");
    }
    if (entry.offset != expected) {
      problems.push_back(Name(entry, i) + ": data at offset " + std::to_string(entry.offset) +
                         ", expected " + std::to_string(expected));
    }
    int64_t end = StoredEnd(pack, i, fileSize);
    if (end < 0 || entry.offset > fileSize) {
      problems.push_back(Name(entry, i) + ": offset " + std::to_string(entry.offset) +
                         " lies beyond the next entry's data or the end of the file");
      expected = entry.offset;
      continue;
    }
    expected = end;
    BinaryStream stream = pack.stream;
    stream.seek(entry.offset);
    uint32_t checksum = EmptyChecksum;
    std::string error;
    bool decoded = ReadEntryData(stream, pack.compressionType, entry.size,
                                 [&checksum](const uint8_t* data, size_t n) {
                                   checksum = Checksum32Update(checksum, data, n);
                                   return true;
                                 },
                                 &error);
    if (!decoded) {
      problems.push_back(Name(entry, i) + ": " + error);
      continue;
    }
    if (checksum != entry.checksum) {
      problems.push_back(Name(entry, i) + ": checksum " + std::to_string(checksum) +
                         ", recorded " + std::to_string(entry.checksum));
    }
    int64_t position = stream.tell();
    bool fits = pack.compressionType == CompressionType::Compressed
                    ? position <= end && OnlyEmptyChunks(stream, position, end)
                    : position == end;
    if (!fits) {
      problems.push_back(Name(entry, i) + ": its data takes " +
                         std::to_string(position - entry.offset) + " bytes, but " +
                         std::to_string(end - entry.offset) + " lie before the " +
                         (i + 1 < pack.entries.size() ? "next entry" : "end of the file"));
    }
  }
  return problems;
}

}  // namespace tarnix

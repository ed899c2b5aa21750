#include <algorithm>

#include "pack/pack_contents.h"

namespace tarnix {

bool PackContents::read() {
  std::string magic = stream.readString(4);
  if (magic != std::string(PackMagic, 4)) {
    errorText = "Magic mismatch";
    return false;
  }
  int32_t v = static_cast<int8_t>(stream.readU8());
  version = v;
  if (v <= 0) {
    errorText = "Unexpected version " + std::to_string(v);
    return false;
  }
  if (v > PackVersion) {
    errorText = "File is too new to read. File is version " + std::to_string(v) +
                ". Latest compatible version is " + std::to_string(PackVersion);
    return false;
  }
  uint8_t type = stream.readU8();
  compressionType = static_cast<CompressionType>(type);
  if (type > 1) {
    errorText = "Incorrect compression type (" + std::to_string(type) + ")";
    return false;
  }
  uint8_t countBytes[4];
  if (stream.read(countBytes, 4) != 4) {
    errorText = "Header is cut short";
    return false;
  }
  uint32_t count = static_cast<uint32_t>(countBytes[0]) | (static_cast<uint32_t>(countBytes[1]) << 8) |
                   (static_cast<uint32_t>(countBytes[2]) << 16) |
                   (static_cast<uint32_t>(countBytes[3]) << 24);
  entries.clear();

  // The table must fit in what is left of the file; checking before allocating keeps a damaged
  // count from asking for memory without bound.
  // Positions are tracked here rather than asked of the stream: asking a file for its size
  // seeks, which throws away its read buffer.
  const int64_t end = stream.size();
  int64_t position = stream.tell();
  int64_t remaining = end - position;
  if (remaining < 0 || static_cast<int64_t>(count) > remaining / RecordFixedSize) {
    errorText = "Entry count " + std::to_string(count) + " does not fit in the file";
    return false;
  }
  // Grown as records are read, so memory follows what the file really holds.
  std::vector<PackEntry> table;
  table.reserve(std::min<uint32_t>(count, 4096));
  for (uint32_t i = 0; i < count; ++i) {
    table.emplace_back();
    PackEntry& entry = table.back();
    uint8_t head[2];
    if (stream.read(head, 2) != 2) {
      errorText = "Entry table is cut short at entry " + std::to_string(i);
      return false;
    }
    position += 2;
    int16_t length = static_cast<int16_t>(head[0] | (head[1] << 8));
    if (length > 0) {
      // Name bytes and the 12 bytes of numbers behind them must still be in the file.
      if (static_cast<int64_t>(length) + 12 > end - position) {
        errorText = "Name of entry " + std::to_string(i) + " runs past the end of the file";
        return false;
      }
      entry.name = stream.readString(length);
      entry.nameLength = static_cast<uint16_t>(length);
      position += length;
    }
    uint8_t numbers[12];
    if (stream.read(numbers, 12) != 12) {
      errorText = "Entry table is cut short at entry " + std::to_string(i);
      return false;
    }
    position += 12;
    auto u32 = [&numbers](int at) {
      return static_cast<uint32_t>(numbers[at]) | (static_cast<uint32_t>(numbers[at + 1]) << 8) |
             (static_cast<uint32_t>(numbers[at + 2]) << 16) |
             (static_cast<uint32_t>(numbers[at + 3]) << 24);
    };
    entry.offset = u32(0);
    entry.size = u32(4);
    entry.checksum = u32(8);
    entry.pack = this;
    entry.hasSource = false;
  }
  entries = std::move(table);
  return true;
}

}  // namespace tarnix

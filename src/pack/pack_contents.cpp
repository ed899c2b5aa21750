#include "pack/pack_contents.h"

#include <algorithm>
#include <new>

#include "io/little_endian.h"

namespace tarnix {

void PackEntry::setSource(const std::string& entryName, const std::string& path, uint32_t fileSize,
                          PackContents* owner, std::optional<platform::FileStamp> stamp) {
  name = entryName;
  offset = 0;
  size = fileSize;
  checksum.reset();
  storedSize.reset();
  storedChecksum.reset();
  origin = SourceFile{path, stamp};
  pack = owner;
}

bool NamesMatch(const std::string& stored, const std::string& asked) {
  auto separator = [](char c) { return c == '/' || c == '\\'; };
  return std::equal(
      stored.begin(), stored.end(), asked.begin(), asked.end(),
      [&separator](char s, char a) { return s == a || (separator(s) && separator(a)); });
}

EntryToRead StoredEntryAt(const PackContents& pack, const PackEntry& entry) {
  EntryToRead read;
  read.type = pack.compressionType;
  read.size = entry.size;
  read.checksum = entry.checksum;
  read.offset = entry.offset;
  if (entry.storedSize) read.room = *entry.storedSize;
  return read;
}

std::optional<StoredCopy> CopyOf(const PackContents& pack, const PackEntry& entry, Reuse reuse) {
  if (!entry.storedSize || !entry.checksum) return std::nullopt;
  return StoredCopy{reuse,      &pack.stream,    entry.offset, *entry.storedSize,
                    entry.size, *entry.checksum, std::nullopt};
}

bool PackContents::keep(const Status& status) {
  if (!status.ok()) errorText = status.message();
  return status.ok();
}

Status PackEntry::loadData(std::vector<uint8_t>* content) const {
  if (hasSource()) return Status::Refused(name + ": it is a new entry, not yet stored in a pack");
  if (pack == nullptr || !pack->stream.isOpen()) {
    return Status::Refused(name + ": the pack that holds it is not open");
  }
  content->clear();
  // Work on a copy: it shares the file, and leaves the pack's own stream object alone.
  BinaryStream stream = pack->stream;
  EntryReader reader;
  return reader
      .read(stream, StoredEntryAt(*pack, *this), ReadMode::Full,
            [content](const uint8_t* data, size_t n) {
              content->insert(content->end(), data, data + n);
              return Status();
            })
      .prefixed(name + ": ");
}

// ---- Reading the header and table ----
Status PackContents::readRecord(uint32_t index, int64_t end, int64_t* position, PackEntry* entry) {
  auto cutShort = [index] {
    return Status::Damaged("Entry table is cut short at entry " + std::to_string(index));
  };
  uint8_t head[2];
  if (stream.read(head, 2) != 2) return cutShort();
  *position += 2;
  const int16_t length = static_cast<int16_t>(LoadU16(head));
  if (length > 0) {
    // Name bytes and the 12 bytes of numbers behind them must still be in the file.
    if (static_cast<int64_t>(length) + 12 > end - *position) {
      return Status::Damaged("Name of entry " + std::to_string(index) +
                             " runs past the end of the file");
    }
    // Every byte, a NUL among them: a name cut at one would pass for another.
    entry->name.resize(static_cast<size_t>(length));
    if (stream.read(&entry->name[0], length) != length) return cutShort();
    *position += length;
  }
  uint8_t numbers[12];
  if (stream.read(numbers, 12) != 12) return cutShort();
  *position += 12;
  entry->offset = LoadU32(numbers);
  entry->size = LoadU32(numbers + 4);
  entry->checksum = LoadU32(numbers + 8);
  entry->pack = this;
  return Status();
}

bool PackContents::read() { return keep(readTable()); }

Status PackContents::readTable() {
  try {
    return readHeaderAndTable();
  } catch (const std::bad_alloc&) {
    return Status::OutOfMemory("out of memory reading the table");
  }
}

Status PackContents::readHeaderAndTable() {
  if (stream.readString(4) != std::string(PackMagic, 4)) return Status::Damaged("Magic mismatch");
  int32_t v = static_cast<int8_t>(stream.readU8());
  version = v;
  if (v <= 0) return Status::Damaged("Unexpected version " + std::to_string(v));
  if (v > PackVersion) {
    return Status::Damaged("File is too new to read. File is version " + std::to_string(v) +
                           ". Latest compatible version is " + std::to_string(PackVersion));
  }
  uint8_t type = stream.readU8();
  compressionType = static_cast<CompressionType>(type);
  if (type > 1) return Status::Damaged("Incorrect compression type (" + std::to_string(type) + ")");
  uint8_t countBytes[4];
  if (stream.read(countBytes, 4) != 4) return Status::Damaged("Header is cut short");
  const uint32_t count = LoadU32(countBytes);
  entries.clear();

  // The table must fit in what is left of the file; checking before allocating keeps a damaged
  // count from asking for memory without bound. Positions are counted here rather than asked
  // of the stream: asking a file for its size seeks, which throws away its read buffer.
  const int64_t end = stream.size();
  int64_t position = stream.tell();
  if (end < position || static_cast<int64_t>(count) > (end - position) / RecordFixedSize) {
    return Status::Damaged("Entry count " + std::to_string(count) + " does not fit in the file");
  }
  // Grown as records are read, so memory follows what the file really holds.
  std::vector<PackEntry> table;
  table.reserve(std::min<uint32_t>(count, 4096));
  for (uint32_t i = 0; i < count; ++i) {
    table.emplace_back();
    Status record = readRecord(i, end, &position, &table.back());
    if (!record.ok()) return record;
  }
  entries = std::move(table);
  return Status();
}

}  // namespace tarnix

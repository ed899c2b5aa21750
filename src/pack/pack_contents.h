// A pack in memory: the header's compression type and one PackEntry per stored file. The byte
// layout is described in docs/pack-format.md.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "compress/entry_data.h"
#include "io/binary_stream.h"

namespace tarnix {

constexpr char PackMagic[4] = {'T', 'R', 'N', 'X'};
constexpr int32_t PackVersion = 1;
constexpr int64_t HeaderSize = 10;
// Bytes of a table record besides the name: length 2, offset 4, size 4, checksum 4.
constexpr int64_t RecordFixedSize = 14;
// Longest name a record can hold; readers take the length as signed 16-bit.
constexpr size_t MaxNameLength = 32767;

class PackContents;

class PackEntry {
 public:
  std::string name;
  // For an entry read from a pack, the name's byte count in the table; larger than name.size()
  // when the stored name holds a NUL, where `name` ends.
  uint16_t nameLength = 0;
  uint32_t offset = 0;
  uint32_t size = 0;
  // 0 in memory means "not worked out yet".
  uint32_t checksum = 0;
  // Length of the entry's stored form: in the pack last written with it, or, for an entry
  // read from a pack, as the layout check found it.
  uint32_t storedSize = 0;
  // For a new entry, the file that holds its content; it is opened only while read.
  std::string sourcePath;
  // The pack the entry belongs to; not owned.
  PackContents* pack = nullptr;
  // The entry of the same name in the pack being replaced: its stored form, or the chunks of
  // it that still hold the same bytes, are copied instead of made again (once they read back).
  const PackEntry* previous = nullptr;

  // True when the content comes from sourcePath, false when it lies in `pack`'s file.
  bool hasSource() const { return !sourcePath.empty(); }

  // Makes this a new entry whose content is the file at `path`, `size` bytes long.
  void setSource(const std::string& entryName, const std::string& path, uint32_t fileSize,
                 PackContents* owner);

  // The content of an entry read from a pack, decoded. Fails, naming the entry, when it cannot
  // be had or does not come to `size` bytes.
  Status loadData(std::vector<uint8_t>* content) const;
};

struct WriteOptions {
  EntryDataOptions data;
  // Receives the progress line as it is redrawn, and its end.
  std::function<void(const std::string& text)> progress;
  // The pack being replaced, whose entries' `previous` point into it; its stream is closed
  // before the new pack takes its place.
  PackContents* previous = nullptr;
};

class PackContents {
 public:
  PackContents() = default;
  // Entries point back at their pack, so a pack must stay where it is.
  PackContents(const PackContents&) = delete;
  PackContents& operator=(const PackContents&) = delete;

  // The open pack file that read() reads and loadData() decodes from.
  BinaryStream stream;
  int32_t version = 0;
  std::vector<PackEntry> entries;
  CompressionType compressionType = CompressionType::Uncompressed;
  std::string errorText;

  // Reads the header and table from `stream`, which stands at the start of a pack. Checks the
  // header in order (magic, version, compression type) and then that the table fits in the
  // file, so a damaged file cannot make it read past the end or allocate without bound. On
  // false, errorText says why and only a rejected table leaves entries changed (empty).
  bool read();

  // Writes the pack to `path`, or where the links at `path` lead: into a new file beside it,
  // which replaces it only once complete and on the disk; on failure `path` is left as it was.
  // Fills each entry's offset, checksum and storedSize. On false, errorText holds a message
  // that names the file and the reason.
  bool write(const std::string& path, const WriteOptions& options);

 private:
  Status readTable();
  // Reads record `index`; `position` counts the bytes read, `end` is the file's length.
  Status readRecord(uint32_t index, int64_t end, int64_t* position, PackEntry* entry);
  Status writeTo(const std::string& path, const WriteOptions& options);
  // Writes every entry's stored form at `out`'s position and fills in where each lies.
  Status writeData(const std::string& path, const WriteOptions& options, int64_t dataStart,
                   BinaryStream& out);
};

// Whether a name someone asks for names a stored entry; "/" and "\" separate alike.
bool NamesMatch(const std::string& stored, const std::string& asked);

// The byte count of one table record for a name.
inline int64_t RecordSize(const std::string& name) {
  return RecordFixedSize + static_cast<int64_t>(name.size());
}

}  // namespace tarnix

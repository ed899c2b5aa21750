// A pack in memory: the header's compression type and one PackEntry per stored file. The byte
// layout is described in docs/pack-format.md.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "compress/entry_pipeline.h"
#include "compress/entry_reader.h"
#include "format/format.h"
#include "io/binary_stream.h"
#include "platform/platform.h"

namespace tarnix {

class PackContents;

// The two things an entry can be, told apart by type: one read from a pack, whose stored form
// lies in its pack's file at `offset`; or a new one, still to be written, whose content is a
// source file.
struct StoredInPack {};
struct SourceFile {
  std::string path;  // opened only while read
  // What the file's metadata said when it was listed, where the lister asked.
  std::optional<platform::FileStamp> stamp;
};

class PackEntry {
 public:
  // Every byte of the stored name, a NUL among them if the table holds one: names are
  // compared whole.
  std::string name;
  uint32_t offset = 0;
  uint32_t size = 0;
  // Known for an entry read from a pack (the table's), and for a new one once it is written.
  std::optional<uint32_t> checksum;
  // Bytes of the entry's stored form: known once the layout check has walked it (an entry
  // read from a pack) or the writer has written it (a new entry).
  std::optional<uint32_t> storedSize;
  // The checksum of the stored form's bytes, once this run has written them.
  std::optional<uint32_t> storedChecksum;
  // Set once written, when its stored form is the replaced pack's, copied whole: its content is
  // then what was proven of that entry, not what its source was read to hold.
  bool copiedWhole = false;
  // Where the content is; an entry is read from a pack until setSource makes it a new one.
  std::variant<StoredInPack, SourceFile> origin;
  // The pack the entry belongs to; not owned.
  PackContents* pack = nullptr;

  // True for a new entry, whose content comes from a source file.
  bool hasSource() const { return std::holds_alternative<SourceFile>(origin); }
  // A new entry's source file; null for an entry read from a pack.
  const SourceFile* source() const { return std::get_if<SourceFile>(&origin); }

  // Makes this a new entry whose content is the file at `path`, `size` bytes long.
  void setSource(const std::string& entryName, const std::string& path, uint32_t fileSize,
                 PackContents* owner, std::optional<platform::FileStamp> stamp = std::nullopt);

  // The content of an entry read from a pack, decoded and checked by the entry reader's rules,
  // its checksum included. Fails, naming the entry, on anything a reader must not serve.
  Status loadData(std::vector<uint8_t>* content) const;
};

// Where a write stands, for the program to show: entry `entry` of `count` starts to go out; or,
// with `done`, the pack is in place.
struct WriteProgress {
  size_t entry = 0;
  size_t count = 0;
  bool done = false;
};

struct WriteOptions {
  EntryDataOptions data;
  // Called on the writing thread as each entry starts, and once when the pack is in place.
  std::function<void(const WriteProgress&)> progress;
  // The pack being replaced; its stream is closed before the new pack takes its place.
  PackContents* replaced = nullptr;
  // One per entry (or none): what each may copy from `replaced` (or, when that is null, from
  // the packs the copies name), as change detection planned.
  std::vector<StoredCopy> copies;
  // Whether putting the pack in place is what the run is for (see TempFile::Outcome); not so
  // for a volume of a set, whose set file settles the run.
  bool settles = true;
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
  // The same two as a Status, for callers that act on its code; read() and write() are these
  // and errorText.
  Status readTable();
  Status writeTo(const std::string& path, const WriteOptions& options);

 private:
  // Keeps a failure's message in errorText: the one place the bool interfaces get their text.
  bool keep(const Status& status);
  // What readTable and writeTo do, leaving an allocation failure for them to turn into a result.
  Status readHeaderAndTable();
  Status writeFile(const std::string& path, const WriteOptions& options);
  // Reads record `index`; `position` counts the bytes read, `end` is the file's length.
  Status readRecord(uint32_t index, int64_t end, int64_t* position, PackEntry* entry);
  // Writes every entry's stored form at `out`'s position and fills in where each lies.
  Status writeData(const std::string& path, const WriteOptions& options, int64_t dataStart,
                   BinaryStream& out);
};

// Whether the writer may replace `path`: nothing there, or a regular file (links followed); a
// directory, FIFO, socket or device is refused with a message that says what it is, and so
// is a link that leads nowhere (a loop, or a missing target).
Status CheckReplaceable(const std::string& path);

// Whether a source file of `size` bytes can be an entry at all: its size field, and the
// pack's offsets, are read as signed 32-bit.
Status CheckSourceSize(const std::string& path, int64_t size);

// How the entry reader is to read an entry of `pack`: where it lies, and the checksum recorded.
EntryToRead StoredEntryAt(const PackContents& pack, const PackEntry& entry);
// What a new entry may take, as `reuse` says, from `entry` of `pack` (the pack being replaced);
// nothing unless the entry's checksum is known and its layout walked.
std::optional<StoredCopy> CopyOf(const PackContents& pack, const PackEntry& entry, Reuse reuse);

// Whether a name someone asks for names a stored entry; "/" and "\" separate alike.
bool NamesMatch(const std::string& stored, const std::string& asked);

// The byte count of one table record for a name.
inline int64_t RecordSize(const std::string& name) {
  return RecordFixedSize + static_cast<int64_t>(name.size());
}

// Where the data of `pack` begins: the bytes of its header and table.
inline int64_t TableEnd(const PackContents& pack) {
  int64_t end = HeaderSize;
  for (const PackEntry& entry : pack.entries) end += RecordSize(entry.name);
  return end;
}

}  // namespace tarnix

#include "pack/pack_contents.h"

#include <new>

#include "platform/platform.h"

namespace tarnix {

namespace {

void WriteTable(BinaryStream& out, const std::vector<PackEntry>& entries) {
  for (const PackEntry& entry : entries) {
    out.writeU16(static_cast<uint16_t>(entry.name.size()));
    out.write(entry.name.data(), static_cast<int64_t>(entry.name.size()));
    out.writeU32(entry.offset);
    out.writeU32(entry.size);
    out.writeU32(entry.checksum.value_or(0));  // unknown only in the pass that reserves room
  }
}

// Where the data begins, once the table is known to be storable; an uncompressed pack's whole
// length is known too, and is refused before anything is written when it is too large.
Status MeasureTable(const PackContents& pack, const std::string& path, int64_t* dataStart) {
  *dataStart = HeaderSize;
  int64_t length = 0;
  for (const PackEntry& entry : pack.entries) {
    if (entry.name.size() > MaxNameLength) {
      return Status::Refused("Cannot store " + entry.name.substr(0, 64) + "...: its name is " +
                             std::to_string(entry.name.size()) + " bytes long, the limit is " +
                             std::to_string(MaxNameLength));
    }
    if (!entry.hasSource()) {
      return Status::Refused("Cannot store " + entry.name + ": it has no source file");
    }
    *dataStart += RecordSize(entry.name);
    length += pack.compressionType == CompressionType::Uncompressed ? entry.size : 0;
  }
  if (*dataStart + length > MaxPackSize) {
    return WriteFailure(path, StatusCode::Refused, TooLarge);
  }
  return Status();
}

// A new file beside the pack, or where the links at `path` lead: a link stays a link.
Status CreateOutput(const std::string& path, platform::TempFile* temp, BinaryStream* out) {
  std::string directory, name;
  platform::SplitPath(platform::ResolveLinks(path), &directory, &name);
  platform::DirectoryHandle folder;
  std::FILE* file = nullptr;
  Status created = folder.open(directory, false);
  // What killed runs left beside the pack would otherwise stay there for good.
  if (created.ok()) platform::RemoveStaleTemporaryFiles(folder);
  if (created.ok()) created = temp->create(folder, name, &file);
  if (!created.ok()) {
    return Status::Io("Failed to open " + path + ": " + OpenErrorText(created.errorNumber()),
                      created.errorNumber());
  }
  out->adoptForWriting(file, temp->path(), 1 << 20);
  return Status();
}

// What WriteEntryData needs of each entry: where to read it, and the stored form to copy as
// change detection planned it.
std::vector<EntryToWrite> EntriesToWrite(const std::vector<PackEntry>& entries,
                                         const std::vector<StoredCopy>& copies) {
  std::vector<EntryToWrite> sources;
  sources.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const PackEntry& entry = entries[i];
    // MeasureTable saw that every entry has a source.
    sources.push_back({entry.name, entry.source()->path, entry.size,
                       i < copies.size() ? copies[i] : StoredCopy{}});
  }
  return sources;
}

}  // namespace

Status CheckReplaceable(const std::string& path) {
  const std::string broken = platform::BrokenLinkReason(path);
  if (!broken.empty()) return Status::Refused("Refusing to replace " + path + ": " + broken);
  platform::FileKind kind = platform::KindOf(path, nullptr);
  if (kind != platform::FileKind::Missing && kind != platform::FileKind::Regular) {
    return Status::Refused("Refusing to replace " + path + ": it is " + platform::KindName(kind) +
                           ", not a regular file");
  }
  return Status();
}

Status CheckSourceSize(const std::string& path, int64_t size) {
  if (size <= MaxPackSize) return Status();
  return Status::Refused("Cannot store " + path + ": it is " + std::to_string(size) +
                         " bytes, and an entry must stay below 2 GiB");
}

bool PackContents::write(const std::string& path, const WriteOptions& options) {
  return keep(writeTo(path, options));
}

Status PackContents::writeTo(const std::string& path, const WriteOptions& options) {
  try {
    return writeFile(path, options);
  } catch (const std::bad_alloc&) {
    return WriteFailure(path, StatusCode::OutOfMemory, "out of memory");
  }
}

Status PackContents::writeFile(const std::string& path, const WriteOptions& options) {
  int64_t dataStart = 0;
  Status status = CheckReplaceable(path);
  if (status.ok()) status = MeasureTable(*this, path, &dataStart);
  platform::TempFile temp;
  BinaryStream out;
  if (status.ok()) status = CreateOutput(path, &temp, &out);
  if (!status.ok()) return status;
  out.write(PackMagic, 4);
  out.writeU8(static_cast<uint8_t>(PackVersion));
  out.writeU8(static_cast<uint8_t>(compressionType));
  out.writeU32(static_cast<uint32_t>(entries.size()));
  // The first pass only reserves the table's room; offsets and checksums are known after the
  // data.
  WriteTable(out, entries);
  if (!out.status().ok()) return WriteFailure(path, out);

  status = writeData(path, options, dataStart, out);
  if (!status.ok()) return status;
  out.seek(HeaderSize);
  WriteTable(out, entries);
  if (!out.sync() || !out.close().ok()) return WriteFailure(path, out);
  // Windows cannot replace a file that is still open.
  if (options.replaced != nullptr) options.replaced->stream.close().ok();
  Status replaced = temp.commit(platform::TempFile::Sync::Now,
                                options.settles ? platform::TempFile::Outcome::Settled
                                                : platform::TempFile::Outcome::Pending);
  if (!replaced.ok()) {
    return Status::Io(
        "Failed to replace " + path + ": " + platform::ErrorString(replaced.errorNumber()),
        replaced.errorNumber());
  }
  if (options.progress) options.progress(WriteProgress{entries.size(), entries.size(), true});
  return Status();
}

Status PackContents::writeData(const std::string& path, const WriteOptions& options,
                               int64_t dataStart, BinaryStream& out) {
  EntryDataOptions dataOptions = options.data;
  dataOptions.outputName = path;
  dataOptions.outputLimit = MaxPackSize - dataStart;
  auto showProgress = [&](size_t k) {
    if (options.progress) options.progress(WriteProgress{k, entries.size(), false});
  };
  std::vector<StoredEntryData> stored;
  Status data = WriteEntryData(EntriesToWrite(entries, options.copies), compressionType, out,
                               dataOptions, showProgress, &stored);
  if (!data.ok()) return data;
  int64_t offset = dataStart;
  for (size_t i = 0; i < entries.size(); ++i) {
    entries[i].offset = static_cast<uint32_t>(offset);
    entries[i].checksum = stored[i].checksum;
    entries[i].storedSize = stored[i].storedSize;
    entries[i].storedChecksum = stored[i].storedChecksum;
    entries[i].copiedWhole = stored[i].copied;
    offset += stored[i].storedSize;
  }
  return Status();
}

}  // namespace tarnix

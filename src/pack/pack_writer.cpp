#include "pack/pack_contents.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

// Above this many entries the bar is drawn 100 characters wide, so that reprinting it once per
// entry does not grow the output with the square of the entry count.
constexpr size_t MaxBarWidth = 100;

std::string ProgressLine(const std::string& path, bool compressed, size_t k, size_t n) {
  std::string line = "\r";
  line += compressed ? "Writing compressed " : "Writing ";
  line += path;
  line += " [";
  const size_t width = std::min(n, MaxBarWidth);
  const size_t dots = n <= MaxBarWidth ? k + 1 : (k + 1) * MaxBarWidth / n;
  line += std::string(dots, '.') + std::string(width - dots, ' ');
  line += "] ";
  // Single precision, truncated: 53 of 100 shows 52.
  float fraction = static_cast<float>(k + 1) / static_cast<float>(n);
  line += std::to_string(static_cast<int>(fraction * 100.0f));
  line += "%";
  return line;
}

void WriteTable(BinaryStream& out, const std::vector<PackEntry>& entries) {
  for (const PackEntry& entry : entries) {
    out.writeU16(static_cast<uint16_t>(entry.name.size()));
    out.write(entry.name.data(), static_cast<int64_t>(entry.name.size()));
    out.writeU32(entry.offset);
    out.writeU32(entry.size);
    out.writeU32(entry.checksum);
  }
}

// Where the data begins, once the table is known to be storable.
Status MeasureTable(const std::vector<PackEntry>& entries, int64_t* dataStart) {
  *dataStart = HeaderSize;
  for (const PackEntry& entry : entries) {
    if (entry.name.size() > MaxNameLength) {
      return Status::Error("Cannot store " + entry.name.substr(0, 64) + "...: its name is " +
                           std::to_string(entry.name.size()) + " bytes long, the limit is " +
                           std::to_string(MaxNameLength));
    }
    if (!entry.hasSource()) {
      return Status::Error("Cannot store " + entry.name + ": it has no source file");
    }
    *dataStart += RecordSize(entry.name);
  }
  return Status();
}

// What WriteEntryData needs of each entry: where to read it, and a stored form to copy.
std::vector<EntrySource> Sources(const std::vector<PackEntry>& entries) {
  std::vector<EntrySource> sources;
  sources.reserve(entries.size());
  for (const PackEntry& entry : entries) {
    EntrySource source{entry.name, entry.sourcePath, entry.size, {}};
    if (const PackEntry* old = entry.previous) {
      const bool same = entry.size == old->size && entry.checksum == old->checksum;
      source.copy = StoredCopy{&old->pack->stream, old->offset, old->storedSize, same, old->checksum};
    }
    sources.push_back(std::move(source));
  }
  return sources;
}

}  // namespace

bool PackContents::write(const std::string& path, const WriteOptions& options) {
  Status status = writeTo(path, options);
  if (!status.ok()) errorText = status.message();
  return status.ok();
}

Status PackContents::writeTo(const std::string& path, const WriteOptions& options) {
  int64_t dataStart = 0;
  Status measured = MeasureTable(entries, &dataStart);
  if (!measured.ok()) return measured;
  // An uncompressed pack's length is known now: refuse it before writing anything.
  int64_t knownLength = dataStart;
  if (compressionType == CompressionType::Uncompressed) {
    for (const PackEntry& entry : entries) knownLength += entry.size;
  }
  const Status tooLarge = Status::Error(
      "Failed to write " + path + ": the pack would reach 2 GiB, the largest the format can hold");
  if (knownLength > MaxPackSize) return tooLarge;

  // A link at `path` stays a link: the pack replaces the file it leads to.
  std::string directory, name;
  platform::SplitPath(platform::ResolveLinks(path), &directory, &name);
  platform::DirectoryHandle folder;
  platform::TempFile temp;
  std::FILE* file = nullptr;
  Status created = folder.open(directory, false);
  if (created.ok()) created = temp.create(folder, name, &file);
  if (!created.ok()) {
    return Status::Error("Failed to open " + path + ": Failed to open file with errno " +
                         std::to_string(created.errorNumber()));
  }
  BinaryStream out;
  out.adoptForWriting(file, temp.path(), 1 << 20);
  auto writeFailure = [&out, &path] {
    return Status::Error("Failed to write " + path + ": " +
                         platform::ErrorString(out.status().errorNumber()));
  };

  out.write(PackMagic, 4);
  out.writeU8(static_cast<uint8_t>(PackVersion));
  out.writeU8(static_cast<uint8_t>(compressionType));
  out.writeU32(static_cast<uint32_t>(entries.size()));
  // The first pass only reserves the table's room; offsets and checksums are known after the
  // data.
  WriteTable(out, entries);
  if (!out.status().ok()) return writeFailure();

  EntryDataOptions dataOptions = options.data;
  dataOptions.outputName = path;
  dataOptions.outputLimit = MaxPackSize - dataStart;
  const bool compressed = compressionType != CompressionType::Uncompressed;
  const size_t n = entries.size();
  auto showProgress = [&](size_t k) {
    if (options.progress) options.progress(ProgressLine(path, compressed, k, n));
  };
  std::vector<StoredEntryData> stored;
  Status data = WriteEntryData(Sources(entries), compressionType, out, dataOptions, showProgress,
                               &stored);
  if (!data.ok()) return data;

  int64_t offset = dataStart;
  for (size_t i = 0; i < n; ++i) {
    entries[i].offset = static_cast<uint32_t>(offset);
    entries[i].checksum = stored[i].checksum;
    entries[i].storedSize = stored[i].storedSize;
    offset += stored[i].storedSize;
  }
  out.seek(HeaderSize);
  WriteTable(out, entries);
  if (!out.sync() || !out.close().ok()) return writeFailure();
  // Windows cannot replace a file that is still open.
  if (options.previous != nullptr) options.previous->stream.close().ok();
  Status replaced = temp.commit();
  if (!replaced.ok()) {
    return Status::Error("Failed to replace " + path + ": " +
                         platform::ErrorString(replaced.errorNumber()));
  }
  if (options.progress) options.progress(" Done\n");
  return Status();
}

}  // namespace tarnix

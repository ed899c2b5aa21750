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
  if (n <= MaxBarWidth) {
    for (size_t i = 0; i < n; ++i) line += i <= k ? '.' : ' ';
  } else {
    for (size_t i = 0; i < MaxBarWidth; ++i) {
      line += i < (k + 1) * MaxBarWidth / n ? '.' : ' ';
    }
  }
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

}  // namespace

bool PackContents::write(const std::string& path, const EntryDataOptions& options,
                         Console* progress) {
  int64_t dataStart = HeaderSize;
  for (const PackEntry& entry : entries) {
    if (entry.name.size() > MaxNameLength) {
      errorText = "Cannot store " + entry.name.substr(0, 64) + "...: its name is " +
                  std::to_string(entry.name.size()) + " bytes long, the limit is " +
                  std::to_string(MaxNameLength);
      return false;
    }
    if (!entry.hasSource) {
      errorText = "Cannot store " + entry.name + ": it has no source file";
      return false;
    }
    dataStart += RecordSize(entry.name);
  }
  // An uncompressed pack's length is known now: refuse it before writing anything.
  int64_t knownLength = dataStart;
  if (compressionType == CompressionType::Uncompressed) {
    for (const PackEntry& entry : entries) knownLength += entry.size;
  }
  if (knownLength > MaxPackSize) {
    errorText = "Failed to write " + path +
                ": the pack would reach 2 GiB, the largest the format can hold";
    return false;
  }

  BinaryStream out;
  if (!out.openTemporaryBeside(path)) {
    errorText = "Failed to open " + path + ": " + out.errorText();
    return false;
  }
  const std::string tempPath = out.path();
  auto abandon = [&](const std::string& message) {
    errorText = message;
    out.close();
    platform::RemoveFile(tempPath);
    return false;
  };
  auto writeFailure = [&]() {
    return "Failed to write " + path + ": " + platform::ErrorString(out.errorNumber());
  };

  out.write(PackMagic, 4);
  out.writeU8(static_cast<uint8_t>(PackVersion));
  out.writeU8(static_cast<uint8_t>(compressionType));
  out.writeU32(static_cast<uint32_t>(entries.size()));
  const int64_t tableStart = HeaderSize;
  // First pass only reserves the table's room; offsets and checksums are known after the data.
  WriteTable(out, entries);
  if (out.hasIoError()) return abandon(writeFailure());

  std::vector<EntrySource> sources;
  sources.reserve(entries.size());
  for (const PackEntry& entry : entries) {
    sources.push_back(EntrySource{entry.name, entry.sourcePath, entry.size});
  }
  EntryDataOptions dataOptions = options;
  dataOptions.outputName = path;
  dataOptions.outputLimit = MaxPackSize - dataStart;
  const bool compressed = compressionType != CompressionType::Uncompressed;
  const size_t n = entries.size();
  auto showProgress = [&](size_t k) {
    if (progress != nullptr) {
      progress->write(ProgressLine(path, compressed, k, n));
      progress->flush();
    }
  };
  std::vector<StoredEntryData> stored;
  std::string dataError;
  if (!WriteEntryData(sources, compressionType, out, dataOptions, showProgress, &stored,
                      &dataError)) {
    return abandon(dataError);
  }

  int64_t offset = dataStart;
  for (size_t i = 0; i < n; ++i) {
    PackEntry& entry = entries[i];
    entry.offset = static_cast<uint32_t>(offset);
    entry.checksum = stored[i].checksum;
    if (compressed) entry.storedSize = stored[i].storedSize;
    offset += stored[i].storedSize;
  }
  out.seek(tableStart);
  WriteTable(out, entries);
  if (!out.flush() || out.hasIoError()) return abandon(writeFailure());
  if (!out.close()) {
    platform::RemoveFile(tempPath);
    errorText = writeFailure();
    return false;
  }
  int err = 0;
  if (!platform::ReplaceFile(tempPath, path, &err)) {
    platform::RemoveFile(tempPath);
    errorText = "Failed to replace " + path + ": " + platform::ErrorString(err);
    return false;
  }
  if (progress != nullptr) {
    progress->write(" Done");
    progress->endLine();
  }
  return true;
}

}  // namespace tarnix

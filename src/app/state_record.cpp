#include "app/state_record.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "format/format.h"
#include "io/little_endian.h"

namespace tarnix {

namespace {

// "TNXR", a version, then the fields in order, little-endian; strings as a 4-byte length and
// their bytes; last the Checksum32 of everything before it.
constexpr char Magic[4] = {'T', 'N', 'X', 'R'};
constexpr uint32_t Version = 2;  // 2: content hashes
constexpr int64_t LargestRecord = 256 << 20;
constexpr size_t KeptRecords = 256;
const char* const Suffix = ".state";

std::string FileNameFor(const std::string& key) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a: short, and the same in every run
  for (unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
  char name[17];
  std::snprintf(name, sizeof name, "%016" PRIx64, hash);
  return name + std::string(Suffix);
}

class Writer {
 public:
  void u32(uint32_t v) {
    uint8_t b[4];
    StoreU32(b, v);
    bytes_.insert(bytes_.end(), b, b + 4);
  }
  void u64(uint64_t v) {
    u32(static_cast<uint32_t>(v));
    u32(static_cast<uint32_t>(v >> 32));
  }
  void text(const std::string& s) {
    u32(static_cast<uint32_t>(s.size()));
    bytes_.insert(bytes_.end(), s.begin(), s.end());
  }
  void stamp(const platform::FileStamp& s) {
    for (uint64_t v : {static_cast<uint64_t>(s.size), static_cast<uint64_t>(s.modified),
                       static_cast<uint64_t>(s.changed), s.device, s.inode}) {
      u64(v);
    }
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Reads fields in order; any read past the end makes `ok` false for good.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool ok = true;
  size_t left() const { return size_ - at_; }
  uint32_t u32() {
    if (!take(4)) return 0;
    return LoadU32(data_ + at_ - 4);
  }
  uint64_t u64() {
    const uint64_t low = u32();
    return low | static_cast<uint64_t>(u32()) << 32;
  }
  std::string text() {
    const uint32_t n = u32();
    if (!take(n)) return "";
    return std::string(reinterpret_cast<const char*>(data_ + at_ - n), n);
  }
  platform::FileStamp stamp() {
    platform::FileStamp s;
    s.size = static_cast<int64_t>(u64());
    s.modified = static_cast<int64_t>(u64());
    s.changed = static_cast<int64_t>(u64());
    s.device = u64();
    s.inode = u64();
    return s;
  }

 private:
  bool take(size_t n) {  // once a take fails, `ok` stays false, and the record is not used
    if (n > left()) return ok = false;
    at_ += n;
    return true;
  }
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Bytes of one file's part of the record when its name is empty and it has no hash.
constexpr size_t RecordedFileSize = 4 + 5 * 8 + 4 * 4;

// Removes the oldest records beyond KeptRecords.
void Prune(const std::string& folder) {
  std::vector<platform::DirectoryEntry> listing;
  platform::FileId self;
  if (!platform::ListDirectory(folder, &listing, &self).ok()) return;
  std::vector<std::pair<int64_t, std::string>> records;
  for (const platform::DirectoryEntry& entry : listing) {
    const std::string& name = entry.name;
    if (name.size() <= 6 || name.compare(name.size() - 6, 6, Suffix) != 0) continue;
    int64_t size = 0;
    std::optional<platform::FileStamp> stamp;
    const std::string path = platform::JoinPath(folder, name);
    if (platform::ProbeFile(path, &size, &stamp).ok())
      records.push_back({stamp ? stamp->modified : 0, path});
  }
  std::sort(records.begin(), records.end());
  for (size_t i = 0; i + KeptRecords < records.size(); ++i) {
    std::error_code ignored;
    std::filesystem::remove(records[i].second, ignored);
  }
}

}  // namespace

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string RecordKey(const std::string& packPath) {
  std::error_code failed;
  std::filesystem::path absolute =
      std::filesystem::absolute(platform::ResolveLinks(packPath), failed);
  return failed ? packPath : absolute.lexically_normal().string();
}

std::string StateRecordPath(const std::string& packPath) {
  const std::string folder = platform::StateFolder();
  return folder.empty() ? folder : platform::JoinPath(folder, FileNameFor(RecordKey(packPath)));
}

Status PackIdentity(const std::string& packPath, int64_t tableEnd, PackFileIdentity* identity) {
  int64_t size = 0;
  std::optional<platform::FileStamp> probed;
  Status opened = platform::ProbeFile(packPath, &size, &probed);
  if (!opened.ok()) return opened;
  if (!probed) return Status::Io(packPath + ": the system does not say when it changed");
  identity->stamp = *probed;
  BinaryStream stream;
  std::vector<uint8_t> table(static_cast<size_t>(std::max<int64_t>(tableEnd, 0)));
  if (!stream.open(packPath, OpenMode::Read)) return stream.status();
  Status read = stream.readExactAt(0, table.data(), tableEnd);
  if (!read.ok()) return ReadFailure(read, packPath + ": its table cannot be read");
  identity->tableChecksum = Checksum32(table.data(), table.size());
  return Status();
}

std::optional<StateRecord> LoadStateRecord(const std::string& packPath) {
  const std::string path = StateRecordPath(packPath);
  const std::string key = RecordKey(packPath);
  BinaryStream stream;
  if (path.empty() || !stream.open(path, OpenMode::Read)) return std::nullopt;
  const int64_t size = stream.size();
  if (size < 12 || size > LargestRecord) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (!stream.readExactAt(0, bytes.data(), size).ok()) return std::nullopt;
  if (Checksum32(bytes.data(), bytes.size() - 4) != LoadU32(bytes.data() + bytes.size() - 4))
    return std::nullopt;
  if (!std::equal(Magic, Magic + 4, bytes.begin())) return std::nullopt;
  Reader in(bytes.data() + 4, bytes.size() - 8);
  StateRecord record;
  if (in.u32() != Version) return std::nullopt;
  record.packPath = in.text();
  record.root = in.text();
  record.compressionType = static_cast<CompressionType>(in.u32());
  record.pack = in.stamp();
  record.tableChecksum = in.u32();
  record.begun = static_cast<int64_t>(in.u64());
  const uint32_t count = in.u32();
  if (!in.ok || record.packPath != key || count > in.left() / RecordedFileSize) return std::nullopt;
  record.files.resize(count);
  for (RecordedFile& file : record.files) {
    file.name = in.text();
    file.stamp = in.stamp();
    file.checksums.content = in.u32();
    const uint32_t hasStored = in.u32();
    const uint32_t stored = in.u32();
    if (hasStored > 1) return std::nullopt;
    if (hasStored == 1) file.checksums.stored = stored;
    const uint32_t hasHash = in.u32();
    if (hasHash > 1) return std::nullopt;
    if (hasHash == 1) file.hash = ContentHash{in.u64(), in.u64()};
  }
  if (!in.ok || in.left() != 0) return std::nullopt;
  return record;
}

void SaveStateRecord(const StateRecord& record) {
  const std::string folder = platform::StateFolder();
  if (folder.empty()) return;
  Writer out;
  out.bytes().insert(out.bytes().end(), Magic, Magic + 4);
  out.u32(Version);
  out.text(record.packPath);
  out.text(record.root);
  out.u32(static_cast<uint32_t>(record.compressionType));
  out.stamp(record.pack);
  out.u32(record.tableChecksum);
  out.u64(static_cast<uint64_t>(record.begun));
  out.u32(static_cast<uint32_t>(record.files.size()));
  for (const RecordedFile& file : record.files) {
    out.text(file.name);
    out.stamp(file.stamp);
    out.u32(file.checksums.content);
    out.u32(file.checksums.stored ? 1 : 0);
    out.u32(file.checksums.stored.value_or(0));
    out.u32(file.hash ? 1 : 0);
    if (file.hash) {
      out.u64(file.hash->low);
      out.u64(file.hash->high);
    }
  }
  out.u32(Checksum32(out.bytes().data(), out.bytes().size()));
  // Written aside and renamed over the old one: two runs at once leave one whole record.
  const std::string bytes(out.bytes().begin(), out.bytes().end());
  if (!CommitFile(platform::JoinPath(folder, FileNameFor(record.packPath)), bytes,
                  platform::TempFile::Mode::Default, platform::TempFile::Sync::Later)
           .ok())
    return;
  Prune(folder);
}

Voucher::Voucher(StateRecord record, const std::string& root, CompressionType type,
                 const platform::FileStamp& packStamp, uint32_t tableChecksum) {
  // The pack is known by its size, modification time and file number and by its table; its
  // data's bytes are proved entry by entry, by their stored checksums, when they are copied.
  const platform::FileStamp& was = record.pack;
  if (record.root != root || record.compressionType != type || was.size != packStamp.size ||
      was.modified != packStamp.modified || was.device != packStamp.device ||
      was.inode != packStamp.inode || record.tableChecksum != tableChecksum) {
    return;
  }
  files_ = std::move(record.files);
  trusted_ = record.begun - StampGranularity;
}

const RecordedFile* Voucher::recorded(size_t position, const std::string& name) {
  const std::optional<size_t> found = byName_.find(files_, position, name);
  return found ? &files_[*found] : nullptr;
}

const RecordedFile* Voucher::vouch(size_t position, const std::string& name,
                                   const platform::FileStamp& stamp) {
  const RecordedFile* file = recorded(position, name);
  if (file == nullptr || file->stamp != stamp || stamp.modified >= trusted_ ||
      stamp.changed >= trusted_) {
    return nullptr;
  }
  return file;
}

}  // namespace tarnix

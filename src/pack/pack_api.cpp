// The library's public face, over the pack model and the entry reader's rules.
#include "tarnix/tarnix.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "base/ascii.h"
#include "compress/entry_reader.h"
#include "pack/entry_names.h"
#include "pack/pack_check.h"
#include "pack/pack_contents.h"
#include "pack/pack_set.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

// The key a name is looked up by: both separators alike, and with IgnoreAscii A-Z as a-z.
std::string NameKey(const std::string& name, NameCase nameCase) {
  std::string key = name;
  for (char& c : key) {
    if (c == '\\') c = '/';
    if (nameCase == NameCase::IgnoreAscii) c = AsciiToLower(c);
  }
  return key;
}

// The one conversion from the layers' Status to the library's Error: the codes match one to one.
ErrorCode ToErrorCode(StatusCode code) {
  switch (code) {
    case StatusCode::Ok: return ErrorCode::None;
    case StatusCode::NotOpen: return ErrorCode::NotOpen;
    case StatusCode::NotFound: return ErrorCode::NotFound;
    case StatusCode::OutOfRange: return ErrorCode::OutOfRange;
    case StatusCode::Damaged: return ErrorCode::Damaged;
    case StatusCode::Io: return ErrorCode::Io;
    case StatusCode::Refused: return ErrorCode::Refused;
    case StatusCode::OutOfMemory: return ErrorCode::OutOfMemory;
  }
  return ErrorCode::Io;
}

// Every failure of the library is reported here, as false and an Error.
bool Fail(Error* error, const Status& failure) {
  if (error != nullptr) *error = {ToErrorCode(failure.code()), failure.message()};
  return false;
}

// A decoder and one chunk's buffers, lent to one read at a time.
struct Scratch {
  ChunkCodec codec;
  std::vector<uint8_t> frame = std::vector<uint8_t>(MaxChunkStreamSize);
  std::vector<uint8_t> chunk = std::vector<uint8_t>(ChunkSize);
};

// The reader's spare scratch: a read takes one (or makes one, when every one is lent) and gives
// it back, so the pool holds as many as ever ran at once. Not thread_local: MinGW's runtime
// frees such objects wrongly when a thread ends.
class ScratchPool {
 public:
  class Lease {
   public:
    Lease(ScratchPool& pool, std::unique_ptr<Scratch> scratch)
        : pool_(pool), scratch_(std::move(scratch)) {}
    ~Lease() { pool_.giveBack(std::move(scratch_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Scratch& operator*() const { return *scratch_; }

   private:
    ScratchPool& pool_;
    std::unique_ptr<Scratch> scratch_;
  };

  Lease take() {
    std::unique_ptr<Scratch> scratch;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spare_.empty()) {
        scratch = std::move(spare_.back());
        spare_.pop_back();
      } else {
        spare_.reserve(++made_);  // so that giving it back never allocates
      }
    }
    if (!scratch) scratch = std::make_unique<Scratch>();
    return Lease(*this, std::move(scratch));
  }

 private:
  void giveBack(std::unique_ptr<Scratch> scratch) {
    std::lock_guard<std::mutex> lock(mutex_);
    spare_.push_back(std::move(scratch));
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<Scratch>> spare_;
  size_t made_ = 0;
};

// Where each chunk of one compressed entry starts (and, last, where the entry ends): learnt
// from the 4-byte lengths the first time a range of it is read, then kept.
struct ChunkMap {
  std::once_flag walked;
  std::vector<int64_t> starts;
  Status failure;  // why the walk failed; its reads fail alike
};

}  // namespace

struct PackReader::State {
  // One volume for a pack, or each volume of a set in order; entries point into them.
  std::vector<std::unique_ptr<PackContents>> volumes;
  std::vector<std::string> volumeNames;  // each volume in messages: its path
  std::string name;  // the pack or set in messages: its path, or "the pack in memory"
  // Every file of every volume in order: its volume and its index there.
  std::vector<std::pair<size_t, size_t>> place;
  std::vector<PackedFile> files;
  std::unordered_map<std::string, size_t> exact;
  std::unordered_map<std::string, size_t> folded;
  std::unique_ptr<ChunkMap[]> chunks;
  mutable ScratchPool scratch;

  const PackEntry& entry(size_t index) const {
    return volumes[place[index].first]->entries[place[index].second];
  }

  PackContents& addVolume(const std::string& volumeName) {
    volumes.push_back(std::make_unique<PackContents>());
    volumeNames.push_back(volumeName);
    return *volumes.back();
  }

  // The chunk starts of compressed entry `index`, walked by the entry reader.
  const ChunkMap& chunkMap(size_t index) const {
    ChunkMap& map = chunks[index];
    std::call_once(map.walked, [&] {
      const PackEntry& entry = this->entry(index);
      BinaryStream stream = entry.pack->stream;  // its room is known: only positioned reads
      EntryReader reader;
      Status walked = reader.read(stream, StoredEntryAt(*entry.pack, entry), ReadMode::Layout);
      if (walked.ok()) {
        map.starts = reader.chunkStarts();
      } else {
        map.failure = walked;
      }
    });
    return map;
  }

  bool noFileAt(size_t index, Error* error) const {
    return Fail(error, Status::NotFound(name + ": no file at index " + std::to_string(index)));
  }

  std::string label(size_t index) const {
    const auto [volume, local] = place[index];
    return volumeNames[volume] + ": " + EntryLabel(*volumes[volume], local) + ": ";
  }
};

PackReader::PackReader() = default;
PackReader::~PackReader() = default;

bool PackReader::open(const std::string& path, uint64_t baseOffset) {
  try {
    state_.reset();
    auto state = std::make_unique<State>();
    state->name = path;
    if (baseOffset == 0 && IsSetFile(path)) {
      OpenedSet set;
      Status opened = OpenSet(path, &set);
      if (!opened.ok()) return Fail(&openError_, opened);
      for (size_t i = 0; i < set.volumes.size(); ++i) {
        state->volumes.push_back(std::move(set.volumes[i]));
        state->volumeNames.push_back(VolumePath(path, set.set.volumes[i].file));
      }
      state_ = std::move(state);
      return finishOpen();
    }
    BinaryStream& stream = state->addVolume(path).stream;
    if (!stream.open(path, OpenMode::Read)) {
      return Fail(&openError_, stream.status());
    }
    // A huge offset turns negative, and fails.
    if (!stream.setBase(static_cast<int64_t>(baseOffset))) {
      return Fail(&openError_, Status::OutOfRange(path + ": offset " + std::to_string(baseOffset) +
                                                  " lies past the end of the file"));
    }
    state_ = std::move(state);
  } catch (const std::bad_alloc&) {
    return Fail(&openError_, Status::OutOfMemory(path + ": out of memory"));
  }
  if (!readTableAndLayout()) return false;
  return finishOpen();
}

bool PackReader::openMemory(const void* data, size_t size) {
  try {
    state_ = std::make_unique<State>();
    state_->name = "the pack in memory";
    state_->addVolume(state_->name).stream.openView(data, size, state_->name);
  } catch (const std::bad_alloc&) {
    state_.reset();
    return Fail(&openError_, Status::OutOfMemory("the pack in memory: out of memory"));
  }
  return readTableAndLayout() && finishOpen();
}

bool PackReader::readTableAndLayout() {
  State& state = *state_;
  try {
    openError_ = Error();
    PackContents& pack = *state.volumes[0];
    Status opened = ReadTableOf(pack, state.name + ": ");
    if (opened.ok()) opened = CheckLayoutOf(pack, state.name + ": ");
    if (!opened.ok()) {
      Fail(&openError_, opened);
      state_.reset();
      return false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    state_.reset();
    return Fail(&openError_, Status::OutOfMemory("out of memory reading the pack's table"));
  }
}

bool PackReader::finishOpen() {
  State& state = *state_;
  try {
    openError_ = Error();
    for (size_t v = 0; v < state.volumes.size(); ++v) {
      const PackContents& pack = *state.volumes[v];
      for (size_t i = 0; i < pack.entries.size(); ++i) {
        const PackEntry& entry = pack.entries[i];
        const size_t index = state.files.size();
        state.place.emplace_back(v, i);
        state.files.push_back({entry.name, entry.size, *entry.checksum});
        state.exact.emplace(NameKey(entry.name, NameCase::Exact), index);  // the first of equals
        state.folded.emplace(NameKey(entry.name, NameCase::IgnoreAscii), index);
      }
    }
    state.chunks.reset(new ChunkMap[state.files.size()]);
    return true;
  } catch (const std::bad_alloc&) {
    state_.reset();
    return Fail(&openError_, Status::OutOfMemory("out of memory reading the pack's table"));
  }
}

const std::vector<PackedFile>& PackReader::files() const {
  static const std::vector<PackedFile> none;
  return state_ ? state_->files : none;
}

FoundFile PackReader::find(const std::string& name, NameCase nameCase) const {
  FoundFile found;
  try {
    if (state_) {
      const auto& names = nameCase == NameCase::Exact ? state_->exact : state_->folded;
      auto at = names.find(NameKey(name, nameCase));
      if (at != names.end()) found.index = at->second;
    }
    if (!found.index) found.missing = name;
  } catch (const std::bad_alloc&) {
    found.index.reset();  // read reports it as not found, its name unknown
  }
  return found;
}

bool PackReader::read(size_t index, std::vector<uint8_t>* content, Error* error) const {
  try {
    if (!state_) return Fail(error, Status::NotOpen("no pack is open"));
    if (index >= state_->place.size()) {
      return state_->noFileAt(index, error);
    }
    Status status = state_->entry(index).loadData(content);  // its checksum included
    if (!status.ok()) {
      return Fail(error, status.prefixed(state_->volumeNames[state_->place[index].first] + ": "));
    }
    return true;
  } catch (const std::bad_alloc&) {
    return Fail(error, Status::OutOfMemory(state_->name + ": out of memory reading file " +
                                           std::to_string(index)));
  }
}

bool PackReader::notFound(const FoundFile& file, Error* error) const {
  try {
    return Fail(error, Status::NotFound((state_ ? state_->name + ": " : std::string()) +
                                        "no file named " + EscapeControls(file.missing)));
  } catch (const std::bad_alloc&) {
    return Fail(error, Status::OutOfMemory("out of memory"));
  }
}

bool PackReader::read(const FoundFile& file, std::vector<uint8_t>* content, Error* error) const {
  return file.index ? read(*file.index, content, error) : notFound(file, error);
}

bool PackReader::readRange(const FoundFile& file, uint64_t offset, void* out, size_t length,
                           Error* error) const {
  return file.index ? readRange(*file.index, offset, out, length, error) : notFound(file, error);
}

bool PackReader::openFile(const FoundFile& found, PackFile* file, Error* error) const {
  return found.index ? openFile(*found.index, file, error) : notFound(found, error);
}

bool PackReader::readRange(size_t index, uint64_t offset, void* out, size_t length,
                           Error* error) const {
  try {
    if (!state_) return Fail(error, Status::NotOpen("no pack is open"));
    if (index >= state_->place.size()) {
      return state_->noFileAt(index, error);
    }
    const PackEntry& entry = state_->entry(index);
    const PackContents& pack = *entry.pack;
    if (offset > entry.size || length > entry.size - offset) {
      return Fail(error, Status::OutOfRange(state_->label(index) + std::to_string(length) +
                                            " bytes from offset " + std::to_string(offset) +
                                            " run past its end (" + std::to_string(entry.size) +
                                            " bytes)"));
    }
    if (length == 0) return true;
    uint8_t* into = static_cast<uint8_t*>(out);
    if (pack.compressionType != CompressionType::Compressed) {
      const int64_t want = static_cast<int64_t>(length);
      Status read =
          pack.stream.readExactAt(entry.offset + static_cast<int64_t>(offset), into, want);
      return read.ok() || Fail(error, ReadFailure(read, state_->label(index) + "cannot be read"));
    }
    const ChunkMap& map = state_->chunkMap(index);
    if (!map.failure.ok()) return Fail(error, map.failure.prefixed(state_->label(index)));
    const ScratchPool::Lease lease = state_->scratch.take();
    Scratch& scratch = *lease;
    const uint64_t end = offset + length;
    for (uint64_t k = offset / ChunkSize; k * ChunkSize < end; ++k) {
      const int64_t stream = map.starts[k] + 4;
      const int64_t streamSize = map.starts[k + 1] - stream;
      Status read = pack.stream.readExactAt(stream, scratch.frame.data(), streamSize);
      if (!read.ok()) {
        return Fail(error, ReadFailure(read, state_->label(index) + "chunk " + std::to_string(k) +
                                                 ": cannot be read"));
      }
      Status decoded =
          DecodeChunk(scratch.codec, k, scratch.frame.data(), static_cast<size_t>(streamSize),
                      ChunkContent(entry.size, k), scratch.chunk.data());
      if (!decoded.ok()) return Fail(error, decoded.prefixed(state_->label(index)));
      const uint64_t from = std::max<uint64_t>(offset, k * ChunkSize);
      const uint64_t to = std::min<uint64_t>(end, (k + 1) * ChunkSize);
      std::memcpy(into + (from - offset), scratch.chunk.data() + (from - k * ChunkSize),
                  static_cast<size_t>(to - from));
    }
    return true;
  } catch (const std::bad_alloc&) {
    return Fail(error, Status::OutOfMemory(state_->name + ": out of memory reading file " +
                                           std::to_string(index)));
  }
}

bool PackReader::openFile(size_t index, PackFile* file, Error* error) const {
  if (!state_) return Fail(error, Status::NotOpen("no pack is open"));
  if (index >= state_->files.size()) {
    return state_->noFileAt(index, error);
  }
  *file = PackFile();
  file->reader_ = this;
  file->index_ = index;
  file->size_ = state_->files[index].size;
  return true;
}

size_t PackFile::read(void* out, size_t length, Error* error) {
  if (reader_ == nullptr) return Fail(error, Status::NotOpen("the file is not open")), 0;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(length, size_ - position_));
  if (!reader_->readRange(index_, position_, out, n, error)) return 0;
  position_ += n;
  return n;
}

bool PackFile::seek(uint64_t position) {
  if (position > size_) return false;
  position_ = position;
  return true;
}

bool WritePack(const std::string& path, const std::vector<FileToPack>& files,
               const PackOptions& options, Error* error) {
  try {
    PackContents pack;
    pack.compressionType =
        options.compress ? CompressionType::Compressed : CompressionType::Uncompressed;
    pack.entries.reserve(files.size());
    for (const FileToPack& file : files) {
      pack.entries.emplace_back();
      pack.entries.back().name = file.name;
    }
    // The names a reader would refuse to extract are refused here, by the same rules.
    const std::vector<ExtractPath> plans = PlanExtraction(pack, {});
    for (size_t i = 0; i < plans.size(); ++i) {
      std::string why = plans[i].refusal;
      if (why.empty() && !plans[i].stripped.empty())
        why = "it starts with \"" + plans[i].stripped + "\"";
      if (!why.empty()) {
        return Fail(error,
                    Status::Refused("Cannot store " + EscapeControls(files[i].name) + ": " + why));
      }
    }
    Status replaceable = CheckReplaceable(path);
    if (!replaceable.ok()) return Fail(error, replaceable);
    for (size_t i = 0; i < files.size(); ++i) {
      int64_t size = 0;
      Status probed = platform::ProbeFile(files[i].path, &size);
      if (!probed.ok()) return Fail(error, probed.prefixed("Failed to open "));
      Status storable = CheckSourceSize(files[i].path, size);
      if (!storable.ok()) return Fail(error, storable);
      pack.entries[i].setSource(files[i].name, files[i].path, static_cast<uint32_t>(size), &pack);
    }
    WriteOptions writeOptions;
    writeOptions.data.verify = options.verify;
    Status written = pack.writeTo(path, writeOptions);
    return written.ok() || Fail(error, written);
  } catch (const std::bad_alloc&) {
    return Fail(error, WriteFailure(path, StatusCode::OutOfMemory, "out of memory"));
  }
}

bool WritePack(const std::string& path, const std::vector<FileToPack>& files,
               const PackOptions& options, std::string* error) {
  Error failure;
  if (WritePack(path, files, options, &failure)) return true;
  if (error != nullptr) *error = failure.message;
  return false;
}

void RemoveTemporaryFilesOnInterrupt() { platform::RemoveTemporaryFilesOnInterrupt(false); }

}  // namespace tarnix

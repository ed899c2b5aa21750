#include "compress/entry_data.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "pack/checksum.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A byte buffer that is allocated once and reused without being cleared.
class Buffer {
 public:
  explicit Buffer(size_t capacity) : data_(new uint8_t[capacity]) {}
  uint8_t* data() { return data_.get(); }
  const uint8_t* data() const { return data_.get(); }
  size_t size = 0;

 private:
  std::unique_ptr<uint8_t[]> data_;
};

// One piece of one entry on its way from the source file to the pack.
struct Job {
  size_t entry = 0;
  size_t chunk = 0;
  bool first = false;
  bool last = false;
  Buffer input{ChunkSize};              // content bytes read
  Buffer output{FramedChunkCapacity};   // framed chunk, compressed packs only
  Buffer decoded{ChunkSize};            // the chunk decoded again, with verify
  bool decodeOk = true;
  // With verify: the chunk decoded to exactly its input bytes (always so for empty input and
  // for uncompressed packs, whose bytes go out as read).
  bool readsBack = true;
  std::string error;  // set when reading or compressing failed
  bool ready = false;  // guarded by the pool's mutex
};

// Compresses (and with verify decodes again) jobs. Jobs finish in any order; the caller takes
// them back in its own order with waitFor, and while it waits it compresses queued jobs itself,
// so `threads` threads in all (the caller included) do the work and none sits idle.
class WorkerPool {
 public:
  WorkerPool(unsigned threads, const EntryDataOptions& options) : options_(options) {
    for (unsigned i = 1; i < threads; ++i) workers_.emplace_back([this] { run(); });
  }
  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    workCv_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  void submit(Job* job) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job->ready = false;
      queue_.push_back(job);
    }
    if (!workers_.empty()) workCv_.notify_one();
  }

  void markReady(Job* job) {
    std::lock_guard<std::mutex> lock(mutex_);
    job->ready = true;
  }

  void waitFor(Job* job) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!job->ready) {
      if (!queue_.empty()) {
        processNext(callerCodec_, lock);
        continue;
      }
      callerWaiting_ = true;
      doneCv_.wait(lock);
      callerWaiting_ = false;
    }
  }

 private:
  void run() {
    ChunkCodec codec;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      workCv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      processNext(codec, lock);
      // Waking the caller costs a context switch; only do it when it is waiting.
      if (callerWaiting_) doneCv_.notify_one();
    }
  }

  // Takes the first queued job and processes it with the lock released; `lock` holds the
  // pool's mutex on entry and on return.
  void processNext(ChunkCodec& codec, std::unique_lock<std::mutex>& lock) {
    Job* job = queue_.front();
    queue_.pop_front();
    lock.unlock();
    process(codec, job);
    lock.lock();
    job->ready = true;
  }

  void process(ChunkCodec& codec, Job* job) {
    job->output.size = codec.encode(job->input.data(), job->input.size, job->output.data());
    if (job->output.size == 0) {
      job->error = "out of memory while compressing";
      return;
    }
    if (options_.chunkHook) {
      options_.chunkHook(job->entry, job->chunk, job->output.data(), job->output.size);
    }
    // A reader stops once it has an entry's size in bytes, so a chunk of empty input (the
    // trailing one) is never decoded; the check decodes what a reader would.
    job->decoded.size = 0;
    if (!options_.verify || job->input.size == 0) return;
    size_t produced = 0;
    const uint8_t* framed = job->output.data();
    job->decodeOk = job->output.size >= 4 && LoadU32(framed) == job->output.size - 4 &&
                    codec.decode(framed + 4, job->output.size - 4, job->decoded.data(),
                                 ChunkSize, &produced);
    job->decoded.size = job->decodeOk ? produced : 0;
    // Comparing here, on the compression threads, spares the writing thread a second
    // checksum over every byte whenever the data reads back, which is almost always.
    job->readsBack = job->decodeOk && produced == job->input.size &&
                     std::memcmp(job->decoded.data(), job->input.data(), produced) == 0;
  }

  const EntryDataOptions& options_;
  ChunkCodec callerCodec_;
  std::mutex mutex_;
  std::condition_variable workCv_;
  std::condition_variable doneCv_;
  std::deque<Job*> queue_;
  bool stopping_ = false;
  bool callerWaiting_ = false;
  std::vector<std::thread> workers_;
};

// Reads the sources one piece at a time, in order; each file is open only while it is read.
class SourceReader {
 public:
  explicit SourceReader(const std::vector<EntrySource>& sources) : sources_(sources) {}

  bool done() const { return stopped_ || entry_ >= sources_.size(); }

  void fill(Job* job) {
    const EntrySource& source = sources_[entry_];
    job->entry = entry_;
    job->chunk = chunk_;
    job->first = chunk_ == 0;
    job->last = false;
    job->error.clear();
    job->output.size = 0;
    job->decoded.size = 0;
    job->decodeOk = true;
    job->readsBack = true;
    job->input.size = 0;
    if (chunk_ == 0) {
      readSoFar_ = 0;
      if (!stream_.open(source.path, OpenMode::Read)) {
        fail(job, "Failed to open " + source.path + ": " +
                      platform::ErrorString(stream_.errorNumber()));
        return;
      }
    }
    int64_t n = stream_.read(job->input.data(), static_cast<int64_t>(ChunkSize));
    if (stream_.hasIoError()) {
      fail(job, "Failed to read " + source.path + ": " +
                    platform::ErrorString(stream_.errorNumber()));
      return;
    }
    job->input.size = static_cast<size_t>(n);
    readSoFar_ += static_cast<uint64_t>(n);
    bool atEnd = n < static_cast<int64_t>(ChunkSize);
    if (readSoFar_ > source.size || (atEnd && readSoFar_ != source.size)) {
      fail(job, source.path + " changed while it was being packed: listed with " +
                    std::to_string(source.size) + " bytes, now " +
                    (atEnd ? std::to_string(readSoFar_) : "more") + " bytes");
      return;
    }
    if (atEnd) {
      job->last = true;
      stream_.close();
      ++entry_;
      chunk_ = 0;
    } else {
      ++chunk_;
    }
  }

 private:
  void fail(Job* job, std::string message) {
    job->error = std::move(message);
    job->last = true;
    stream_.close();
    stopped_ = true;
  }

  const std::vector<EntrySource>& sources_;
  size_t entry_ = 0;
  size_t chunk_ = 0;
  uint64_t readSoFar_ = 0;
  BinaryStream stream_;
  bool stopped_ = false;
};

// Takes finished jobs in order and puts them into the pack.
class EntryAssembler {
 public:
  EntryAssembler(const std::vector<EntrySource>& sources, CompressionType type,
                 BinaryStream& out, const EntryDataOptions& options,
                 const std::function<void(size_t)>& onEntryStart,
                 std::vector<StoredEntryData>* stored)
      : sources_(sources), compressed_(type == CompressionType::Compressed), out_(out),
        options_(options), onEntryStart_(onEntryStart), stored_(stored) {}

  bool take(const Job& job, std::string* errorText) {
    if (job.first) {
      if (onEntryStart_) onEntryStart_(job.entry);
      dataChecksum_ = EmptyChecksum;
      storedSize_ = 0;
      diverged_ = false;
      decodeFailed_ = false;
    }
    if (!job.error.empty()) {
      *errorText = job.error;
      return false;
    }
    if (options_.verify && !diverged_ && !job.readsBack) {
      // From here on the read-back bytes differ from the data: follow them separately.
      diverged_ = true;
      savedChecksum_ = dataChecksum_;
    }
    dataChecksum_ = Checksum32Update(dataChecksum_, job.input.data(), job.input.size);
    if (diverged_) {
      savedChecksum_ = Checksum32Update(savedChecksum_, job.decoded.data(), job.decoded.size);
      if (!job.decodeOk) decodeFailed_ = true;
    }
    const Buffer& bytes = compressed_ ? job.output : job.input;
    if (written_ + static_cast<int64_t>(bytes.size) > options_.outputLimit) {
      *errorText = "Failed to write " + options_.outputName +
                   ": the pack would reach 2 GiB, the largest the format can hold";
      return false;
    }
    if (!out_.write(bytes.data(), static_cast<int64_t>(bytes.size))) {
      *errorText = "Failed to write " + options_.outputName + ": " +
                   platform::ErrorString(out_.errorNumber());
      return false;
    }
    written_ += static_cast<int64_t>(bytes.size);
    storedSize_ += static_cast<uint32_t>(bytes.size);
    if (!job.last) return true;

    (*stored_)[job.entry] = StoredEntryData{dataChecksum_, storedSize_};
    // The read-back checksum equals the data's until a chunk reads back differently.
    if (diverged_ && (decodeFailed_ || savedChecksum_ != dataChecksum_)) {
      *errorText = "Failed to verify " + sources_[job.entry].name + " (data: " +
                   std::to_string(dataChecksum_) + ", saved: " + std::to_string(savedChecksum_) +
                   ")";
      return false;
    }
    return true;
  }

 private:
  const std::vector<EntrySource>& sources_;
  bool compressed_;
  BinaryStream& out_;
  const EntryDataOptions& options_;
  const std::function<void(size_t)>& onEntryStart_;
  std::vector<StoredEntryData>* stored_;
  int64_t written_ = 0;
  uint32_t dataChecksum_ = EmptyChecksum;
  uint32_t savedChecksum_ = EmptyChecksum;
  uint32_t storedSize_ = 0;
  bool diverged_ = false;
  bool decodeFailed_ = false;
};

}  // namespace

bool WriteEntryData(const std::vector<EntrySource>& sources, CompressionType type,
                    BinaryStream& out, const EntryDataOptions& options,
                    const std::function<void(size_t)>& onEntryStart,
                    std::vector<StoredEntryData>* stored, std::string* errorText) {
  stored->assign(sources.size(), StoredEntryData{});
  if (sources.empty()) return true;
  const bool compressed = type == CompressionType::Compressed;
  unsigned threads = options.threads != 0 ? options.threads : platform::CpuCount();
  unsigned window = options.chunksInFlight != 0 ? options.chunksInFlight
                                                : std::max(8u, threads * 16);

  // The ring outlives the pool, whose destructor waits for jobs still being compressed.
  std::vector<Job> ring(window);
  WorkerPool pool(compressed ? threads : 0, options);
  SourceReader reader(sources);
  EntryAssembler assembler(sources, type, out, options, onEntryStart, stored);

  uint64_t submitted = 0;
  uint64_t taken = 0;
  for (;;) {
    while (!reader.done() && submitted - taken < window) {
      Job* job = &ring[submitted % window];
      reader.fill(job);
      if (compressed && job->error.empty()) {
        pool.submit(job);
      } else {
        pool.markReady(job);
      }
      ++submitted;
    }
    if (taken == submitted) return true;
    Job* job = &ring[taken % window];
    pool.waitFor(job);
    if (!assembler.take(*job, errorText)) return false;
    ++taken;
  }
}

bool ReadEntryData(BinaryStream& stream, CompressionType type, uint32_t size,
                   const ContentSink& sink, std::string* errorText) {
  std::vector<uint8_t> piece(ChunkSize);
  uint32_t remaining = size;
  if (type == CompressionType::Uncompressed) {
    while (remaining > 0) {
      int64_t want = std::min<int64_t>(remaining, static_cast<int64_t>(ChunkSize));
      int64_t got = stream.read(piece.data(), want);
      if (got != want) {
        *errorText = "data ends " + std::to_string(remaining - got) + " bytes short of the entry";
        return false;
      }
      if (!sink(piece.data(), static_cast<size_t>(got))) return false;
      remaining -= static_cast<uint32_t>(got);
    }
    return true;
  }
  if (type != CompressionType::Compressed) {
    *errorText = "unknown compression type " + std::to_string(static_cast<int>(type));
    return false;
  }
  ChunkCodec codec;
  std::vector<uint8_t> input(MaxChunkStreamSize);
  for (size_t chunk = 0; remaining > 0; ++chunk) {
    const std::string where = "chunk " + std::to_string(chunk) + ": ";
    uint8_t lengthBytes[4];
    if (stream.read(lengthBytes, 4) != 4) {
      *errorText = where + "data ends before the chunk's length";
      return false;
    }
    uint32_t length = LoadU32(lengthBytes);
    if (length > MaxChunkStreamSize) {
      *errorText = where + "length " + std::to_string(length) + " exceeds " +
                   std::to_string(MaxChunkStreamSize);
      return false;
    }
    int64_t got = stream.read(input.data(), length);
    if (got != static_cast<int64_t>(length)) {
      *errorText = where + "length " + std::to_string(length) + " runs past the end of the data";
      return false;
    }
    // Room is what the entry still needs, so a chunk cannot run past the entry's size.
    size_t room = std::min<size_t>(remaining, ChunkSize);
    size_t produced = 0;
    if (!codec.decode(input.data(), length, piece.data(), room, &produced)) {
      *errorText = where + "corrupt, or decodes to nothing or more than the entry holds";
      return false;
    }
    if (!sink(piece.data(), produced)) return false;
    remaining -= static_cast<uint32_t>(produced);
  }
  return true;
}

bool ReadEntryData(BinaryStream& stream, CompressionType type, uint32_t size,
                   std::vector<uint8_t>* content, std::string* errorText) {
  content->clear();
  // Reserve in steps rather than trusting `size`, which may come from a damaged table.
  return ReadEntryData(
      stream, type, size,
      [content](const uint8_t* data, size_t n) {
        content->insert(content->end(), data, data + n);
        return true;
      },
      errorText);
}

}  // namespace tarnix

// The entry pipeline: WriteEntryData, which turns the listed files into their stored forms.
//
// Who does what. One thread, the caller's (the writing thread), reads and writes; every other
// thread only compresses. The feeder, on the writing thread, cuts the entries into jobs of one
// chunk each, in pack order: it reads a chunk's ChunkSize bytes from its source, or a framed
// chunk of the replaced pack's stored form. Each job goes to the worker pool, whose helpers
// (and the writing thread, whenever it would otherwise wait) compress it, or decode it when it
// is a copy or when -v asks. The assembler, on the writing thread again, takes the jobs back in
// the order they were cut and writes them out. So the pack's bytes are the same for any thread
// count, and a tree of small files keeps every core busy as one large file does.
//
// What bounds memory. Jobs live in a ring of `chunksInFlight` slots, each with three buffers of
// about a chunk; the feeder cuts a new job only into a slot the assembler has emptied, so
// memory is bounded by the ring, never by the size of a file. Nothing holds a whole entry.
//
// How a redo rewinds. A copied entry is trusted only once it has read back: every chunk decoded
// to its count of bytes and the checksum of the content matched the table's (or, for a trusted
// copy, the checksum of its stored bytes matched the state record's). When it does not, the
// assembler reports a redo: the jobs cut after it are drained and dropped, the output is put
// back to where the entry began, and the feeder starts the entry again from its source file.
// Only the rewound entry is stored afresh; the entries after it may still be copied.
#include "compress/entry_pipeline.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "base/worker_pool.h"
#include "compress/entry_reader.h"
#include "format/format.h"
#include "io/little_endian.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

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

// One chunk of one entry on its way from its source file (or the replaced pack) to the pack.
// The feeder fills a job, one worker processes it, the assembler takes it; the pool's `ready`
// flag hands it from one to the next, so no field is touched by two threads at once. "Feeder"
// and "assembler" both mean the writing thread.
struct Job {
  // Written by the feeder; read by the worker and the assembler.
  size_t entry = 0;
  size_t chunk = 0;
  bool last = false;
  bool copied = false;     // taken from the replaced pack's stored form
  bool trusted = false;    // a copy whose stored bytes' checksum is known: not decoded
  bool needsWork = false;  // to be compressed or decoded on a worker
  size_t expected = 0;     // content bytes a copied chunk must decode to
  Status error;            // reading the source failed
  // Written by the feeder (content read; a copy's or a reusable chunk's framed bytes), then by
  // the worker (the compressed chunk); read by the assembler.
  Buffer input{ChunkSize};             // content bytes read
  Buffer output{FramedChunkCapacity};  // framed chunk, compressed packs only
  // Written by the worker; read by the assembler.
  Buffer decoded{ChunkSize};  // the chunk decoded again: with verify, or a copy's
  bool decodeOk = true;       // also cleared by the feeder for a copy it cannot read
  // With verify: the chunk decoded to exactly its input bytes (always so for empty input and
  // for uncompressed packs, whose bytes go out as read).
  bool readsBack = true;
  bool outOfMemory = false;  // on a worker, where it cannot be thrown
  // Only the worker pool touches this, under its mutex.
  bool ready = false;
};

// Decodes the job's framed chunk into `decoded`, by the entry reader's rules: it must give
// exactly `expected` bytes.
bool DecodeFramed(ChunkCodec& codec, Job* job, size_t expected) {
  const uint8_t* framed = job->output.data();
  bool ok = job->output.size >= 4 + MinChunkStreamSize && LoadU32(framed) == job->output.size - 4 &&
            DecodeChunk(codec, job->chunk, framed + 4, job->output.size - 4, expected,
                        job->decoded.data())
                .ok();
  job->decoded.size = ok ? expected : 0;
  return ok;
}

bool DecodesToInput(ChunkCodec& codec, Job* job) {
  return DecodeFramed(codec, job, job->input.size) &&
         std::memcmp(job->decoded.data(), job->input.data(), job->input.size) == 0;
}

// A worker's part: compress the job's content, or decode a copy.
void ProcessJob(const EntryDataOptions& options, ChunkCodec& codec, Job* job) {
  if (job->copied) {
    if (!job->trusted) job->decodeOk = DecodeFramed(codec, job, job->expected);
    return;
  }
  // Decoding costs a tenth of compressing: a chunk of the replaced pack, put in `output` when
  // there is one, that holds exactly these bytes is kept, and is then known to read back (an
  // empty output never decodes).
  if (DecodesToInput(codec, job)) return;
  job->output.size = codec.encode(job->input.data(), job->input.size, job->output.data());
  if (job->output.size == 0) {
    job->outOfMemory = true;  // the compressor's state could not be had
    return;
  }
  if (options.observer != nullptr) {
    options.observer->chunkCompressed(job->entry, job->chunk, job->output.data(), job->output.size);
  }
  job->decoded.size = 0;
  if (!options.verify) return;
  // Comparing here, on the compression threads, spares the writing thread a second
  // checksum over every byte whenever the data reads back, which is almost always.
  job->readsBack = DecodesToInput(codec, job);
}

using ChunkPool = WorkerPool<Job, ChunkCodec>;

// Reads the entries one piece at a time, in order: from each source file, open only while it
// is read, or from the stored form of the replaced pack.
class EntryFeeder {
 public:
  EntryFeeder(const std::vector<EntryToWrite>& sources, bool compressed,
              const EntryDataOptions& options)
      : sources_(sources), compressed_(compressed), options_(options) {}

  bool done() const { return stopped_ || entry_ >= sources_.size(); }

  // Goes back to the start of entry `index`, which is to be read from its source this time.
  void restart(size_t index) {
    stream_.close().ok();
    entry_ = index;
    chunk_ = 0;
    fresh_ = index;
    stopped_ = false;  // a failure met further on was read ahead of its turn
  }

  void fill(Job* job) {
    job->entry = entry_;
    job->chunk = chunk_;
    job->last = false;
    job->error = Status();
    job->outOfMemory = false;
    job->input.size = 0;
    job->output.size = 0;
    job->decoded.size = 0;
    job->expected = 0;
    job->decodeOk = true;
    job->readsBack = true;
    const EntryToWrite& source = sources_[entry_];
    job->copied = source.copy.reuse == Reuse::Whole && entry_ != fresh_;
    job->trusted = job->copied && compressed_ && source.copy.storedChecksum.has_value();
    if (job->copied) {
      fillFromCopy(source.copy, source.size, job);
    } else {
      fillFromSource(job);
    }
    job->needsWork = compressed_ && job->error.ok() && job->decodeOk && !job->trusted;
    if (!job->last) {
      ++chunk_;
      return;
    }
    if (source.copy.reuse != Reuse::None) release(source.copy);
    stream_.close().ok();
    ++entry_;
    chunk_ = 0;
  }

 private:
  void fillFromSource(Job* job) {
    const EntryToWrite& source = sources_[entry_];
    if (chunk_ == 0) {
      readSoFar_ = 0;
      if (!stream_.open(source.path, OpenMode::Read))
        return fail(job, stream_.status().prefixed("Failed to open "));
    }
    int64_t n = stream_.read(job->input.data(), static_cast<int64_t>(ChunkSize));
    if (!stream_.status().ok()) return fail(job, stream_.status().prefixed("Failed to read "));
    job->input.size = static_cast<size_t>(n);
    readSoFar_ += static_cast<uint64_t>(n);
    job->last = n < static_cast<int64_t>(ChunkSize);
    if (readSoFar_ > source.size || (job->last && readSoFar_ != source.size)) {
      return fail(job, Status::Io(source.path + " changed while it was being packed: listed with " +
                                  std::to_string(source.size) + " bytes, now " +
                                  (job->last ? std::to_string(readSoFar_) : "more") + " bytes"));
    }
    if (compressed_ && source.copy.reuse == Reuse::Chunks && entry_ != fresh_) {
      offerChunk(source.copy, job);
    }
  }

  // Reading stops at the failure: whatever the job then says, nothing after it is written.
  void fail(Job* job, Status failure) {
    job->error = std::move(failure);
    stopped_ = true;
  }

  // Reads the next framed chunk of a stored form that ends at `end` into the job's output: its
  // size, or 0 when it is not there as the entry reader's rules want it.
  size_t readFramed(const BinaryStream& pack, int64_t end, Job* job) {
    uint8_t* framed = job->output.data();
    if (copyPosition_ + 4 > end || !pack.readExactAt(copyPosition_, framed, 4).ok()) return 0;
    const uint32_t length = LoadU32(framed);
    if (!CheckChunkLength(job->chunk, length, end - copyPosition_ - 4, "").ok() ||
        !pack.readExactAt(copyPosition_ + 4, framed + 4, length).ok()) {
      return 0;
    }
    copyPosition_ += 4 + length;
    return 4 + length;
  }

  // Puts the replaced pack's next chunk of this entry in the job, for the worker to keep if it
  // holds the same bytes.
  void offerChunk(const StoredCopy& copy, Job* job) {
    const int64_t end = static_cast<int64_t>(copy.offset) + copy.length;
    if (job->chunk == 0) copyPosition_ = copy.offset;
    // The stored entry has no chunk past its own count.
    job->output.size = job->chunk < ChunkCount(copy.size) ? readFramed(*copy.pack, end, job) : 0;
    if (job->output.size == 0) copyPosition_ = end;  // the rest of this entry is compressed
  }

  // A copy that cannot be read as it should does not read back, and its entry is then stored
  // afresh.
  void fillFromCopy(const StoredCopy& copy, uint32_t size, Job* job) {
    const BinaryStream& pack = *copy.pack;
    const int64_t end = static_cast<int64_t>(copy.offset) + copy.length;
    if (chunk_ == 0) {
      readSoFar_ = 0;
      copyPosition_ = copy.offset;
    }
    bool read = false;
    if (compressed_) {
      job->output.size = readFramed(pack, end, job);
      job->expected = ChunkContent(size, job->chunk);
      job->last = job->chunk + 1 == ChunkCount(size);
      // The last chunk ends exactly where the entry's room does.
      read = job->output.size > 0 && (!job->last || copyPosition_ == end);
    } else {
      const int64_t want = std::min<int64_t>(ChunkSize, static_cast<int64_t>(size - readSoFar_));
      read = copy.length == size && copyPosition_ + want <= end &&
             pack.readExactAt(copyPosition_, job->input.data(), want).ok();
      job->input.size = static_cast<size_t>(want);
      readSoFar_ += static_cast<uint64_t>(want);
      copyPosition_ += want;
      job->last = readSoFar_ == size;
    }
    if (!read) {
      job->decodeOk = false;
      job->last = true;
    }
  }

  // The replaced pack goes once the new one is done, and what has been read of it is not
  // needed again (a copy that fails to read back costs the entries after it a read from disk).
  // Its cache is let go as reading goes on, so that the new pack's pages take memory just
  // freed rather than more: on a virtual machine whose host takes back free memory, writing to
  // fresh pages costs more than the copying itself. Only whole blocks of the cache can go,
  // hence aligned runs.
  void release(const StoredCopy& copy) {
    if (copy.offset != releaseEnd_ || copy.pack != releasePack_) {
      releaseStart_ = copy.offset;
      releasePack_ = copy.pack;
    }
    releaseEnd_ = static_cast<int64_t>(copy.offset) + copy.length;
    const int64_t through = releaseEnd_ & ~(ReleaseStep - 1);
    if (through - releaseStart_ >= ReleaseStep) {
      releasePack_->dropCached(releaseStart_, through - releaseStart_);
      if (options_.observer != nullptr) {
        options_.observer->cacheReleased(releaseStart_, through - releaseStart_);
      }
      releaseStart_ = through;
    }
  }

  static constexpr int64_t ReleaseStep = 2 << 20;

  const std::vector<EntryToWrite>& sources_;
  const bool compressed_;
  const EntryDataOptions& options_;
  size_t entry_ = 0;
  size_t chunk_ = 0;
  std::optional<size_t> fresh_;  // the entry being stored afresh after its copy failed
  uint64_t readSoFar_ = 0;
  int64_t copyPosition_ = 0;
  BinaryStream stream_;
  bool stopped_ = false;
  const BinaryStream* releasePack_ = nullptr;
  int64_t releaseStart_ = 0;
  int64_t releaseEnd_ = -1;
};

constexpr int64_t WritebackStep = 8 << 20;

// Takes finished jobs in order and puts them into the pack.
class EntryAssembler {
 public:
  enum class Outcome { Next, Redo, Failed };

  EntryAssembler(const std::vector<EntryToWrite>& sources, CompressionType type, BinaryStream& out,
                 const EntryDataOptions& options, const std::function<void(size_t)>& onEntryStart,
                 std::vector<StoredEntryData>* stored)
      : sources_(sources),
        compressed_(type == CompressionType::Compressed),
        out_(out),
        options_(options),
        onEntryStart_(onEntryStart),
        stored_(stored),
        startPosition_(out.tell()) {}

  Outcome take(const Job& job, Status* failure) {
    if (job.chunk == 0) startEntry(job.entry);
    if (job.outOfMemory) {
      *failure = WriteFailure(options_.outputName, StatusCode::OutOfMemory, "out of memory");
      return Outcome::Failed;
    }
    if (!job.error.ok()) {
      *failure = job.error;
      return Outcome::Failed;
    }
    if (job.copied ? !takeCopied(job) : !takeFresh(job)) return Outcome::Redo;
    const Buffer& bytes = compressed_ ? job.output : job.input;
    if (written_ + static_cast<int64_t>(bytes.size) > options_.outputLimit) {
      *failure = WriteFailure(options_.outputName, StatusCode::Refused, TooLarge);
      return Outcome::Failed;
    }
    if (!out_.write(bytes.data(), static_cast<int64_t>(bytes.size))) {
      *failure = WriteFailure(options_.outputName, out_);
      return Outcome::Failed;
    }
    written_ += static_cast<int64_t>(bytes.size);
    storedSize_ += static_cast<uint32_t>(bytes.size);
    storedChecksum_ = Checksum32Update(storedChecksum_, bytes.data(), bytes.size);
    // Writing back as it goes leaves little for the sync before the pack is put in place.
    if (written_ >= writtenBack_ + WritebackStep) {
      out_.startWriteback();
      writtenBack_ = written_;
    }
    if (!job.last) return Outcome::Next;
    return job.copied ? finishCopied(job.entry, job.trusted) : finishFresh(job.entry, failure);
  }

  // Puts the output back to where the current entry began, to store it again.
  void rewind() {
    written_ = entryStart_;
    out_.seek(startPosition_ + written_);
    rewound_ = true;
  }

  // After a rewind, what was written of a longer stored form may lie past the end.
  bool finish() { return !rewound_ || out_.truncate(startPosition_ + written_); }

 private:
  void startEntry(size_t entry) {
    if (entry != announced_ && onEntryStart_) onEntryStart_(entry);
    announced_ = entry;
    entryStart_ = written_;
    storedSize_ = 0;
    storedChecksum_ = EmptyChecksum;
    dataChecksum_ = EmptyChecksum;
    savedChecksum_ = EmptyChecksum;
    decodedBytes_ = 0;
    diverged_ = false;
  }

  // A copied piece counts only while it decodes and stays within the entry's size. A trusted
  // one is not decoded: its stored bytes' checksum is compared at the end instead.
  bool takeCopied(const Job& job) {
    if (job.trusted) {
      decodedBytes_ += job.expected;
      return job.decodeOk && decodedBytes_ <= sources_[job.entry].size;
    }
    const Buffer& content = compressed_ ? job.decoded : job.input;
    decodedBytes_ += content.size;
    savedChecksum_ = Checksum32Update(savedChecksum_, content.data(), content.size);
    return job.decodeOk && decodedBytes_ <= sources_[job.entry].size;
  }

  bool takeFresh(const Job& job) {
    if (options_.verify && !diverged_ && !job.readsBack) {
      // From here on the read-back bytes differ from the data: follow them separately.
      diverged_ = true;
      savedChecksum_ = dataChecksum_;
    }
    dataChecksum_ = Checksum32Update(dataChecksum_, job.input.data(), job.input.size);
    // A chunk that did not decode adds no bytes to the read-back checksum.
    if (diverged_)
      savedChecksum_ = Checksum32Update(savedChecksum_, job.decoded.data(), job.decoded.size);
    return true;
  }

  Outcome finishCopied(size_t entry, bool trusted) {
    const EntryToWrite& source = sources_[entry];
    const bool provedAgain = trusted ? storedChecksum_ == *source.copy.storedChecksum
                                     : savedChecksum_ == source.copy.checksum;
    if (decodedBytes_ != source.size || !provedAgain) return Outcome::Redo;
    (*stored_)[entry] = StoredEntryData{source.copy.checksum, storedSize_, storedChecksum_, true};
    return Outcome::Next;
  }

  Outcome finishFresh(size_t entry, Status* failure) {
    (*stored_)[entry] = StoredEntryData{dataChecksum_, storedSize_, storedChecksum_};
    // Any chunk that did not read back fails the entry, even one whose difference leaves the
    // checksum as it was (an empty last chunk that does not decode).
    if (diverged_) {
      *failure = Status::Damaged("Failed to verify " + sources_[entry].name +
                                 " (data: " + std::to_string(dataChecksum_) +
                                 ", saved: " + std::to_string(savedChecksum_) + ")");
      return Outcome::Failed;
    }
    return Outcome::Next;
  }

  const std::vector<EntryToWrite>& sources_;
  const bool compressed_;
  BinaryStream& out_;
  const EntryDataOptions& options_;
  const std::function<void(size_t)>& onEntryStart_;
  std::vector<StoredEntryData>* stored_;
  const int64_t startPosition_;
  int64_t written_ = 0;
  int64_t writtenBack_ = 0;
  int64_t entryStart_ = 0;
  size_t announced_ = static_cast<size_t>(-1);
  bool rewound_ = false;
  uint32_t storedSize_ = 0;
  uint32_t dataChecksum_ = EmptyChecksum;
  uint32_t storedChecksum_ = EmptyChecksum;  // of the bytes written for the entry
  uint32_t savedChecksum_ = EmptyChecksum;
  uint64_t decodedBytes_ = 0;
  bool diverged_ = false;
};

// The pipeline itself; allocation failures on this thread leave it as bad_alloc, which
// WriteEntryData turns into a result.
Status RunPipeline(const std::vector<EntryToWrite>& entries, CompressionType type,
                   BinaryStream& out, const EntryDataOptions& options,
                   const std::function<void(size_t)>& onEntryStart,
                   std::vector<StoredEntryData>* stored) {
  const bool compressed = type == CompressionType::Compressed;
  unsigned threads = options.threads != 0 ? options.threads : platform::CpuCount();
  unsigned window =
      options.chunksInFlight != 0 ? options.chunksInFlight : std::max(8u, threads * 16);

  // The ring outlives the pool, whose destructor waits for jobs still being worked on.
  std::vector<Job> ring(window);
  ChunkPool pool(compressed ? threads : 0, [&options](ChunkCodec& codec, Job* job) {
    try {
      ProcessJob(options, codec, job);
    } catch (const std::bad_alloc&) {
      job->outOfMemory = true;  // the assembler reports it in the job's turn
    }
  });
  EntryFeeder feeder(entries, compressed, options);
  EntryAssembler assembler(entries, type, out, options, onEntryStart, stored);

  uint64_t submitted = 0;
  uint64_t taken = 0;
  for (;;) {
    while (!feeder.done() && submitted - taken < window) {
      Job* job = &ring[submitted % window];
      feeder.fill(job);
      if (job->needsWork) {
        pool.submit(job);
      } else {
        pool.markReady(job);
      }
      ++submitted;
    }
    if (taken == submitted) break;
    Job* job = &ring[taken++ % window];
    pool.waitFor(job);
    Status failure;
    switch (assembler.take(*job, &failure)) {
      case EntryAssembler::Outcome::Next: break;
      case EntryAssembler::Outcome::Failed: return failure;
      case EntryAssembler::Outcome::Redo: {
        // The copy did not read back: drop what was read after it and store it afresh.
        const size_t entry = job->entry;
        while (taken < submitted) pool.waitFor(&ring[taken++ % window]);
        feeder.restart(entry);
        assembler.rewind();
        break;
      }
    }
  }
  if (!assembler.finish()) return WriteFailure(options.outputName, out);
  return Status();
}

}  // namespace

EntryToRead CopyToRead(const StoredCopy& copy, CompressionType type) {
  EntryToRead read;
  read.type = type;
  read.size = copy.size;
  read.checksum = copy.checksum;
  read.offset = copy.offset;
  read.room = copy.length;
  return read;
}

Status WriteEntryData(const std::vector<EntryToWrite>& entries, CompressionType type,
                      BinaryStream& out, const EntryDataOptions& options,
                      const std::function<void(size_t)>& onEntryStart,
                      std::vector<StoredEntryData>* stored) {
  try {
    stored->assign(entries.size(), StoredEntryData{});
    if (entries.empty()) return Status();
    return RunPipeline(entries, type, out, options, onEntryStart, stored);
  } catch (const std::bad_alloc&) {
    return WriteFailure(options.outputName, StatusCode::OutOfMemory, "out of memory");
  }
}

}  // namespace tarnix

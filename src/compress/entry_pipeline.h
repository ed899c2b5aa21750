// Writes the stored form of entries. In an uncompressed pack an entry is its bytes as they are.
// In a compressed pack it is a run of chunks, each a 4-byte little-endian length and one
// independent zlib stream of at most ChunkSize content bytes; every chunk is full but the
// last, which holds the rest, and is the stream of empty input when the size is a whole
// multiple of ChunkSize (0 included). The pipeline's design is at the top of
// entry_pipeline.cpp; what it reads back goes through the entry reader (entry_reader.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "compress/chunk_codec.h"
#include "compress/entry_reader.h"
#include "format/format.h"
#include "io/binary_stream.h"

namespace tarnix {

// What a new entry may take from the pack it replaces.
enum class Reuse {
  None,    // stored afresh from its source
  Whole,   // the same content: the stored form is copied whole, without reading the source
  Chunks,  // other content: each stored chunk that decodes to exactly its new bytes is kept
};

// The same entry in the replaced pack, of the same compression type, whose stored form may be
// copied rather than made again. Nothing copied is trusted: it is read by the entry reader's
// rules on the way, and a copy that breaks one is stored afresh from its source.
struct StoredCopy {
  Reuse reuse = Reuse::None;
  const BinaryStream* pack = nullptr;  // the replaced pack, open for reading
  uint32_t offset = 0;
  uint32_t length = 0;  // bytes of stored form, as its layout found them
  uint32_t size = 0;    // content bytes it holds
  // Its recorded checksum; with Reuse::Whole, the one the source was found to have.
  uint32_t checksum = 0;
  // With Reuse::Whole: the checksum of exactly these stored bytes as this tool wrote and proved
  // them, where a state record keeps it. A copy whose bytes give it is not decoded again.
  std::optional<uint32_t> storedChecksum;
};

// The copy's stored form as the entry reader reads it: filling exactly its `length` bytes.
EntryToRead CopyToRead(const StoredCopy& copy, CompressionType type);

// One file whose content goes into the pack.
struct EntryToWrite {
  std::string name;   // the stored name, for messages
  std::string path;   // where to read the content
  uint32_t size = 0;  // as taken when the file was listed; any other length fails the write
  StoredCopy copy;
};

// What writing an entry's data found out.
struct StoredEntryData {
  uint32_t checksum = 0;        // of exactly the content stored
  uint32_t storedSize = 0;      // bytes written for the entry
  uint32_t storedChecksum = 0;  // of those bytes
  bool copied = false;          // taken whole from the replaced pack, and proved there
};

// Sees the pipeline's work from inside, for whoever must check it: tests count chunks, damage
// or fail them, and watch the cache being let go through one. Must not throw but where it
// means to (an allocation failing), and must bear calls from the threads named.
class PipelineObserver {
 public:
  virtual ~PipelineObserver() = default;
  // From a compression thread: each framed chunk once compressed, before it is checked or
  // written; it may change the bytes.
  virtual void chunkCompressed(size_t entry, size_t chunk, uint8_t* framed, size_t size) = 0;
  // From the thread that reads the sources: each run of a replaced pack whose cache is let go.
  virtual void cacheReleased(int64_t offset, int64_t length) = 0;
};

struct EntryDataOptions {
  // Decode every stored chunk again and compare checksums.
  bool verify = false;
  // Threads that compress, the calling one included; 0 means one per core.
  unsigned threads = 0;
  // Chunks being read, compressed or written at once; bounds memory. 0 picks a default.
  unsigned chunksInFlight = 0;
  // Bytes that may be written through the output stream in all; beyond it the write fails.
  int64_t outputLimit = MaxPackSize;
  // Names the output in messages.
  std::string outputName;
  // Watches the work from inside, where given; not owned.
  PipelineObserver* observer = nullptr;
};

// Writes the stored form of each source, in order and back to back, at `out`'s position.
// Each file is read once, in pieces of ChunkSize, and its checksum is taken over exactly the
// bytes stored; a source with a StoredCopy that reads back is not read at all, and one whose
// copy does not is stored afresh. `onEntryStart(k)` runs on the calling thread once, when
// entry k's data starts to go out. On failure the message names the file and the reason;
// output may then have been written in part.
Status WriteEntryData(const std::vector<EntryToWrite>& entries, CompressionType type,
                      BinaryStream& out, const EntryDataOptions& options,
                      const std::function<void(size_t)>& onEntryStart,
                      std::vector<StoredEntryData>* stored);

}  // namespace tarnix

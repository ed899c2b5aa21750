// The one rulebook for an entry's stored form. Every path that accepts, copies or serves stored
// bytes (the up-to-date decision, the re-pack's copies, the read-back check, tarnix-inspect and
// the library's reader) applies these rules, so that what one path takes another can read.
//
// A compressed entry of `size` bytes is exactly ChunkCount(size) chunks, each a 4-byte length
// between MinChunkStreamSize and MaxChunkStreamSize and one zlib stream that fills its frame
// and decodes to ChunkContent(size, k) bytes; the chunks end exactly where the entry's room
// ends. An uncompressed entry is its `size` bytes and fills its room exactly.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "compress/chunk_codec.h"
#include "format/format.h"
#include "io/binary_stream.h"

namespace tarnix {

// "chunk K: " and the reason when a length field breaks the rules; `room` is what the entry has
// left after the field, and `endName` says what lies there ("the end of the file").
Status CheckChunkLength(uint64_t chunk, uint32_t length, int64_t room, const char* endName);

// Decodes chunk `chunk`'s zlib stream into `out` (ChunkSize bytes of room): the stream must take
// all `streamSize` bytes, pass its Adler-32 and give exactly `expected` bytes.
Status DecodeChunk(ChunkCodec& codec, uint64_t chunk, const uint8_t* stream, size_t streamSize,
                   size_t expected, uint8_t* out);

// Receives decoded content in order; a failure stops the decoding and is passed on.
using ContentSink = std::function<Status(const uint8_t* data, size_t size)>;

// One stored entry to read, and where it lies.
struct EntryToRead {
  CompressionType type = CompressionType::Compressed;
  uint32_t size = 0;
  // The checksum its content must have, where one is known (a table's).
  std::optional<uint32_t> checksum;
  int64_t offset = 0;
  // The bytes the entry has up to the next entry's data or the end of the file. Unknown for an
  // entry read from where a stream stands: the stream's end bounds it then, and bytes may follow.
  std::optional<int64_t> room;
  const char* endName = "the end of the data";
};

enum class ReadMode {
  Layout,  // the chunk lengths alone: cheap, and enough to know where every byte lies
  Full,    // every chunk decoded and checked, and the checksum compared
};

// Reads entries by the rules above, with positioned reads: it never moves a stream's position,
// so copies of one file stream may be read one after another. Keeps one chunk's buffers, so
// that reading many entries allocates once. In Layout mode it reads the lengths through a
// small window of the stream, kept from one entry to the next: a reader walks one unchanging
// stream. Not for use by two threads at once.
class EntryReader {
 public:
  // Called with the bytes of each read made to find length fields: what the window costs.
  using FieldReadCounter = std::function<void(int64_t bytes)>;

  EntryReader() = default;
  explicit EntryReader(FieldReadCounter onFieldRead) : onFieldRead_(std::move(onFieldRead)) {}

  // On failure the message says what is wrong ("chunk 2: ..."), for the caller to name the entry.
  // In Full mode `sink` (optional) receives the content in order; its failure stops the read.
  Status read(BinaryStream& stream, const EntryToRead& entry, ReadMode mode,
              const ContentSink& sink = {});
  // Where the last successful read ended.
  int64_t end() const { return end_; }
  // Where each chunk of the last successful read of a compressed entry began, and last its end.
  const std::vector<int64_t>& chunkStarts() const { return chunkStarts_; }

 private:
  Status readCompressed(BinaryStream& stream, const EntryToRead& entry, int64_t limit,
                        ReadMode mode, const ContentSink& sink, uint32_t* checksum);
  Status readStored(BinaryStream& stream, const EntryToRead& entry, int64_t limit, ReadMode mode,
                    const ContentSink& sink, uint32_t* checksum);

  // A length field at `position`, through the window: Damaged when the stream has no 4 bytes
  // there, Io when the system failed the read.
  Status readField(const BinaryStream& stream, int64_t position, uint8_t field[4]);

  ChunkCodec codec_;
  std::vector<uint8_t> input_;
  std::vector<uint8_t> output_;
  int64_t end_ = 0;
  std::vector<int64_t> chunkStarts_;
  // The bytes of `windowStream_` from `windowStart_`: a pack of many small entries then costs
  // a read per window rather than one per entry.
  std::vector<uint8_t> window_;
  int64_t windowStart_ = 0;
  const BinaryStream* windowStream_ = nullptr;
  int64_t lastField_ = 0;  // where the last length field was
  FieldReadCounter onFieldRead_;
};

// Decodes one entry of `size` content bytes from `stream`, which stands where the entry's data
// begins, by the rules above, and leaves the stream after
// it. Anything else fails, naming the chunk. Never reads or writes past a buffer, whatever the
// stream holds.
Status ReadEntryData(BinaryStream& stream, CompressionType type, uint32_t size,
                     const ContentSink& sink);
Status ReadEntryData(BinaryStream& stream, CompressionType type, uint32_t size,
                     std::vector<uint8_t>* content);

}  // namespace tarnix

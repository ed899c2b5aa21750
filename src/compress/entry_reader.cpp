#include "compress/entry_reader.h"

#include <algorithm>
#include <cstring>

#include "format/format.h"
#include "io/little_endian.h"

namespace tarnix {

namespace {

std::string Where(uint64_t chunk) { return "chunk " + std::to_string(chunk) + ": "; }

}  // namespace

Status CheckChunkLength(uint64_t chunk, uint32_t length, int64_t room, const char* endName) {
  if (length > MaxChunkStreamSize) {
    return Status::Damaged(Where(chunk) + "length " + std::to_string(length) + " exceeds " +
                           std::to_string(MaxChunkStreamSize));
  }
  if (length < MinChunkStreamSize) {
    return Status::Damaged(Where(chunk) + "length " + std::to_string(length) +
                           " is shorter than any zlib stream");
  }
  if (static_cast<int64_t>(length) > room) {
    return Status::Damaged(Where(chunk) + "length " + std::to_string(length) + " runs past " +
                           endName);
  }
  return Status();
}

Status DecodeChunk(ChunkCodec& codec, uint64_t chunk, const uint8_t* stream, size_t streamSize,
                   size_t expected, uint8_t* out) {
  size_t produced = 0;
  size_t consumed = 0;
  if (!codec.decode(stream, streamSize, out, ChunkSize, &produced, &consumed)) {
    return Status::Damaged(Where(chunk) + "corrupt");
  }
  if (consumed != streamSize) {
    return Status::Damaged(Where(chunk) + std::to_string(streamSize - consumed) +
                           " bytes after its zlib stream");
  }
  if (produced != expected) {
    return Status::Damaged(Where(chunk) + "decodes to " + std::to_string(produced) +
                           " bytes, but should hold " + std::to_string(expected));
  }
  return Status();
}

Status EntryReader::read(BinaryStream& stream, const EntryToRead& entry, ReadMode mode,
                         const ContentSink& sink) {
  // Asking a file for its size costs a system call: only when the caller cannot tell.
  const int64_t limit = entry.room ? entry.offset + *entry.room : stream.size();
  if (limit < entry.offset) {  // an offset itself is never negative: a table's or a stream's
    return Status::Damaged("its data lies outside " + std::string(entry.endName));
  }
  uint32_t checksum = EmptyChecksum;
  Status status = entry.type == CompressionType::Compressed
                      ? readCompressed(stream, entry, limit, mode, sink, &checksum)
                      : readStored(stream, entry, limit, mode, sink, &checksum);
  if (!status.ok()) return status;
  if (entry.room && end_ != limit) {
    if (entry.type != CompressionType::Compressed) {
      return Status::Damaged("its data takes " + std::to_string(entry.size) + " bytes, but " +
                             std::to_string(limit - entry.offset) + " lie before " + entry.endName);
    }
    const int64_t extra = limit - end_;
    return Status::Damaged(std::to_string(extra) + (extra == 1 ? " byte" : " bytes") +
                           " after its last chunk, before " + entry.endName);
  }
  if (mode == ReadMode::Full && entry.checksum && checksum != *entry.checksum) {
    return Status::Damaged("checksum " + std::to_string(checksum) + ", recorded " +
                           std::to_string(*entry.checksum));
  }
  return Status();
}

Status EntryReader::readStored(BinaryStream& stream, const EntryToRead& entry, int64_t limit,
                               ReadMode mode, const ContentSink& sink, uint32_t* checksum) {
  const int64_t have = limit - entry.offset;
  if (have < entry.size) {
    return Status::Damaged("data ends " + std::to_string(entry.size - have) +
                           " bytes short of the entry");
  }
  end_ = entry.offset + entry.size;
  if (mode == ReadMode::Layout) return Status();
  output_.resize(ChunkSize);
  for (int64_t at = entry.offset; at < end_;) {
    const int64_t want = std::min<int64_t>(end_ - at, ChunkSize);
    Status read = stream.readExactAt(at, output_.data(), want);
    if (!read.ok())
      return ReadFailure(read, "cannot read its data at offset " + std::to_string(at));
    *checksum = Checksum32Update(*checksum, output_.data(), static_cast<size_t>(want));
    if (sink) {
      Status taken = sink(output_.data(), static_cast<size_t>(want));
      if (!taken.ok()) return taken;
    }
    at += want;
  }
  return Status();
}

Status EntryReader::readField(const BinaryStream& stream, int64_t position, uint8_t field[4]) {
  const bool sameStream = windowStream_ == &stream;
  const int64_t offset = position - windowStart_;
  if (!sameStream || offset < 0 || offset + 4 > static_cast<int64_t>(window_.size())) {
    // A page while the fields lie close together (small entries), else the 4 bytes alone: a
    // page per 32 KiB chunk would copy a thousand times what is needed.
    const int64_t size =
        sameStream && position > lastField_ && position - lastField_ < 512 ? 4096 : 4;
    window_.resize(static_cast<size_t>(size));
    windowStream_ = &stream;
    windowStart_ = position;
    int64_t got = 0;
    Status read = stream.readAt(position, window_.data(), size, &got);
    window_.resize(static_cast<size_t>(got));
    if (onFieldRead_) onFieldRead_(got);
    if (!read.ok()) return read;
    if (got < 4) return Status::Damaged("the stream ends in the field");
  }
  lastField_ = position;
  std::memcpy(field, window_.data() + (position - windowStart_), 4);
  return Status();
}

Status EntryReader::readCompressed(BinaryStream& stream, const EntryToRead& entry, int64_t limit,
                                   ReadMode mode, const ContentSink& sink, uint32_t* checksum) {
  if (mode == ReadMode::Full) {
    input_.resize(MaxChunkStreamSize);
    output_.resize(ChunkSize);
  }
  int64_t position = entry.offset;
  const uint64_t chunks = ChunkCount(entry.size);
  chunkStarts_.clear();
  for (uint64_t chunk = 0; chunk < chunks; ++chunk) {
    chunkStarts_.push_back(position);
    uint8_t field[4];
    Status read = limit - position < 4 ? Status::Damaged("") : readField(stream, position, field);
    if (!read.ok()) {
      const bool missing = read.code() == StatusCode::Damaged;
      return ReadFailure(
          read, Where(chunk) + (missing ? std::string("its length runs past ") + entry.endName
                                        : std::string("its length cannot be read")));
    }
    const uint32_t length = LoadU32(field);
    Status framed = CheckChunkLength(chunk, length, limit - position - 4, entry.endName);
    if (!framed.ok()) return framed;
    if (mode == ReadMode::Full) {
      read = stream.readExactAt(position + 4, input_.data(), length);
      if (!read.ok()) return ReadFailure(read, Where(chunk) + "cannot be read");
      const size_t expected = ChunkContent(entry.size, chunk);
      Status decoded = DecodeChunk(codec_, chunk, input_.data(), length, expected, output_.data());
      if (!decoded.ok()) return decoded;
      *checksum = Checksum32Update(*checksum, output_.data(), expected);
      if (sink) {  // an empty chunk hands on no bytes, which every sink takes
        Status taken = sink(output_.data(), expected);
        if (!taken.ok()) return taken;
      }
    }
    position += 4 + static_cast<int64_t>(length);
  }
  end_ = position;
  chunkStarts_.push_back(position);
  return Status();
}

Status ReadEntryData(BinaryStream& stream, CompressionType type, uint32_t size,
                     const ContentSink& sink) {
  if (type != CompressionType::Compressed && type != CompressionType::Uncompressed) {
    return Status::Refused("unknown compression type " + std::to_string(static_cast<int>(type)));
  }
  EntryReader reader;
  EntryToRead entry;
  entry.type = type;
  entry.size = size;
  entry.offset = stream.tell();
  Status status = reader.read(stream, entry, ReadMode::Full, sink);
  // A stream read in turn stands after what was read.
  if (status.ok()) stream.seek(reader.end());
  return status;
}

Status ReadEntryData(BinaryStream& stream, CompressionType type, uint32_t size,
                     std::vector<uint8_t>* content) {
  content->clear();
  // Grown as it decodes rather than trusting `size`, which may come from a damaged table.
  return ReadEntryData(stream, type, size, [content](const uint8_t* data, size_t n) {
    content->insert(content->end(), data, data + n);
    return Status();
  });
}

}  // namespace tarnix

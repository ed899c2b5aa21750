#include "pack/pack_check.h"

#include "io/little_endian.h"
#include "pack/checksum.h"

namespace tarnix {

namespace {

// One entry's place in the file: [offset, end), end being where the next entry's data or the
// file ends.
struct Span {
  int64_t begin = 0;
  int64_t end = 0;
  const char* endName = "";
};

class EntryChecker {
 public:
  EntryChecker(PackContents& pack, std::vector<PackProblem>* problems)
      : pack_(pack), problems_(problems), fileSize_(pack.stream.size()) {}

  int64_t fileSize() const { return fileSize_; }

  Span span(size_t i) const {
    const bool last = i + 1 == pack_.entries.size();
    return Span{pack_.entries[i].offset,
                last ? fileSize_ : static_cast<int64_t>(pack_.entries[i + 1].offset),
                last ? "the end of the file" : "the next entry's data"};
  }

  // Checks that entry i's data lies where it should and fills the room up to the next entry
  // exactly; `expected` is where it should begin.
  bool checkLayout(size_t i, int64_t expected) {
    PackEntry& entry = pack_.entries[i];
    const Span s = span(i);
    entry.storedSize = 0;
    bool ok = true;
    if (s.begin != expected) {
      ok = report(i, "data at offset " + std::to_string(s.begin) + ", expected " +
                         std::to_string(expected));
    }
    if (s.end < s.begin) {
      return report(i, "data at offset " + std::to_string(s.begin) + " lies beyond " + s.endName);
    }
    entry.storedSize = static_cast<uint32_t>(s.end - s.begin);
    if (pack_.compressionType == CompressionType::Uncompressed) {
      if (s.end - s.begin != entry.size) {
        ok = report(i, "its data takes " + std::to_string(entry.size) + " bytes, but " +
                           std::to_string(s.end - s.begin) + " lie before " + s.endName);
      }
      return ok;
    }
    uint64_t chunks = 0;
    for (int64_t position = s.begin; position < s.end; ++chunks) {
      uint32_t length = 0;
      if (!readLength(i, chunks, position, s, &length)) return false;
      position += 4 + static_cast<int64_t>(length);
    }
    // A chunk holds at most ChunkSize bytes of content.
    if (chunks * ChunkSize < entry.size) {
      ok = report(i, std::to_string(chunks) + " chunks cannot hold its " +
                         std::to_string(entry.size) + " bytes");
    }
    return ok;
  }

  // Decodes entry i, as a reader would and more strictly.
  void checkData(size_t i) {
    const PackEntry& entry = pack_.entries[i];
    const Span s = span(i);
    uint32_t checksum = EmptyChecksum;
    if (pack_.compressionType == CompressionType::Uncompressed) {
      pack_.stream.seek(s.begin);
      Status read = ReadEntryData(pack_.stream, CompressionType::Uncompressed, entry.size,
                                  [&checksum](const uint8_t* data, size_t n) {
                                    checksum = Checksum32Update(checksum, data, n);
                                    return Status();
                                  });
      if (!read.ok()) return (void)report(i, read.message());
    } else if (!checkChunks(i, s, &checksum)) {
      return;
    }
    if (checksum != entry.checksum) {
      report(i, "checksum " + std::to_string(checksum) + ", recorded " + std::to_string(entry.checksum));
    }
  }

 private:
  // Decodes a compressed entry chunk by chunk: every chunk must decode whole, hold ChunkSize
  // bytes unless it is the entry's last, and hold nothing after its zlib stream; at most one
  // empty chunk may follow the content.
  bool checkChunks(size_t i, const Span& s, uint32_t* checksum) {
    const uint32_t size = pack_.entries[i].size;
    uint64_t content = 0;
    size_t trailingEmpty = 0;
    uint64_t chunk = 0;
    for (int64_t position = s.begin; position < s.end; ++chunk) {
      uint32_t length = 0;
      if (!readLength(i, chunk, position, s, &length)) return false;
      const std::string where = "chunk " + std::to_string(chunk) + ": ";
      size_t produced = 0;
      size_t consumed = 0;
      if (pack_.stream.readAt(position + 4, input_.data(), length) != length ||
          !codec_.decode(input_.data(), length, output_.data(), ChunkSize, &produced, &consumed)) {
        return report(i, where + "corrupt");
      }
      position += 4 + static_cast<int64_t>(length);
      if (consumed < length) {
        report(i, where + std::to_string(length - consumed) + " bytes after its zlib stream");
      }
      if (content == size) {
        if (produced > 0) return report(i, where + "data past the entry's size");
        ++trailingEmpty;
        continue;
      }
      if (produced == 0 || content + produced > size) {
        return report(i, where + "decodes to " + std::to_string(produced) + " bytes, but " +
                             std::to_string(size - content) + " remain");
      }
      content += produced;
      if (produced < ChunkSize && content < size) {
        report(i, where + "holds only " + std::to_string(produced) + " bytes, but is not the entry's last");
      }
      *checksum = Checksum32Update(*checksum, output_.data(), produced);
    }
    if (content < size) {
      return report(i, "data ends after " + std::to_string(content) + " of " + std::to_string(size) + " bytes");
    }
    if (trailingEmpty > 1) report(i, std::to_string(trailingEmpty) + " empty chunks at its end");
    return true;
  }

  bool readLength(size_t i, uint64_t chunk, int64_t position, const Span& s, uint32_t* length) {
    const std::string where = "chunk " + std::to_string(chunk) + ": ";
    uint8_t bytes[4];
    if (s.end - position < 4 || pack_.stream.readAt(position, bytes, 4) != 4) {
      return report(i, where + "its length runs past " + s.endName);
    }
    *length = LoadU32(bytes);
    if (*length > MaxChunkStreamSize) {
      return report(i, where + "length " + std::to_string(*length) + " exceeds " +
                           std::to_string(MaxChunkStreamSize));
    }
    if (position + 4 + *length > s.end) {
      return report(i, where + "length " + std::to_string(*length) + " runs past " + s.endName);
    }
    return true;
  }

  // Always false, so that a check can report and give up in one statement.
  bool report(size_t i, const std::string& text) {
    problems_->push_back({EntryLabel(pack_, i) + ": " + text, false, i});
    return false;
  }

  PackContents& pack_;
  std::vector<PackProblem>* problems_;
  const int64_t fileSize_;
  ChunkCodec codec_;
  std::vector<uint8_t> input_ = std::vector<uint8_t>(MaxChunkStreamSize);
  std::vector<uint8_t> output_ = std::vector<uint8_t>(ChunkSize);
};

int64_t TableEnd(const PackContents& pack) {
  int64_t end = HeaderSize;
  for (const PackEntry& entry : pack.entries) end += RecordFixedSize + entry.nameLength;
  return end;
}

// Checks every entry's layout, and with `data` the entries that lie where they should.
std::vector<PackProblem> Check(PackContents& pack, bool data) {
  std::vector<PackProblem> problems;
  EntryChecker checker(pack, &problems);
  const int64_t tableEnd = TableEnd(pack);
  if (pack.entries.empty() && checker.fileSize() != tableEnd) {
    problems.push_back({"the file has " + std::to_string(checker.fileSize() - tableEnd) +
                        " bytes after a table of no entries"});
  }
  int64_t expected = tableEnd;
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    bool placed = checker.checkLayout(i, expected);
    expected = std::max<int64_t>(checker.span(i).end, checker.span(i).begin);
    if (data && placed) checker.checkData(i);
  }
  return problems;
}

}  // namespace

std::string EntryLabel(const PackContents& pack, size_t index) {
  return "entry " + std::to_string(index) + " (" + pack.entries[index].name + ")";
}

std::vector<PackProblem> CheckLayout(PackContents& pack) { return Check(pack, false); }

std::vector<PackProblem> FindPackProblems(PackContents& pack) {
  if (!pack.read()) return {{"header or table: " + pack.errorText}};
  return Check(pack, true);
}

}  // namespace tarnix

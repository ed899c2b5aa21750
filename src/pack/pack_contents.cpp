#include "pack/pack_contents.h"

namespace tarnix {

void PackEntry::setSource(const std::string& entryName, const std::string& path,
                          uint32_t fileSize, PackContents* owner,
                          std::optional<platform::FileStamp> stamp) {
  name = entryName;
  offset = 0;
  size = fileSize;
  checksum.reset();
  storedSize.reset();
  storedChecksum.reset();
  origin = SourceFile{path, stamp};
  pack = owner;
}

bool NamesMatch(const std::string& stored, const std::string& asked) {
  auto separator = [](char c) { return c == '/' || c == '\\'; };
  if (stored.size() != asked.size()) return false;
  for (size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] != asked[i] && !(separator(stored[i]) && separator(asked[i]))) return false;
  }
  return true;
}

EntryToRead StoredEntryAt(const PackContents& pack, const PackEntry& entry) {
  EntryToRead read;
  read.type = pack.compressionType;
  read.size = entry.size;
  read.checksum = entry.checksum;
  read.offset = entry.offset;
  if (entry.storedSize) read.room = *entry.storedSize;
  return read;
}

bool PackContents::keep(const Status& status) {
  if (!status.ok()) errorText = status.message();
  return status.ok();
}

Status PackEntry::loadData(std::vector<uint8_t>* content) const {
  if (hasSource()) return Status::Refused(name + ": it is a new entry, not yet stored in a pack");
  if (pack == nullptr || !pack->stream.isOpen()) {
    return Status::Refused(name + ": the pack that holds it is not open");
  }
  content->clear();
  // Work on a copy: it shares the file, and leaves the pack's own stream object alone.
  BinaryStream stream = pack->stream;
  EntryReader reader;
  return reader
      .read(stream, StoredEntryAt(*pack, *this), ReadMode::Full,
            [content](const uint8_t* data, size_t n) {
              content->insert(content->end(), data, data + n);
              return Status();
            })
      .prefixed(name + ": ");
}

}  // namespace tarnix

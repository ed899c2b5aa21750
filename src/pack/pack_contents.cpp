#include "pack/pack_contents.h"

namespace tarnix {

void PackEntry::setSource(const std::string& entryName, const std::string& path,
                          uint32_t fileSize, PackContents* owner) {
  name = entryName;
  offset = 0;
  size = fileSize;
  checksum = 0;
  sourcePath = path;
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

Status PackEntry::loadData(std::vector<uint8_t>* content) const {
  if (pack == nullptr || !pack->stream.isOpen()) {
    return Status::Error(name + ": the pack that holds it is not open");
  }
  // Work on a copy: it shares the file, and leaves the pack's own stream object alone.
  BinaryStream stream = pack->stream;
  if (!stream.seek(offset)) {
    return Status::Error(name + ": cannot seek to offset " + std::to_string(offset));
  }
  return ReadEntryData(stream, pack->compressionType, size, content).prefixed(name + ": ");
}

}  // namespace tarnix

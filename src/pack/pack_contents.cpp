#include "pack/pack_contents.h"

#include "platform/platform.h"

namespace tarnix {

void PackEntry::setSource(const std::string& entryName, const std::string& path,
                          uint32_t fileSize, PackContents* owner) {
  name = entryName;
  offset = 0;
  size = fileSize;
  checksum = 0;
  sourcePath = path;
  pack = owner;
  hasSource = true;
}

bool PackEntry::loadData(std::vector<uint8_t>* content, std::string* errorText) const {
  if (hasSource) {
    BinaryStream source;
    if (!source.open(sourcePath, OpenMode::Read)) {
      *errorText = "Failed to open " + sourcePath + ": " +
                   platform::ErrorString(source.errorNumber());
      return false;
    }
    if (!ReadEntryData(source, CompressionType::Uncompressed, size, content, errorText)) {
      *errorText = sourcePath + ": " + *errorText;
      return false;
    }
    return true;
  }
  if (pack == nullptr || !pack->stream.isOpen()) {
    *errorText = name + ": the pack that holds it is not open";
    return false;
  }
  // Work on a copy: it shares the file, and leaves the pack's own stream object alone.
  BinaryStream stream = pack->stream;
  if (!stream.seek(offset)) {
    *errorText = name + ": cannot seek to offset " + std::to_string(offset);
    return false;
  }
  if (!ReadEntryData(stream, pack->compressionType, size, content, errorText)) {
    *errorText = name + ": " + *errorText;
    return false;
  }
  return true;
}

}  // namespace tarnix

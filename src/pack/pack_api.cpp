// The library's public face, over the pack model.
#include "tarnix/tarnix.h"

#include <algorithm>

#include "pack/pack_check.h"
#include "pack/pack_contents.h"
#include "platform/platform.h"

namespace tarnix {

struct PackReader::State {
  PackContents pack;
  std::vector<PackedFile> files;
  std::string error;
};

PackReader::PackReader() : state_(new State) {}
PackReader::~PackReader() = default;

bool PackReader::open(const std::string& path) {
  state_.reset(new State);
  PackContents& pack = state_->pack;
  if (!pack.stream.open(path, OpenMode::Read)) {
    state_->error = pack.stream.status().message();
    return false;
  }
  if (!pack.read()) {
    state_->error = path + ": " + pack.errorText;
    return false;
  }
  std::string first;
  if (CheckLayout(pack, [&first](const PackProblem& p) { if (first.empty()) first = p.text; }) != 0) {
    state_->error = path + ": " + first;
    return false;
  }
  for (const PackEntry& entry : pack.entries) {
    state_->files.push_back({entry.name, entry.size, *entry.checksum});
  }
  return true;
}

const std::vector<PackedFile>& PackReader::files() const { return state_->files; }

const std::string& PackReader::error() const { return state_->error; }

long PackReader::find(const std::string& name) const {
  const auto& files = state_->files;
  auto found = std::find_if(files.begin(), files.end(),
                            [&name](const PackedFile& file) { return NamesMatch(file.name, name); });
  return found == files.end() ? -1 : static_cast<long>(found - files.begin());
}

bool PackReader::read(size_t index, std::vector<uint8_t>* content) {
  if (index >= state_->pack.entries.size()) {
    state_->error = "no file at index " + std::to_string(index);
    return false;
  }
  const PackEntry& entry = state_->pack.entries[index];
  Status status = entry.loadData(content);  // its checksum included
  if (!status.ok()) state_->error = status.message();
  return status.ok();
}

bool WritePack(const std::string& path, const std::vector<FileToPack>& files,
               const PackOptions& options, std::string* error) {
  PackContents pack;
  pack.compressionType = options.compress ? CompressionType::Compressed : CompressionType::Uncompressed;
  pack.entries.reserve(files.size());
  for (const FileToPack& file : files) {
    int64_t size = 0;
    Status probed = platform::ProbeFile(file.path, &size);
    if (!probed.ok() || size > MaxPackSize) {
      *error = probed.ok() ? "Cannot store " + file.path + ": it is 2 GiB or more" : probed.prefixed("Failed to open ").message();
      return false;
    }
    pack.entries.emplace_back();
    pack.entries.back().setSource(file.name, file.path, static_cast<uint32_t>(size), &pack);
  }
  WriteOptions writeOptions;
  writeOptions.data.verify = options.verify;
  if (pack.write(path, writeOptions)) return true;
  *error = pack.errorText;
  return false;
}

}  // namespace tarnix

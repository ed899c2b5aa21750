#include "pack/pack_set.h"

#include <nlohmann/json.hpp>

#include <new>
#include <set>

#include "pack/entry_names.h"
#include "pack/pack_check.h"

namespace tarnix {

namespace {

// Set files are small; a larger file is no set file of ours, and is not read whole.
constexpr int64_t LargestSetFile = 64 << 20;

const char* TypeName(CompressionType type) {
  return type == CompressionType::Compressed ? "compressed" : "uncompressed";
}

Status Damaged(const std::string& path, const std::string& why) {
  return Status::Damaged(path + ": not a sound set file: " + why);
}

// The set in `document`, checked field by field; the json calls throw on a wrong type, which the
// caller turns into damage.
Status ParseSet(const std::string& path, const nlohmann::json& document, PackSet* set) {
  if (!document.is_object() || document.value("tarnix_set", -1) != SetFormatVersion)
    return Damaged(path, "it is not a version " + std::to_string(SetFormatVersion) + " set");
  const std::string type = document.at("compression").get<std::string>();
  if (type != "compressed" && type != "uncompressed")
    return Damaged(path, "unknown compression \"" + EscapeControls(type) + "\"");
  set->compressionType =
      type == "compressed" ? CompressionType::Compressed : CompressionType::Uncompressed;
  std::set<std::string> seen;
  for (const char* list : {"volumes", "retired"}) {
    for (const nlohmann::json& v : document.value(list, nlohmann::json::array())) {
      SetVolume volume{v.at("file").get<std::string>(), v.at("size").get<int64_t>(),
                       v.at("table_checksum").get<uint32_t>(), v.at("entries").get<uint32_t>()};
      if (!IsVolumeName(volume.file) || !seen.insert(volume.file).second)
        return Damaged(path, "volume name \"" + EscapeControls(volume.file) + "\" is refused");
      if (volume.size < HeaderSize || volume.size > MaxPackSize)
        return Damaged(path, "volume " + volume.file + " has an impossible size");
      (list[0] == 'v' ? set->volumes : set->retired).push_back(volume);
    }
  }
  if (!document.contains("volumes")) return Damaged(path, "it names no volumes");
  for (const nlohmann::json& name : document.value("pending", nlohmann::json::array())) {
    const std::string file = name.get<std::string>();
    if (IsVolumeName(file)) set->pending.push_back(file);
  }
  return Status();
}

}  // namespace

bool IsVolumeName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\:\0", 4)) == std::string::npos;
}

bool IsSetFile(const std::string& path) {
  BinaryStream stream;
  uint8_t first = 0;
  return stream.open(path, OpenMode::Read) && stream.readExactAt(0, &first, 1).ok() && first == '{';
}

Status ReadSetFile(const std::string& path, PackSet* set) {
  *set = PackSet();
  BinaryStream stream;
  if (!stream.open(path, OpenMode::Read)) return stream.status();
  const int64_t size = stream.size();
  if (size > LargestSetFile) return Damaged(path, "it is larger than any set file");
  std::string text(static_cast<size_t>(std::max<int64_t>(size, 0)), '\0');
  Status read = stream.readExactAt(0, reinterpret_cast<uint8_t*>(&text[0]), size);
  if (!read.ok()) return ReadFailure(read, path + ": cannot be read");
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  if (document.is_discarded()) return Damaged(path, "it is not JSON");
  try {
    return ParseSet(path, document, set);
  } catch (const nlohmann::json::exception&) {
    return Damaged(path, "a field is missing or of the wrong type");
  }
}

std::string SetFileText(const PackSet& set) {
  auto list = [](const std::vector<SetVolume>& volumes) {
    nlohmann::json out = nlohmann::json::array();
    for (const SetVolume& v : volumes) {
      out.push_back({{"file", v.file},
                     {"size", v.size},
                     {"table_checksum", v.tableChecksum},
                     {"entries", v.entries}});
    }
    return out;
  };
  nlohmann::json document = {{"tarnix_set", SetFormatVersion},
                             {"compression", TypeName(set.compressionType)},
                             {"volumes", list(set.volumes)}};
  if (!set.pending.empty()) document["pending"] = set.pending;
  if (!set.retired.empty()) document["retired"] = list(set.retired);
  // Names are bytes, not always UTF-8: those are written as escapes JSON can carry.
  return document.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string VolumePath(const std::string& setPath, const std::string& file) {
  std::string folder, name;
  platform::SplitPath(platform::ResolveLinks(setPath), &folder, &name);  // beside the file
  return platform::JoinPath(folder, file);
}

Status TableChecksum(const BinaryStream& stream, const std::string& name, int64_t tableEnd,
                     uint32_t* checksum) {
  std::vector<uint8_t> table(static_cast<size_t>(std::max<int64_t>(tableEnd, 0)));
  Status read = stream.readExactAt(0, table.data(), tableEnd);
  if (!read.ok()) return ReadFailure(read, name + ": its table cannot be read");
  *checksum = Checksum32(table.data(), table.size());
  return Status();
}

bool IsStillVolume(const std::string& setPath, const SetVolume& volume) {
  PackContents pack;
  const std::string path = VolumePath(setPath, volume.file);
  uint32_t checksum = 0;
  return pack.stream.open(path, OpenMode::Read) && pack.stream.size() == volume.size &&
         pack.read() && TableChecksum(pack.stream, path, TableEnd(pack), &checksum).ok() &&
         checksum == volume.tableChecksum;
}

Status OpenVolume(const std::string& setPath, const SetVolume& volume, CompressionType type,
                  PackContents& pack,
                  const std::function<bool(const PackContents&, uint32_t)>& proven) {
  const std::string path = VolumePath(setPath, volume.file);
  const std::string label = setPath + ": volume " + volume.file + ": ";
  if (!pack.stream.open(path, OpenMode::Read))
    return pack.stream.status().prefixed(setPath + ": volume ");
  if (pack.stream.size() != volume.size)
    return Status::Damaged(label + "it is not the volume the set names (its size differs)");
  Status read = ReadTableOf(pack, label);
  if (!read.ok()) return read;
  uint32_t checksum = 0;
  Status summed = TableChecksum(pack.stream, path, TableEnd(pack), &checksum);
  if (!summed.ok()) return summed;
  if (checksum != volume.tableChecksum || pack.entries.size() != volume.entries ||
      pack.compressionType != type) {
    return Status::Damaged(label + "it is not the volume the set names (its table differs)");
  }
  if (proven && proven(pack, checksum) && TakeLayoutAsProven(pack)) return Status();
  return CheckLayoutOf(pack, label);
}

Status OpenSet(const std::string& setPath, OpenedSet* opened) {
  Status read = ReadSetFile(setPath, &opened->set);
  opened->volumes.clear();
  for (size_t i = 0; read.ok() && i < opened->set.volumes.size(); ++i) {
    opened->volumes.push_back(std::make_unique<PackContents>());
    read = OpenVolume(setPath, opened->set.volumes[i], opened->set.compressionType,
                      *opened->volumes.back());
  }
  return read;
}

}  // namespace tarnix

// A set of packs: a small set file that names volumes beside it, each a complete pack, read as
// one. The set file is the commit point of a write: a reader follows only the volumes it names,
// and refuses a set whose volumes are not the ones it names. Its text is JSON, described in
// docs/pack-format.md.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pack/pack_contents.h"

namespace tarnix {

// One volume as the set file names it: its file name (beside the set file), its length, the
// checksum of its header and table, and its entry count.
struct SetVolume {
  std::string file;
  int64_t size = 0;
  uint32_t tableChecksum = 0;
  uint32_t entries = 0;
};

struct PackSet {
  CompressionType compressionType = CompressionType::Compressed;
  std::vector<SetVolume> volumes;
  // Not part of the set, but this tool's own, so that whichever run comes next removes them
  // even when the one that made them was killed: the names a run was about to give new
  // volumes, and volumes an earlier set named (removed only while still what it named).
  std::vector<std::string> pending;
  std::vector<SetVolume> retired;
};

constexpr int SetFormatVersion = 1;
// Smallest volume size a writer accepts.
constexpr int64_t MinVolumeSize = 64 * 1024;

// Whether a set file may name `file`: one plain component, so that it names nothing but files
// beside the set file.
bool IsVolumeName(const std::string& file);

// Whether the file at `path` is a set file rather than a pack (or anything else): its first
// byte opens a JSON object. False when it cannot be read.
bool IsSetFile(const std::string& path);

// Reads and checks a set file: its version, compression, and that every volume name is a plain
// file name (no folder, no "." or ".."), named once. Damaged when it is not a sound set file.
Status ReadSetFile(const std::string& path, PackSet* set);
// The text of a set file.
std::string SetFileText(const PackSet& set);

// The path of a volume named `file` beside the set file at `setPath`.
std::string VolumePath(const std::string& setPath, const std::string& file);

// The checksum of the first `tableEnd` bytes of `stream` (the pack `name`): its header and table.
Status TableChecksum(const BinaryStream& stream, const std::string& name, int64_t tableEnd,
                     uint32_t* checksum);

// Whether the file the volume names is still that volume: its length and the checksum of its
// header and table.
bool IsStillVolume(const std::string& setPath, const SetVolume& volume);

// Opens the volume into `pack` (a fresh PackContents) and checks that it is the one the set
// names: its length, entry count, compression and the checksum of its header and table, then
// its layout, unless `proven` (given the pack and its table's checksum) says the file is still
// one this tool proved whole (see TakeLayoutAsProven). A failure names the volume.
Status OpenVolume(const std::string& setPath, const SetVolume& volume, CompressionType type,
                  PackContents& pack,
                  const std::function<bool(const PackContents&, uint32_t)>& proven = {});

// A set opened whole: every volume checked by OpenVolume, in order.
struct OpenedSet {
  PackSet set;
  std::vector<std::unique_ptr<PackContents>> volumes;
};
Status OpenSet(const std::string& setPath, OpenedSet* opened);

}  // namespace tarnix

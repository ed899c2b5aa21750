// Writing a set of volumes. Files go to volumes as contiguous runs of the scan order, and a
// re-pack keeps the previous set's boundaries: each file goes back to the volume that held it
// (a new file to the volume of the file before it), so a one-file change rewrites one volume
// and leaves every other file of the set as it was. Each group is then decided as one pack is:
// kept when up to date and still within the size, else written anew from its sources and the
// old volume's stored forms, split where it would grow past the size.
//
// The set file is the commit point, written once per run. Before any new volume has a name, a
// journal in the user's cache folder lists the names about to be made, so that whatever a
// killed run leaves is known to be this tool's; the new set file replaces the old one once
// every volume is complete and on the disk. It lists the volumes it no longer names as retired,
// and only after its commit are they removed, by this run or, when it is killed, the next.
#include <algorithm>
#include <cstdio>
#include <set>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "app/pack_run.h"
#include "pack/pack_set.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

// The journal of a set: the names a run is about to give new volumes, kept in the user's cache
// folder (beside the state records) until the set file that names them is in place, so that a
// killed run's volumes are known to be this tool's. Not beside the set file, whose time a build
// system reads. Empty when there is no cache folder, and then nothing is journaled.
std::string JournalPath(const std::string& setPath) {
  const std::string record = StateRecordPath(setPath);
  return record.empty() ? record : record + ".pending";
}

// The names the journal of this set holds, when there is one of this set.
std::vector<std::string> ReadJournal(const std::string& setPath) {
  BinaryStream stream;
  const std::string path = JournalPath(setPath);
  if (path.empty() || !stream.open(path, OpenMode::Read)) return {};
  const std::vector<uint8_t> bytes = stream.readAll();
  const nlohmann::json journal = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  std::vector<std::string> names;
  if (!journal.is_object() || journal.value("set", "") != RecordKey(setPath)) return names;
  for (const nlohmann::json& name : journal.value("pending", nlohmann::json::array())) {
    if (name.is_string() && IsVolumeName(name.get<std::string>())) names.push_back(name);
  }
  return names;
}

Status WriteJournal(const std::string& setPath, const std::vector<std::string>& names) {
  const std::string path = JournalPath(setPath);
  if (path.empty()) return Status();
  const nlohmann::json journal = {{"set", RecordKey(setPath)}, {"pending", names}};
  return CommitFile(path, journal.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    platform::TempFile::Mode::Default);
}

// The set at the target path when the run began: its volumes, opened where whole.
struct OldSet {
  bool found = false;  // a sound set file was there
  PackSet set;
  // One per volume; kept open (and offered for copies) only when it is whole and stores its
  // entries as this run does.
  std::vector<std::unique_ptr<PackContents>> volumes;
  // Whether each volume was the one the set names: only those are this tool's to remove.
  std::vector<bool> sound;
  // Each volume's state record, and what its file was found to be, where there is one.
  std::vector<std::optional<StateRecord>> records;
  std::vector<std::optional<PackFileIdentity>> identities;
};

// The old set's volumes are walked unless, with `trustRecords`, a volume's state record shows it
// unchanged since a run proved it.
void LoadOldSet(const std::string& setPath, CompressionType type, bool trustRecords, OldSet* old) {
  const std::vector<std::string> journaled = ReadJournal(setPath);
  if (IsSetFile(setPath) && ReadSetFile(setPath, &old->set).ok()) {
    old->found = true;
  } else {
    old->set = PackSet();
  }
  // A journal outlives its set file's commit when a run is killed right after it: a name the
  // set holds is a volume, not litter.
  std::set<std::string> known(old->set.pending.begin(), old->set.pending.end());
  for (const SetVolume& volume : old->set.volumes) known.insert(volume.file);
  for (const std::string& name : journaled) {
    if (known.insert(name).second) old->set.pending.push_back(name);
  }
  for (const SetVolume& volume : old->set.volumes) {
    old->volumes.push_back(std::make_unique<PackContents>());
    PackContents& pack = *old->volumes.back();
    const std::string path = VolumePath(setPath, volume.file);
    std::optional<StateRecord> record;
    if (trustRecords) record = LoadStateRecord(path);
    std::optional<PackFileIdentity> found;
    auto proven = [&](const PackContents& opened, uint32_t tableChecksum) {
      int64_t size = 0;
      std::optional<platform::FileStamp> stamp;
      if (!record || !platform::ProbeFile(path, &size, &stamp).ok() || !stamp) return false;
      found = PackFileIdentity{*stamp, tableChecksum};
      return IsRecordedPack(*found, opened.compressionType, *record);
    };
    const bool sound = OpenVolume(setPath, volume, old->set.compressionType, pack, proven).ok();
    old->sound.push_back(sound);
    old->records.push_back(std::move(record));
    old->identities.push_back(found);
    if (!sound || old->set.compressionType != type) {
      pack.entries.clear();
      pack.stream.close().ok();
    }
  }
}

// A contiguous run of the scanned files that goes back to one old volume (none in a new set).
struct Group {
  std::optional<size_t> old;
  size_t first = 0;
  size_t count = 0;
};

std::vector<Group> GroupByVolume(const std::vector<ScannedFile>& files, const std::string& rootName,
                                 const OldSet& old) {
  std::unordered_map<std::string, size_t> volumeOf;
  for (size_t v = 0; v < old.volumes.size(); ++v) {
    for (const PackEntry& entry : old.volumes[v]->entries) volumeOf.emplace(entry.name, v);
  }
  std::vector<Group> groups;
  std::optional<size_t> current;
  if (!volumeOf.empty()) current = 0;  // files before any known one join the first volume
  for (size_t i = 0; i < files.size(); ++i) {
    auto found = volumeOf.find(rootName + "/" + files[i].name);
    // Runs stay contiguous: a file never goes back to a volume before the current one.
    if (found != volumeOf.end()) current = std::max(*current, found->second);
    if (groups.empty() || groups.back().old != current) groups.push_back({current, i, 0});
    ++groups.back().count;
  }
  return groups;
}

// One volume of the new set: an old one kept as it is, or a new one to write.
struct Part {
  std::optional<size_t> kept;
  std::unique_ptr<PackContents> pack = std::make_unique<PackContents>();
  std::vector<StoredCopy> copies;
  std::vector<std::optional<ContentHash>> hashes;
  std::string file;
};

// The most bytes an entry can take in a volume: its stored form when it is copied whole, else
// the most the chunk coder can write (each chunk stored at worst, with its frame and blocks).
int64_t MostStoredBytes(const PackEntry& entry, const StoredCopy& copy, CompressionType type) {
  if (copy.reuse == Reuse::Whole) return copy.length;
  if (type == CompressionType::Uncompressed) return entry.size;
  const int64_t chunks = static_cast<int64_t>(ChunkCount(entry.size));
  return entry.size + chunks * 16 + entry.size / 512;
}

// Splits a group's entries into parts whose volumes stay within `limit` bytes (an entry larger
// than that gets a part of its own).
void SplitGroup(PackContents& group, const std::vector<StoredCopy>& copies,
                std::vector<std::optional<ContentHash>>& hashes, int64_t limit,
                std::vector<Part>* parts) {
  int64_t size = 0;
  bool open = false;
  for (size_t i = 0; i < group.entries.size(); ++i) {
    const PackEntry& entry = group.entries[i];
    const int64_t adds =
        RecordSize(entry.name) + MostStoredBytes(entry, copies[i], group.compressionType);
    if (!open || size + adds > limit) {
      parts->emplace_back();
      parts->back().pack->compressionType = group.compressionType;
      size = HeaderSize;
      open = true;
    }
    Part& part = parts->back();
    part.pack->entries.emplace_back();
    part.pack->entries.back().setSource(entry.name, entry.source()->path, entry.size,
                                        part.pack.get(), entry.source()->stamp);
    part.copies.push_back(copies[i]);
    part.hashes.push_back(hashes[i]);
    size += adds;
  }
}

// "game.set" -> "game": the stem of the volumes' names.
std::string VolumeStem(const std::string& setPath) {
  std::string folder, name;
  platform::SplitPath(setPath, &folder, &name);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Names the new parts "<stem>.<n>.pak": never a name the old set holds, nor a file there that
// is not one the old set listed as pending (what a killed run left, which may be replaced).
void NameNewParts(const std::string& setPath, const OldSet& old, std::vector<Part>* parts) {
  std::set<std::string> taken, pending(old.set.pending.begin(), old.set.pending.end());
  for (const SetVolume& volume : old.set.volumes) taken.insert(volume.file);
  for (const SetVolume& volume : old.set.retired) taken.insert(volume.file);
  const std::string stem = VolumeStem(setPath);
  size_t n = 0;
  for (Part& part : *parts) {
    if (part.kept) continue;
    for (;; ++n) {
      part.file = stem + "." + std::to_string(n) + ".pak";
      if (taken.count(part.file) != 0) continue;
      if (pending.count(part.file) != 0 ||
          platform::KindOf(VolumePath(setPath, part.file)) == platform::FileKind::Missing) {
        break;
      }
    }
    taken.insert(part.file);
  }
}

// Decides each group: keeps its old volume when it is up to date and within the size, else
// plans new parts. Prints the "Adding" lines.
Status PlanParts(const Run& run, Console& console, const std::string& rootName,
                 const ScanResult& scan, OldSet& old, int64_t begun, std::vector<Part>* parts) {
  const CompressionType type =
      run.compress ? CompressionType::Compressed : CompressionType::Uncompressed;
  PackContents none;
  for (const Group& group : GroupByVolume(scan.files, rootName, old)) {
    PackContents& replaced = group.old ? *old.volumes[*group.old] : none;
    const std::string volumePath =
        group.old ? VolumePath(run.packPath, old.set.volumes[*group.old].file) : "";
    std::optional<StateRecord> record;
    std::optional<PackFileIdentity> found;
    if (group.old) record = std::move(old.records[*group.old]), found = old.identities[*group.old];
    PackContents pack;
    pack.compressionType = type;
    const ScannedRun files{scan.files.data() + group.first, group.count};
    PackPlan plan;
    Status planned = PlanPack(run, volumePath, files, rootName, replaced, std::move(record), found,
                              console, begun, &pack, &plan);
    if (!planned.ok()) return planned;
    // A file larger than the size has a volume of its own, which fits as well as it can.
    if (plan.unchanged &&
        (old.set.volumes[*group.old].size <= *run.volumeSize || pack.entries.size() == 1)) {
      parts->emplace_back();
      parts->back().kept = group.old;
      continue;
    }
    SplitGroup(pack, plan.copies, plan.hashes, *run.volumeSize, parts);
  }
  return Status();
}

// Writes the new parts, each a complete pack on the disk under its name, with one progress
// line for them all; fills in what the set file says of each.
Status WriteParts(const Run& run, Console& console, const EntryDataOptions& tuning, int64_t begun,
                  std::vector<Part>& parts, std::vector<SetVolume>* volumes) {
  size_t total = 0;
  for (const Part& part : parts) total += part.kept ? 0 : part.pack->entries.size();
  ProgressBar bar(console, run.packPath, run.compress);
  size_t before = 0;
  for (Part& part : parts) {
    if (part.kept) continue;
    const std::string path = VolumePath(run.packPath, part.file);
    WriteOptions options;
    options.data = tuning;
    options.data.verify = run.verify;
    options.copies = part.copies;
    options.settles = false;  // the set file's commit is what the run is for
    options.progress = [&bar, before, total](const WriteProgress& at) {
      if (!at.done) bar.show(before + at.entry, total);
    };
    PackContents& pack = *part.pack;
    Status written = pack.writeTo(path, options);
    if (!written.ok()) return written;
    before += pack.entries.size();
    SetVolume volume{part.file, TableEnd(pack), 0, static_cast<uint32_t>(pack.entries.size())};
    for (const PackEntry& entry : pack.entries) volume.size += *entry.storedSize;
    if (volume.size > *run.volumeSize && pack.entries.size() > 1) {
      return WriteFailure(path, StatusCode::Io, "it came out larger than --volume-size");
    }
    BinaryStream stream;
    if (!stream.open(path, OpenMode::Read)) return stream.status();
    Status summed = TableChecksum(stream, path, TableEnd(pack), &volume.tableChecksum);
    if (!summed.ok()) return summed;
    volumes->push_back(volume);
    const std::vector<RecordedChecksums> proven = WrittenProof(pack, &part.hashes);
    RecordProof(run, path, pack, proven, part.hashes, begun);
  }
  bar.done();
  return Status();
}

// Removes what `set` lists as this tool's but not part of it: retired volumes that are still
// what they were, and files under pending names. The old set's files are closed first (Windows
// removes no open file).
void RemoveRetired(const std::string& setPath, OldSet& old, const PackSet& set) {
  for (const auto& volume : old.volumes) volume->stream.close().ok();
  for (const SetVolume& volume : set.retired) {
    if (IsStillVolume(setPath, volume)) std::remove(VolumePath(setPath, volume.file).c_str());
  }
  for (const std::string& file : set.pending) {
    const std::string path = VolumePath(setPath, file);
    if (platform::KindOf(path) == platform::FileKind::Regular) std::remove(path.c_str());
  }
}

// The set file of the new set: its volumes, and what it takes over from the old one to remove
// (the volumes it no longer names, and pending names not used), while those are still there.
PackSet NewSet(const std::string& setPath, CompressionType type, const OldSet& old,
               const std::vector<Part>& parts, const std::vector<SetVolume>& written) {
  PackSet set;
  set.compressionType = type;
  std::set<std::string> named;
  size_t next = 0;
  for (const Part& part : parts) {
    set.volumes.push_back(part.kept ? old.set.volumes[*part.kept] : written[next++]);
    named.insert(set.volumes.back().file);
  }
  for (size_t v = 0; v < old.set.volumes.size(); ++v) {
    if (old.sound[v] && named.count(old.set.volumes[v].file) == 0)
      set.retired.push_back(old.set.volumes[v]);
  }
  for (const SetVolume& volume : old.set.retired) {
    if (named.count(volume.file) == 0 && IsStillVolume(setPath, volume))
      set.retired.push_back(volume);
  }
  for (const std::string& file : old.set.pending) {
    if (named.count(file) == 0 &&
        platform::KindOf(VolumePath(setPath, file)) != platform::FileKind::Missing) {
      set.pending.push_back(file);
    }
  }
  return set;
}

}  // namespace

Status PackVolumes(const Run& run, Console& console, const EntryDataOptions& tuning,
                   const Status& named, const std::string& rootName, ScanExclusion exclusion,
                   int64_t begun, ScanResult* scan) {
  const CompressionType type =
      run.compress ? CompressionType::Compressed : CompressionType::Uncompressed;
  // Two runs on one set take turns: each decides from the set file it read, and removes what
  // its own commit retired.
  platform::FileLock turn;
  const std::string record = StateRecordPath(run.packPath);
  if (!record.empty()) {
    Status locked = turn.lock(record + ".lock");
    if (!locked.ok()) return locked.prefixed("Cannot take the set's turn: ");
  }
  OldSet old;
  LoadOldSet(run.packPath, type, !run.verify, &old);
  // A set inside the tree it is made of never packs its own volumes.
  std::string folder, name;
  platform::SplitPath(platform::ResolveLinks(run.packPath), &folder, &name);
  platform::FileId folderId;
  if (platform::KindOf(folder, &folderId) == platform::FileKind::Directory) {
    for (const SetVolume& volume : old.set.volumes)
      exclusion.places.push_back({folderId, volume.file});
    for (const std::string& file : old.set.pending) exclusion.places.push_back({folderId, file});
    for (const SetVolume& volume : old.set.retired)
      exclusion.places.push_back({folderId, volume.file});
  }
  Status scanned = ScanTree(run, exclusion, named, !run.verify, console, scan);
  if (!scanned.ok()) return scanned;

  std::vector<Part> parts;
  Status planned = PlanParts(run, console, rootName, *scan, old, begun, &parts);
  if (!planned.ok()) return planned;
  size_t kept = 0;
  for (const Part& part : parts) kept += part.kept ? 1 : 0;
  if (old.found && old.set.compressionType == type && kept == parts.size() &&
      kept == old.set.volumes.size()) {
    RemoveRetired(run.packPath, old, old.set);  // what killed runs left
    std::remove(JournalPath(run.packPath).c_str());
    console.line("No file changes found");
    return Status();
  }

  NameNewParts(run.packPath, old, &parts);
  // Journaled first: the names about to be made, and those an earlier journal holds.
  std::vector<std::string> journal = old.set.pending;
  for (const Part& part : parts) {
    if (!part.kept) journal.push_back(part.file);
  }
  Status noted = WriteJournal(run.packPath, journal);
  if (!noted.ok()) return noted;
  std::vector<SetVolume> written;
  Status status = WriteParts(run, console, tuning, begun, parts, &written);
  if (!status.ok()) return status;
  const PackSet set = NewSet(run.packPath, type, old, parts, written);
  status = CommitFile(run.packPath, SetFileText(set), platform::TempFile::Mode::OfTarget,
                      platform::TempFile::Sync::Now, platform::TempFile::Outcome::Settled);
  if (!status.ok()) return status;
  RemoveRetired(run.packPath, old, set);
  std::remove(JournalPath(run.packPath).c_str());  // what it names is in the set file now
  console.line("Wrote " + run.packPath);
  return Status();
}

}  // namespace tarnix

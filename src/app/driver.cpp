#include "app/driver.h"

#include <filesystem>
#include <new>

#include "app/change_detection.h"
#include "app/pack_run.h"
#include "app/state_record.h"
#include "base/ascii.h"
#include "base/thread_group.h"
#include "pack/entry_names.h"
#include "pack/pack_contents.h"
#include "pack/pack_set.h"
#include "platform/platform.h"
#include "scan/directory_scan.h"

namespace tarnix {

namespace {

const char* const Version = TARNIX_VERSION;  // from the CMake project

void PrintUsage(Console& console) {
  console.line(std::string("Tarnix v") + Version +
               " - Packs multiple files into a Ombrel .pak file");
  console.line("");
  console.line("Arguments:");
  console.line(" -uc: Do not compress the resulting file.");
  console.line(" -v: Verify each file can be read back correctly.");
  console.line("");
  console.line("Usage:");
  console.line(" Tarnix.exe <directory> <pack filename> [-uc] [-v]");
}

// A size in bytes, or with K, M or G for powers of 1024; nullopt when it is none.
std::optional<int64_t> ParseSize(const std::string& text) {
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits > 12) return std::nullopt;
  const std::string unit = AsciiLowered(text.substr(digits));
  const int shift = unit.empty() ? 0 : unit == "k" ? 10 : unit == "m" ? 20 : unit == "g" ? 30 : -1;
  if (shift < 0) return std::nullopt;
  return std::stoll(text.substr(0, digits)) << shift;
}

Status ReadArguments(const std::vector<std::string>& args, Run* run) {
  run->directory = args[1];
  run->packPath = args[2];
  for (size_t i = 3; i < args.size(); ++i) {
    if (args[i] == "-uc" || args[i] == "-UC") run->compress = false;
    if (args[i] == "-v" || args[i] == "-V") run->verify = true;
    if (args[i] == "--depfile") {
      run->depfile = i + 1 < args.size() ? args[++i] : "";
      if (run->depfile->empty()) return Status::Refused("--depfile needs a file name");
    }
    if (args[i] != "--volume-size") continue;
    const std::string value = i + 1 < args.size() ? args[++i] : "";
    run->volumeSize = ParseSize(value);
    if (!run->volumeSize || *run->volumeSize < MinVolumeSize || *run->volumeSize > MaxPackSize) {
      return Status::Refused("Invalid --volume-size \"" + value +
                             "\": give bytes, or K, M or G, from 64K to 2147483647");
    }
  }
  return Status();
}

// Opens the file once to learn its size and that it can be read; it is not held open. (A
// stored name too long for the table cannot come from a path the system opens; the writer
// refuses one all the same.)
Status ProbeSource(const ScannedFile& file, uint32_t* size,
                   std::optional<platform::FileStamp>* stamp) {
  int64_t length = 0;
  Status probed = platform::ProbeFile(file.path, &length, stamp);
  if (!probed.ok()) return probed.prefixed("Failed to open ");
  Status storable = CheckSourceSize(file.path, length);
  if (!storable.ok()) return storable;
  *size = static_cast<uint32_t>(length);
  return Status();
}

}  // namespace

Status AddScannedFiles(ScannedRun files, const std::string& rootName, Voucher& voucher,
                       Console& console, PackContents* pack, RecordEvidence* evidence) {
  pack->entries.reserve(files.count);
  for (const ScannedFile& file : files) {
    console.write("Adding " + file.name + "...");
    const std::string storedName = rootName + "/" + file.name;
    const size_t position = pack->entries.size();
    uint32_t size = 0;
    std::optional<platform::FileStamp> stamp;
    std::optional<RecordedChecksums> known;
    const RecordedFile* recorded =
        voucher.empty() ? nullptr : voucher.recorded(position, storedName);
    // The scan stamps every file when there is a record to compare with.
    if (recorded != nullptr && file.stamp && voucher.vouch(position, storedName, *file.stamp)) {
      size = static_cast<uint32_t>(file.stamp->size);  // stored before, so within the limits
      stamp = file.stamp;
      known = recorded->checksums;
    } else {
      Status listed = ProbeSource(file, &size, &stamp);
      if (!listed.ok()) return listed;
    }
    evidence->vouched.push_back(known);
    evidence->hashes.push_back(recorded != nullptr ? recorded->hash : std::nullopt);
    pack->entries.emplace_back();
    pack->entries.back().setSource(storedName, file.path, size, pack, stamp);
    console.line("Done");
  }
  return Status();
}

void RecordProof(const Run& run, const std::string& packPath, const PackContents& pack,
                 const std::vector<RecordedChecksums>& proven,
                 const std::vector<std::optional<ContentHash>>& hashes, int64_t begun) {
  StateRecord record;
  record.packPath = RecordKey(packPath);
  record.root = RecordKey(run.directory);
  record.compressionType = pack.compressionType;
  record.begun = begun;
  PackFileIdentity written;
  if (!PackIdentity(packPath, TableEnd(pack), &written).ok()) return;
  record.pack = written.stamp;
  record.tableChecksum = written.tableChecksum;
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    // Every new entry has a source; one the system gave no stamp for is read again next time.
    const std::optional<platform::FileStamp>& stamp = pack.entries[i].source()->stamp;
    if (stamp) {
      record.files.push_back({pack.entries[i].name, *stamp, proven[i], hashes[i]});
    }
  }
  SaveStateRecord(record);
}

Voucher MakeVoucher(const Run& run, const PackContents& replaced, std::optional<StateRecord> record,
                    const std::optional<PackFileIdentity>& found) {
  if (!replaced.stream.isOpen() || !record || !found) return {};
  return Voucher(std::move(*record), RecordKey(run.directory), replaced.compressionType,
                 found->stamp, found->tableChecksum);
}

std::vector<RecordedChecksums> WrittenProof(const PackContents& pack,
                                            std::vector<std::optional<ContentHash>>* hashes) {
  std::vector<RecordedChecksums> proven;
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    const PackEntry& entry = pack.entries[i];
    proven.push_back({*entry.checksum, entry.storedChecksum});  // known once written
    // A proven hash stays with an entry copied whole; one stored afresh (a copy that did not
    // read back among them) holds what its source held then, which was not hashed.
    if (!entry.copiedWhole) (*hashes)[i].reset();
  }
  return proven;
}

Status PlanPack(const Run& run, const std::string& packPath, ScannedRun files,
                const std::string& rootName, const PackContents& replaced,
                std::optional<StateRecord> record, const std::optional<PackFileIdentity>& found,
                Console& console, int64_t begun, PackContents* pack, PackPlan* plan) {
  RecordEvidence evidence;
  Voucher voucher = MakeVoucher(run, replaced, std::move(record), found);
  Status listed = AddScannedFiles(files, rootName, voucher, console, pack, &evidence);
  if (!listed.ok()) return listed;
  size_t sourcesRead = 0;
  Status compared =
      IsPackUnchanged(*pack, replaced, run.verify, &plan->unchanged, &plan->copies,
                      voucher.empty() ? nullptr : &evidence, &sourcesRead, &plan->hashes);
  if (!compared.ok()) return compared;
  // A run that read sources proved them anew; one that read none has nothing to add.
  if (plan->unchanged && sourcesRead > 0) {
    std::vector<RecordedChecksums> proven;
    for (const StoredCopy& copy : plan->copies)
      proven.push_back({copy.checksum, copy.storedChecksum});
    RecordProof(run, packPath, *pack, proven, plan->hashes, begun);
  }
  return Status();
}

Status ScanTree(const Run& run, const ScanExclusion& exclusion, const Status& named,
                bool stampFiles, Console& console, ScanResult* scan) {
  // A directory that cannot be listed must not turn into an empty pack over a good one.
  *scan = ScanDirectory(run.directory, exclusion, stampFiles);
  if (!scan->status.ok()) return scan->status;
  if (!named.ok()) return named;
  for (const SkippedEntry& skipped : scan->skipped) {
    console.line("Skipping " + skipped.name + ": " + skipped.reason);
  }
  return Status();
}

namespace {

// Writes the new pack in place of `replaced`, copying from it as `copies` says, and records what
// the write proved.
Status WriteNewPack(const Run& run, Console& console, const EntryDataOptions& tuning,
                    PackContents& pack, PackContents& replaced, std::vector<StoredCopy> copies,
                    std::vector<std::optional<ContentHash>> hashes, int64_t begun) {
  WriteOptions options;
  options.data = tuning;
  options.data.verify = run.verify;
  ProgressBar bar(console, run.packPath, run.compress);
  options.progress = [&bar](const WriteProgress& at) {
    if (at.done) {
      bar.done();
    } else {
      bar.show(at.entry, at.count);
    }
  };
  options.replaced = &replaced;
  options.copies = std::move(copies);
  Status written = pack.writeTo(run.packPath, options);
  if (!written.ok()) return written;
  const std::vector<RecordedChecksums> proven = WrittenProof(pack, &hashes);
  RecordProof(run, run.packPath, pack, proven, hashes, begun);
  console.line("Wrote " + run.packPath);
  return Status();
}

// A path as Make and Ninja read a dependency file: spaces and "#" escaped, "$" doubled.
std::string DepfilePath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == ' ' || c == '#') out += '\\';
    if (c == '$') out += '$';
    out += c;
  }
  return out;
}

// Says what the pack (or set) depends on, in the syntax compilers use for Make and Ninja: every
// source file and every folder the scan listed, so that an added or removed file counts too.
Status WriteDepfile(const Run& run, const ScanResult& scan) {
  std::string text = DepfilePath(run.packPath) + ":";
  std::vector<const std::string*> paths;
  for (const ScannedFile& file : scan.files) paths.push_back(&file.path);
  for (const std::string& folder : scan.folders) paths.push_back(&folder);
  for (const std::string* path : paths) {
    if (path->find_first_of("\r\n") != std::string::npos) {
      return Status::Refused("Cannot write " + *run.depfile + ": the path " +
                             EscapeControls(*path) + " holds a line break");
    }
    text += " \\\n " + DepfilePath(*path);
  }
  return CommitFile(*run.depfile, text + "\n");
}

Status Pack(const Run& run, Console& console, const EntryDataOptions& tuning, ScanResult* scan) {
  const int64_t begun = Now();
  ScanExclusion exclusion;
  std::string rootName;
  // Refused before a scan of the whole file system; a folder that cannot be resolved is left
  // for the scan to report.
  Status named = StoredRootName(run.directory, &rootName);
  if (named.code() == StatusCode::Refused) return named;
  Status target = ExamineTarget(run.packPath, &exclusion);
  if (!target.ok()) return target;
  if (run.volumeSize) {
    return PackVolumes(run, console, tuning, named, rootName, std::move(exclusion), begun, scan);
  }
  PackContents pack;
  pack.compressionType = run.compress ? CompressionType::Compressed : CompressionType::Uncompressed;
  // Nothing with -v, which reads everything. With a record, the scan stamps the files: a stat
  // beside the listing costs less than one by path.
  std::optional<StateRecord> record;
  if (!run.verify) record = LoadStateRecord(run.packPath);
  // The pack being replaced is read and its layout walked (unless the record shows it unchanged
  // since it was proven) beside the scan, which it does not need; the loader is joined when it
  // goes, whatever path leaves here.
  PackContents replaced;
  std::optional<PackFileIdentity> found;
  auto load = [&run, &replaced, &record, &found, type = pack.compressionType] {
    LoadReplacedPack(run.packPath, type, replaced, record ? &*record : nullptr, &found);
  };
  ThreadGroup loader(1, [&load](unsigned) { load(); });
  if (loader.started() == 0) load();  // no thread to be had: it runs in turn
  Status scanned = ScanTree(run, exclusion, named, record.has_value(), console, scan);
  if (!scanned.ok()) return scanned;

  loader.join();
  PackPlan plan;
  Status planned = PlanPack(run, run.packPath, {scan->files.data(), scan->files.size()}, rootName,
                            replaced, std::move(record), found, console, begun, &pack, &plan);
  if (!planned.ok()) return planned;
  if (plan.unchanged) {
    console.line("No file changes found");
    return Status();
  }

  return WriteNewPack(run, console, tuning, pack, replaced, std::move(plan.copies),
                      std::move(plan.hashes), begun);
}

}  // namespace

Status ExamineTarget(const std::string& packPath, ScanExclusion* exclusion) {
  Status replaceable = CheckReplaceable(packPath);
  if (!replaceable.ok()) return replaceable;
  platform::KindOf(packPath, &exclusion->file);
  for (const std::string& path : {packPath, platform::ResolveLinks(packPath)}) {
    std::string folder, name;
    platform::SplitPath(path, &folder, &name);
    platform::FileId folderId;
    if (platform::KindOf(folder, &folderId) == platform::FileKind::Directory) {
      exclusion->places.push_back({folderId, name});
    }
  }
  return Status();
}

Status StoredRootName(const std::string& directory, std::string* root) {
  *root = RootName(directory);
  if (!root->empty() && *root != "." && *root != "..") return Status();
  // "..", "." or a second trailing separator: the folder's own name, which extract accepts.
  std::error_code failed;
  const std::filesystem::path resolved = std::filesystem::canonical(directory, failed);
  if (failed) return Status::Io("Cannot read directory " + directory + ": " + failed.message());
  *root = resolved.filename().string();
  if (root->empty()) {
    return Status::Refused("Cannot pack " + directory +
                           ": it is the root of the file system, which has no name to store "
                           "its files under");
  }
  return Status();
}

std::string RootName(const std::string& directory) {
  std::string base = directory;
  if (!base.empty() && (base.back() == '/' || base.back() == '\\')) base.pop_back();
  size_t cut = base.find_last_of("/\\");
  return cut == std::string::npos ? base : base.substr(cut + 1);
}

int RunTarnix(const std::vector<std::string>& args, Console& console,
              const EntryDataOptions& tuning) {
  if (args.empty()) return 1;
  if (args.size() < 3) {
    PrintUsage(console);
    return 0;
  }
  console.line(std::string("Tarnix v") + Version);
  Run run;
  Status status = ReadArguments(args, &run);
  ScanResult scan;
  try {
    if (status.ok()) status = Pack(run, console, tuning, &scan);
    if (status.ok() && run.depfile) status = WriteDepfile(run, scan);
  } catch (const std::bad_alloc&) {
    status = Status::OutOfMemory("out of memory");
  }
  // Whatever ran short, the run failed to write its pack; everything it made is gone by now,
  // its temporary file included.
  if (status.code() == StatusCode::OutOfMemory) {
    status = WriteFailure(run.packPath, StatusCode::OutOfMemory, "out of memory");
  }
  if (status.ok()) return 0;
  console.endProgressLine();
  const std::string& message = status.message();
  const bool tooLarge =
      message.size() >= sizeof TooLarge - 1 &&
      message.compare(message.size() - (sizeof TooLarge - 1), std::string::npos, TooLarge) == 0;
  console.line(tooLarge && !run.volumeSize
                   ? message + "; --volume-size writes a set of smaller packs instead"
                   : message);
  return 1;
}

}  // namespace tarnix

// The steps a run of the packer shares between writing one pack and writing a set of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/change_detection.h"
#include "app/console.h"
#include "app/state_record.h"
#include "pack/pack_contents.h"
#include "scan/directory_scan.h"

namespace tarnix {

// What the command line asked for.
struct Run {
  std::string directory;
  std::string packPath;  // the pack, or with volumeSize the set file
  bool compress = true;
  bool verify = false;
  std::optional<int64_t> volumeSize;   // a set of volumes of at most this many bytes
  std::optional<std::string> depfile;  // where to say what the pack depends on
};

// A run of the scanned files, in scan order, listed where they are.
struct ScannedRun {
  const ScannedFile* first = nullptr;
  size_t count = 0;
  const ScannedFile* begin() const { return first; }
  const ScannedFile* end() const { return first + count; }
};

// The pack path must be a file the run may replace; and wherever it lies, the scan must not
// take the pack (or the writer's temporary files beside it) for a source.
Status ExamineTarget(const std::string& packPath, ScanExclusion* exclusion);

// Lists `files` into `pack`, printing an "Adding" line for each. A file the voucher vouches
// for (its metadata unchanged since a run read it) is not opened: `evidence` receives its
// checksum, and for every file the record knows, the content hash it proved.
Status AddScannedFiles(ScannedRun files, const std::string& rootName, Voucher& voucher,
                       Console& console, PackContents* pack, RecordEvidence* evidence);

// What the state record kept for a pack vouches for, given the pack now there (`replaced`,
// kept open by LoadReplacedPack, or closed) and what its file was found to be.
Voucher MakeVoucher(const Run& run, const PackContents& replaced, std::optional<StateRecord> record,
                    const std::optional<PackFileIdentity>& found);

// What change detection decided of the files of one pack: whether the pack there is up to date,
// what each file may copy from it, and the content hashes proven.
struct PackPlan {
  bool unchanged = false;
  std::vector<StoredCopy> copies;
  std::vector<std::optional<ContentHash>> hashes;
};

// Lists `files` into `pack` (AddScannedFiles) and compares them with the pack at `packPath`
// (`replaced`, as LoadReplacedPack left it, the state `record` kept for it, and what its file
// was `found` to be). When it is up to date and sources were read, records what they proved.
Status PlanPack(const Run& run, const std::string& packPath, ScannedRun files,
                const std::string& rootName, const PackContents& replaced,
                std::optional<StateRecord> record, const std::optional<PackFileIdentity>& found,
                Console& console, int64_t begun, PackContents* pack, PackPlan* plan);

// Keeps what this run proved of the pack now at `packPath` (its sources' stamps, checksums and,
// where proven, content hashes), so that the next run need not read them again. Best effort.
void RecordProof(const Run& run, const std::string& packPath, const PackContents& pack,
                 const std::vector<RecordedChecksums>& proven,
                 const std::vector<std::optional<ContentHash>>& hashes, int64_t begun);

// What a written pack's entries proved, for RecordProof; drops the hash of an entry stored
// afresh, whose content is what its source held then, which was not hashed.
std::vector<RecordedChecksums> WrittenProof(const PackContents& pack,
                                            std::vector<std::optional<ContentHash>>* hashes);

// Scans the tree into `*scan`, leaving out what `exclusion` names; a failure to name the root
// (`named`) is reported once the scan has had its say. Prints what it skipped.
Status ScanTree(const Run& run, const ScanExclusion& exclusion, const Status& named,
                bool stampFiles, Console& console, ScanResult* scan);

// Writes a set of volumes of at most `*run.volumeSize` bytes, with the set file at
// `run.packPath`, after the checks every run makes (`named`, `rootName`, `exclusion`); the
// scan it made is left in `*scan`.
Status PackVolumes(const Run& run, Console& console, const EntryDataOptions& tuning,
                   const Status& named, const std::string& rootName, ScanExclusion exclusion,
                   int64_t begun, ScanResult* scan);

}  // namespace tarnix

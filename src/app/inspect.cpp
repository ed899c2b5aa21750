#include "app/inspect.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <map>
#include <set>

#include "pack/entry_names.h"
#include "pack/pack_check.h"
#include "pack/pack_set.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

const char* const Version = TARNIX_VERSION;  // from the CMake project

const char* const Usage =
    "Usage:\n"
    "  tarnix-inspect list [--json | --names] PACK\n"
    "                                         the header and every entry\n"
    "  tarnix-inspect test PACK               check the whole pack; exit 0 only when sound\n"
    "  tarnix-inspect extract PACK DIR [NAME...]\n"
    "                                         write all entries, or the named ones, under DIR\n"
    "  tarnix-inspect cat PACK NAME           an entry's bytes to standard output\n"
    "  tarnix-inspect diff OLD.pak NEW.pak    entries added (+), removed (-) and changed (~);\n"
    "                                         exit 0 when the same, 1 when they differ\n"
    "  tarnix-inspect --version | --help\n";

struct Streams {
  Console& out;
  Console& errors;
  std::FILE* data;
};

std::string Hex32(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08" PRIX32, value);
  return text;
}

std::string Padded(const std::string& text, size_t width) {
  return std::string(width - std::min(width, text.size()), ' ') + text;
}

// Shows a failure, and gives the exit status it means.
int Failed(Console& errors, const Status& failure, int exitStatus = 1) {
  errors.line(failure.message());
  return exitStatus;
}

// Opens and reads a pack's header and table.
Status LoadPack(const std::string& path, PackContents* pack) {
  if (!pack->stream.open(path, OpenMode::Read)) return pack->stream.status();
  return pack->readTable().prefixed(path + ": ");
}

// Prints problems as they are found, and counts them.
struct Reporter {
  const std::string& path;
  Console& errors;
  size_t problems = 0;
  size_t warnings = 0;
  void operator()(const PackProblem& problem) {
    ++(problem.warning ? warnings : problems);
    errors.line(path + ": " + (problem.warning ? "warning: " : "") + problem.text);
  }
  ProblemSink sink() {
    return [this](const PackProblem& problem) { (*this)(problem); };
  }
};

// Opens a pack and checks its layout, so that every entry's data is known to lie where the
// entry reader finds it; a damaged pack's problems are reported and the pack refused whole.
Status LoadWholePack(const std::string& path, PackContents* pack, Console& errors,
                     const std::string& consequence = "") {
  Status loaded = LoadPack(path, pack);
  if (!loaded.ok()) return loaded;
  Reporter report{path, errors};
  if (CheckLayout(*pack, report.sink()) == 0) return Status();
  return Status::Damaged(path + ": refused: the pack is damaged" + consequence);
}

// A pack, or a set of packs seen as one: `pack` is then a view that holds every volume's
// entries in order, each pointing at the volume it lies in.
struct Opened {
  PackContents pack;
  OpenedSet set;
  bool isSet = false;
};

// Opens a pack (with `whole`, as LoadWholePack does) or a set, whose volumes are always checked
// whole, against the set file.
Status Open(const std::string& path, Opened* opened, Console& errors, bool whole,
            const std::string& consequence = "") {
  if (!IsSetFile(path)) {
    return whole ? LoadWholePack(path, &opened->pack, errors, consequence)
                 : LoadPack(path, &opened->pack);
  }
  opened->isSet = true;
  Status loaded = OpenSet(path, &opened->set);
  if (!loaded.ok()) return loaded;
  opened->pack.version = PackVersion;
  opened->pack.compressionType = opened->set.set.compressionType;
  for (const auto& volume : opened->set.volumes) {
    opened->pack.entries.insert(opened->pack.entries.end(), volume->entries.begin(),
                                volume->entries.end());
  }
  return Status();
}

// Bytes that are not UTF-8, and "%" itself, as %XX: a JSON string must be text, and the
// escape keeps every name recoverable byte for byte.
std::string PercentEscaped(const std::string& name) {
  std::string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
  for (size_t i = 0; i < name.size();) {
    unsigned char c = bytes[i];
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool valid =
        length != 0 && i + length <= name.size() && c != '%' && c != 0xC0 && c != 0xC1 && c < 0xF5;
    for (size_t k = 1; valid && k < length; ++k) valid = (bytes[i + k] >> 6) == 2;
    // Overlong forms and surrogates are not UTF-8 either.
    if (valid && length == 3) {
      unsigned char d = bytes[i + 1];
      valid = !(c == 0xE0 && d < 0xA0) && !(c == 0xED && d >= 0xA0);
    }
    if (valid && length == 4) {
      unsigned char d = bytes[i + 1];
      valid = !(c == 0xF0 && d < 0x90) && !(c == 0xF4 && d >= 0x90);
    }
    if (valid) {
      out.append(name, i, length);
      i += length;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
      ++i;
    }
  }
  return out;
}

// Each entry's stored length, where the layout gives one.
std::vector<std::optional<uint64_t>> StoredLengths(Opened& opened) {
  PackContents& pack = opened.pack;
  std::vector<std::optional<uint64_t>> lengths;
  if (opened.isSet) {  // every volume's layout was walked
    for (const PackEntry& entry : pack.entries) lengths.push_back(*entry.storedSize);
    return lengths;
  }
  const int64_t fileSize = pack.stream.size();
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    const int64_t end = i + 1 < pack.entries.size() ? pack.entries[i + 1].offset : fileSize;
    lengths.push_back(end >= pack.entries[i].offset
                          ? std::optional<uint64_t>(end - pack.entries[i].offset)
                          : std::nullopt);
  }
  return lengths;
}

// The file name of the volume an entry of a set's view lies in.
std::string VolumeOf(const Opened& opened, const PackEntry& entry) {
  for (size_t v = 0; v < opened.set.volumes.size(); ++v) {
    if (opened.set.volumes[v].get() == entry.pack) return opened.set.set.volumes[v].file;
  }
  return "";
}

int ShowListing(const std::string& path, const std::string& format, Streams& io) {
  Opened opened;
  if (Status loaded = Open(path, &opened, io.errors, false); !loaded.ok())
    return Failed(io.errors, loaded);
  const PackContents& pack = opened.pack;
  const std::vector<std::optional<uint64_t>> stored = StoredLengths(opened);
  const bool compressed = pack.compressionType == CompressionType::Compressed;
  if (format == "--names") {
    for (const PackEntry& entry : pack.entries) io.out.line(entry.name);
    return 0;
  }
  if (format == "--json") {
    nlohmann::json entries = nlohmann::json::array();
    for (size_t i = 0; i < pack.entries.size(); ++i) {
      const PackEntry& e = pack.entries[i];
      entries.push_back({{"name", PercentEscaped(e.name)},
                         {"size", e.size},
                         {"stored_size", stored[i] ? nlohmann::json(*stored[i]) : nullptr},
                         {"offset", e.offset},
                         {"checksum", *e.checksum}});
      if (opened.isSet) entries.back()["volume"] = VolumeOf(opened, e);
    }
    nlohmann::json document = {{"version", pack.version},
                               {"compression", compressed ? "compressed" : "uncompressed"},
                               {"entries", entries}};
    io.out.block(document.dump(2));
    io.out.endLine();
    return 0;
  }
  io.out.line(path + ": version " + std::to_string(pack.version) + ", " +
              (compressed ? "compressed" : "uncompressed") + ", " +
              std::to_string(pack.entries.size()) + " entries" +
              (opened.isSet ? " in " + std::to_string(opened.set.volumes.size()) +
                                  (opened.set.volumes.size() == 1 ? " volume" : " volumes")
                            : ""));
  io.out.line(Padded("size", 12) + Padded("stored", 12) + "  checksum  name");
  uint64_t bytes = 0;
  uint64_t storedBytes = 0;
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    const PackEntry& entry = pack.entries[i];
    bytes += entry.size;
    storedBytes += stored[i].value_or(0);
    io.out.line(Padded(std::to_string(entry.size), 12) +
                Padded(stored[i] ? std::to_string(*stored[i]) : "?", 12) + "  " +
                Hex32(*entry.checksum) + "  " + entry.name);
  }
  char ratio[32] = "-";
  if (bytes > 0) std::snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * storedBytes / bytes);
  io.out.line(std::to_string(pack.entries.size()) + " entries, " + std::to_string(bytes) +
              " bytes, " + std::to_string(storedBytes) + " stored bytes, ratio " + ratio);
  return 0;
}

// Checks every volume of the set at `path` as test checks a pack, and that each is the one the
// set names; `view` receives every entry, for the checks across volumes.
void TestVolumes(const std::string& path, Reporter& report, OpenedSet* set, PackContents* view) {
  Status read = ReadSetFile(path, &set->set);
  if (!read.ok()) {
    report({read.message().substr(path.size() + 2), false, std::nullopt});
    return;
  }
  view->compressionType = set->set.compressionType;
  for (const SetVolume& volume : set->set.volumes) {
    set->volumes.push_back(std::make_unique<PackContents>());
    PackContents& pack = *set->volumes.back();
    const std::string file = VolumePath(path, volume.file);
    Reporter inVolume{file, report.errors};
    if (!pack.stream.open(file, OpenMode::Read)) {
      report({"volume " + volume.file + ": " + pack.stream.status().message(), false, {}});
      continue;
    }
    FindPackProblems(pack, inVolume.sink());
    report.problems += inVolume.problems;
    report.warnings += inVolume.warnings;
    uint32_t checksum = 0;
    if (pack.errorText.empty() &&
        TableChecksum(pack.stream, file, TableEnd(pack), &checksum).ok() &&
        (checksum != volume.tableChecksum || pack.stream.size() != volume.size ||
         pack.entries.size() != volume.entries || pack.compressionType != view->compressionType)) {
      report({"volume " + volume.file + ": it is not the volume the set names", false, {}});
    }
    view->entries.insert(view->entries.end(), pack.entries.begin(), pack.entries.end());
  }
}

int Test(const std::string& path, Streams& io) {
  PackContents pack;
  OpenedSet set;
  Reporter report{path, io.errors};
  if (IsSetFile(path)) {
    TestVolumes(path, report, &set, &pack);
    PlanExtraction(pack, report.sink());
  } else {
    if (!pack.stream.open(path, OpenMode::Read)) return Failed(io.errors, pack.stream.status());
    FindPackProblems(pack, report.sink());
    if (pack.errorText.empty()) PlanExtraction(pack, report.sink());
  }
  const size_t count = report.problems;
  const size_t warnings = report.warnings;
  const std::string warned =
      warnings == 0 ? ""
                    : ", " + std::to_string(warnings) + " warning" + (warnings == 1 ? "" : "s");
  if (count > 0) {
    io.out.line(path + ": " + std::to_string(count) + " problem" + (count == 1 ? "" : "s") +
                warned);
    return 1;
  }
  io.out.line(path + ": OK, " + std::to_string(pack.entries.size()) + " entries" + warned);
  return 0;
}

// Decodes an entry of a pack whose layout was checked, by the entry reader's rules, and hands
// its bytes to `sink`; the checksum is compared at the end.
Status ReadChecked(const PackEntry& entry, const ContentSink& sink) {
  BinaryStream in = entry.pack->stream;
  EntryReader reader;
  return reader.read(in, StoredEntryAt(*entry.pack, entry), ReadMode::Full, sink);
}

// The folders that held the entry extracted last, open from the root down: a pack's entries
// of one folder come together, so each folder is opened (and made) once rather than per file.
class FolderChain {
 public:
  explicit FolderChain(const platform::DirectoryHandle& root) : root_(root) {}

  // The folder for the file `parts` names, each component opened as a child of the one before
  // (never through a link).
  Status open(const std::vector<std::string>& parts, const platform::DirectoryHandle** folder) {
    const size_t depth = parts.size() - 1;
    const size_t common = std::min(names_.size(), depth);
    size_t kept = 0;
    while (kept < common && names_[kept] == parts[kept]) ++kept;
    names_.resize(kept);
    handles_.resize(kept);
    for (size_t i = kept; i < depth; ++i) {
      platform::DirectoryHandle child;
      Status opened = child.openChild(i == 0 ? root_ : handles_.back(), parts[i]);
      if (!opened.ok()) return opened.prefixed("cannot use folder ");
      names_.push_back(parts[i]);
      handles_.push_back(std::move(child));
    }
    *folder = depth == 0 ? &root_ : &handles_.back();
    return Status();
  }

 private:
  const platform::DirectoryHandle& root_;
  std::vector<std::string> names_;
  std::vector<platform::DirectoryHandle> handles_;
};

// Writes one entry under the chain's root, into a temporary file that takes the name only once
// the content has checked out.
Status ExtractEntry(const PackEntry& entry, const ExtractPath& plan, FolderChain& folders,
                    std::set<std::string>* cleaned) {
  const platform::DirectoryHandle* parent = nullptr;
  Status opened = folders.open(plan.parts, &parent);
  if (!opened.ok()) return opened;
  // What killed runs left in a folder goes the first time this run writes there.
  if (cleaned->insert(parent->path()).second) platform::RemoveStaleTemporaryFiles(*parent);
  platform::TempFile temp;
  std::FILE* file = nullptr;
  // The file's mode comes from the umask, never from a file it replaces.
  Status status = temp.create(*parent, plan.parts.back(), &file, platform::TempFile::Mode::Default);
  if (!status.ok()) return status.prefixed("cannot create a file: ");
  BinaryStream out;
  out.adoptForWriting(file, platform::JoinPath(parent->path(), plan.parts.back()), 1 << 16);
  status = ReadChecked(entry, [&out](const uint8_t* data, size_t n) {
    return out.write(data, static_cast<int64_t>(n)) ? Status() : out.status();
  });
  Status closed = out.close();
  if (status.ok()) status = closed.prefixed("cannot write ");  // ok when the close was
  // Made durable with the rest at the end: a sync per file made extract 20 times slower.
  return status.ok() ? temp.commit(platform::TempFile::Sync::Later).prefixed("cannot write ")
                     : status;
}

// Entries asked for by name (all when none is), or false after naming one that is missing.
bool Select(const PackContents& pack, const std::string& path,
            const std::vector<std::string>& names, std::vector<bool>* wanted, Console& errors) {
  wanted->assign(pack.entries.size(), names.empty());
  bool all = true;
  for (const std::string& name : names) {
    bool found = false;
    for (size_t i = 0; i < pack.entries.size(); ++i) {
      if (NamesMatch(pack.entries[i].name, name)) (*wanted)[i] = found = true;
    }
    if (!found) errors.line(path + ": no entry named " + name);
    all = all && found;
  }
  return all;
}

int Extract(const std::string& path, const std::string& directory,
            const std::vector<std::string>& names, Streams& io) {
  Opened opened;
  // A pack whose entries overlap, or point past its end, could make far more output than it
  // holds: nothing of it is written.
  Status loaded = Open(path, &opened, io.errors, true, "; nothing was extracted");
  if (!loaded.ok()) return Failed(io.errors, loaded);
  const PackContents& pack = opened.pack;
  std::vector<bool> wanted;
  bool ok = Select(pack, path, names, &wanted, io.errors);
  Reporter report{path, io.errors};
  const std::vector<ExtractPath> plans = PlanExtraction(pack, [&](const PackProblem& problem) {
    if (wanted[problem.entry.value()]) report(problem);  // every such problem names its entry
  });
  platform::DirectoryHandle root;
  Status made = root.open(directory, true);
  if (!made.ok()) {
    io.errors.line(made.message());
    return 1;
  }
  size_t written = 0;
  size_t asked = 0;
  std::set<std::string> cleaned;
  FolderChain folders(root);
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    if (!wanted[i]) continue;
    ++asked;
    if (!plans[i].refusal.empty()) {
      ok = false;
      continue;
    }
    Status extracted = ExtractEntry(pack.entries[i], plans[i], folders, &cleaned);
    if (extracted.ok()) {
      ++written;
    } else {
      io.errors.line(path + ": " + EntryLabel(pack, i) + ": " + extracted.message());
      ok = false;
    }
  }
  if (written > 0) {
    Status synced = platform::SyncFileSystem(root);
    if (!synced.ok()) {
      io.errors.line(path +
                     ": the extracted files may not have reached the disk: " + synced.message());
      ok = false;
    }
  }
  io.out.line("Extracted " + std::to_string(written) + " of " + std::to_string(asked) +
              " entries to " + directory);
  return ok ? 0 : 1;
}

int Cat(const std::string& path, const std::string& name, Streams& io) {
  Opened opened;
  if (Status loaded = Open(path, &opened, io.errors, true); !loaded.ok())
    return Failed(io.errors, loaded);
  const PackContents& pack = opened.pack;
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    if (!NamesMatch(pack.entries[i].name, name)) continue;
    Status status = ReadChecked(pack.entries[i], [&io](const uint8_t* bytes, size_t n) {
      return std::fwrite(bytes, 1, n, io.data) == n
                 ? Status()
                 : platform::SystemError("standard output").prefixed("cannot write ");
    });
    if (status.ok() && std::fflush(io.data) != 0) {
      status = platform::SystemError("standard output").prefixed("cannot write ");
    }
    if (!status.ok()) {
      io.errors.line(path + ": " + EntryLabel(pack, i) + ": " + status.message());
      return 1;
    }
    return 0;
  }
  io.errors.line(path + ": no entry named " + name);
  return 1;
}

int Diff(const std::string& before, const std::string& after, Streams& io) {
  Opened opened[2];
  Status loaded = Open(before, &opened[0], io.errors, true);
  if (loaded.ok()) loaded = Open(after, &opened[1], io.errors, true);
  if (!loaded.ok()) return Failed(io.errors, loaded, 2);
  const PackContents& a = opened[0].pack;
  const PackContents& b = opened[1].pack;
  std::map<std::string, const PackEntry*> inAfter;
  for (const PackEntry& entry : b.entries) inAfter.emplace(entry.name, &entry);
  std::map<std::string, const PackEntry*> inBefore;
  for (const PackEntry& entry : a.entries) inBefore.emplace(entry.name, &entry);
  bool differ = false;
  for (const auto& [name, entry] : inBefore) {
    auto other = inAfter.find(name);
    if (other == inAfter.end()) {
      io.out.line("- " + name);
    } else if (other->second->size != entry->size || other->second->checksum != entry->checksum) {
      io.out.line("~ " + name);
    } else {
      continue;
    }
    differ = true;
  }
  for (const auto& [name, entry] : inAfter) {
    if (inBefore.count(name) != 0) continue;
    io.out.line("+ " + name);
    differ = true;
  }
  return differ ? 1 : 0;
}

int Dispatch(const std::vector<std::string>& args, Streams& io) {
  const std::string& command = args[1];
  const size_t n = args.size();
  if (command == "list") {
    const bool format = n == 4 && (args[2] == "--json" || args[2] == "--names");
    if (n == 3 && args[2][0] != '-') return ShowListing(args[2], "", io);
    if (format) return ShowListing(args[3], args[2], io);
  } else if (command == "test" && n == 3) {
    return Test(args[2], io);
  } else if (command == "cat" && n == 4) {
    return Cat(args[2], args[3], io);
  } else if (command == "extract" && n >= 4) {
    return Extract(args[2], args[3], std::vector<std::string>(args.begin() + 4, args.end()), io);
  } else if (command == "diff" && n == 4) {
    return Diff(args[2], args[3], io);
  } else if (command != "list" && command != "test" && command != "cat" && command != "extract" &&
             command != "diff") {
    io.errors.line("tarnix-inspect: unknown " +
                   std::string(command[0] == '-' ? "option" : "command") + " '" + command + "'");
    return -1;
  }
  for (size_t i = 2; i < n; ++i) {
    if (args[i].size() > 1 && args[i][0] == '-') {
      io.errors.line("tarnix-inspect: unknown option '" + args[i] + "'");
      return -1;
    }
  }
  io.errors.line("tarnix-inspect: wrong number of arguments for " + command);
  return -1;
}

}  // namespace

int RunInspect(const std::vector<std::string>& args, Console& out, Console& errors,
               std::FILE* data) {
  Streams io{out, errors, data};
  int status = -1;
  if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) {
    out.block(Usage);
    status = 0;
  } else if (args.size() == 2 && args[1] == "--version") {
    out.line(std::string("tarnix-inspect ") + Version);
    status = 0;
  } else if (args.size() >= 2) {
    status = Dispatch(args, io);
  }
  if (status < 0) {
    errors.block(Usage);
    errors.flush();
    return 2;
  }
  out.flush();
  Status written = out.status("standard output");
  if (!written.ok()) {
    errors.line("tarnix-inspect: " + written.message());
    return 1;
  }
  return status;
}

}  // namespace tarnix

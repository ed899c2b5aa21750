#include "app/inspect.h"

#include <cinttypes>
#include <cstdio>

#include "pack/checksum.h"
#include "pack/pack_check.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

const char* const Usage =
    "Usage:\n"
    "  tarnix-inspect list PACK               the header and every entry\n"
    "  tarnix-inspect test PACK               check the whole pack; exit 0 only when sound\n"
    "  tarnix-inspect extract PACK DIR [NAME...]\n"
    "                                         write all entries, or the named ones, under DIR\n"
    "  tarnix-inspect cat PACK NAME           an entry's bytes to standard output\n"
    "  tarnix-inspect --help                  this text\n";

std::string Hex32(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08" PRIX32, value);
  return text;
}

std::string Padded(const std::string& text, size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// Opens and reads a pack's header and table; on failure says why, naming the file.
bool LoadPack(const std::string& path, PackContents* pack, Console& errors) {
  if (!pack->stream.open(path, OpenMode::Read)) {
    errors.line(path + ": " + platform::ErrorString(pack->stream.errorNumber()));
    return false;
  }
  if (!pack->read()) {
    errors.line(path + ": " + pack->errorText);
    return false;
  }
  return true;
}

int List(const std::string& path, Console& out, Console& errors) {
  PackContents pack;
  if (!LoadPack(path, &pack, errors)) return 1;
  const int64_t fileSize = pack.stream.size();
  const bool compressed = pack.compressionType == CompressionType::Compressed;
  out.line(path + ": version " + std::to_string(pack.version) + ", " +
           (compressed ? "compressed" : "uncompressed") + ", " +
           std::to_string(pack.entries.size()) + " entries");
  out.line(Padded("size", 12) + Padded("stored", 12) + "  checksum  name");
  uint64_t bytes = 0;
  uint64_t stored = 0;
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    const PackEntry& entry = pack.entries[i];
    int64_t end = StoredEnd(pack, i, fileSize);
    std::string storedText = "?";
    if (end >= 0 && entry.offset <= fileSize) {
      storedText = std::to_string(end - entry.offset);
      stored += static_cast<uint64_t>(end - entry.offset);
    }
    bytes += entry.size;
    out.line(Padded(std::to_string(entry.size), 12) + Padded(storedText, 12) + "  " +
             Hex32(entry.checksum) + "  " + entry.name);
  }
  char ratio[32] = "-";
  if (bytes > 0) std::snprintf(ratio, sizeof ratio, "%.1f%%", 100.0 * stored / bytes);
  out.line(std::to_string(pack.entries.size()) + " entries, " + std::to_string(bytes) +
           " bytes, " + std::to_string(stored) + " stored bytes, ratio " + ratio);
  return 0;
}

int Test(const std::string& path, Console& out, Console& errors) {
  PackContents pack;
  if (!pack.stream.open(path, OpenMode::Read)) {
    errors.line(path + ": " + platform::ErrorString(pack.stream.errorNumber()));
    return 1;
  }
  std::vector<std::string> problems = CheckPack(pack);
  for (const std::string& problem : problems) out.line(path + ": " + problem);
  if (!problems.empty()) {
    out.line(path + ": " + std::to_string(problems.size()) + " problem" +
             (problems.size() == 1 ? "" : "s"));
    return 1;
  }
  out.line(path + ": OK, " + std::to_string(pack.entries.size()) + " entries");
  return 0;
}

// Decodes an entry of a pack that was read, hands its bytes to `sink`, and checks them against
// the recorded checksum. On failure `error` says why, unless the sink stopped and said so.
bool ReadChecked(const PackEntry& entry, const ContentSink& sink, std::string* error) {
  BinaryStream in = entry.pack->stream;
  in.seek(entry.offset);
  uint32_t checksum = EmptyChecksum;
  bool ok = ReadEntryData(in, entry.pack->compressionType, entry.size,
                          [&](const uint8_t* data, size_t n) {
                            checksum = Checksum32Update(checksum, data, n);
                            return sink(data, n);
                          },
                          error);
  if (ok && checksum != entry.checksum) {
    ok = false;
    *error = "checksum " + Hex32(checksum) + ", recorded " + Hex32(entry.checksum);
  }
  return ok;
}

// Why a stored name cannot be written under a folder; empty when it can. `parts` receives
// its components.
std::string UnsafeName(const PackEntry& entry, std::vector<std::string>* parts) {
  const std::string& name = entry.name;
  if (entry.nameLength != name.size()) return "it holds a NUL byte";
  if (name.empty()) return "it is empty";
  if (name[0] == '/' || name[0] == '\\') return "it is an absolute path";
  if (name.size() >= 2 && name[1] == ':' &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'))) {
    return "it names a drive";
  }
  parts->clear();
  size_t start = 0;
  for (;;) {
    size_t cut = name.find_first_of("/\\", start);
    parts->push_back(name.substr(start, cut == std::string::npos ? cut : cut - start));
    if (cut == std::string::npos) break;
    start = cut + 1;
  }
  for (const std::string& part : *parts) {
    if (part == "..") return "it holds a \"..\" component";
    if (part.empty() || part == ".") return "it holds an empty or \".\" component";
  }
  return "";
}

// Writes one entry under `root`; returns an empty string or the reason it failed.
std::string ExtractEntry(const PackEntry& entry, const platform::DirectoryHandle& root) {
  std::vector<std::string> parts;
  std::string unsafe = UnsafeName(entry, &parts);
  if (!unsafe.empty()) return "refused: " + unsafe;

  platform::DirectoryHandle folder;
  const platform::DirectoryHandle* parent = &root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    platform::DirectoryHandle child;
    int err = 0;
    if (!child.openChild(*parent, parts[i], &err)) {
      return "cannot use folder " + platform::JoinPath(parent->path(), parts[i]) + ": " +
             platform::ErrorString(err);
    }
    folder = std::move(child);
    parent = &folder;
  }
  const std::string& leaf = parts.back();
  BinaryStream out;
  if (!out.openTemporaryIn(*parent, leaf)) {
    return "cannot create a file in " + parent->path() + ": " +
           platform::ErrorString(out.errorNumber());
  }
  const std::string tempName = out.path();
  std::string error;
  bool ok = ReadChecked(
      entry,
      [&out](const uint8_t* data, size_t n) { return out.write(data, static_cast<int64_t>(n)); },
      &error);
  if (out.hasIoError() || !out.close()) {
    ok = false;
    error = "cannot write " + platform::JoinPath(parent->path(), leaf) + ": " +
            platform::ErrorString(out.errorNumber());
  }
  int err = 0;
  if (ok && !parent->rename(tempName, leaf, &err)) {
    ok = false;
    error = "cannot write " + platform::JoinPath(parent->path(), leaf) + ": " +
            platform::ErrorString(err);
  }
  if (!ok) parent->remove(tempName);
  return ok ? "" : error;
}

int Extract(const std::string& path, const std::string& directory,
            const std::vector<std::string>& names, Console& out, Console& errors) {
  PackContents pack;
  if (!LoadPack(path, &pack, errors)) return 1;
  platform::DirectoryHandle root;
  int err = 0;
  if (!root.open(directory, &err)) {
    errors.line(directory + ": " + platform::ErrorString(err));
    return 1;
  }
  std::vector<bool> wanted(pack.entries.size(), names.empty());
  bool failed = false;
  for (const std::string& name : names) {
    bool found = false;
    for (size_t i = 0; i < pack.entries.size(); ++i) {
      if (pack.entries[i].name == name) wanted[i] = found = true;
    }
    if (!found) {
      errors.line(path + ": no entry named " + name);
      failed = true;
    }
  }
  size_t written = 0;
  size_t asked = 0;
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    if (!wanted[i]) continue;
    ++asked;
    std::string problem = ExtractEntry(pack.entries[i], root);
    if (problem.empty()) {
      ++written;
    } else {
      errors.line(path + ": " + pack.entries[i].name + ": " + problem);
      failed = true;
    }
  }
  out.line("Extracted " + std::to_string(written) + " of " + std::to_string(asked) +
           " entries to " + directory);
  return failed ? 1 : 0;
}

int Cat(const std::string& path, const std::string& name, std::FILE* data, Console& errors) {
  PackContents pack;
  if (!LoadPack(path, &pack, errors)) return 1;
  for (const PackEntry& entry : pack.entries) {
    if (entry.name != name) continue;
    std::string error;
    auto writeFailure = [] {
      return "cannot write standard output: " +
             platform::ErrorString(platform::LastErrorNumber());
    };
    bool ok = ReadChecked(entry,
                          [&](const uint8_t* bytes, size_t n) {
                            if (std::fwrite(bytes, 1, n, data) == n) return true;
                            error = writeFailure();
                            return false;
                          },
                          &error);
    if (std::fflush(data) != 0 && ok) {
      ok = false;
      error = writeFailure();
    }
    if (!ok) {
      errors.line(path + ": " + name + ": " + error);
      return 1;
    }
    return 0;
  }
  errors.line(path + ": no entry named " + name);
  return 1;
}

}  // namespace

int RunInspect(const std::vector<std::string>& args, Console& out, Console& errors,
               std::FILE* data) {
  auto usage = [&errors]() {
    errors.write(Usage);
    errors.flush();
    return 2;
  };
  if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) {
    out.write(Usage);
    out.flush();
    return 0;
  }
  if (args.size() < 3) return usage();
  const std::string& command = args[1];
  if (command == "list" && args.size() == 3) return List(args[2], out, errors);
  if (command == "test" && args.size() == 3) return Test(args[2], out, errors);
  if (command == "cat" && args.size() == 4) return Cat(args[2], args[3], data, errors);
  if (command == "extract" && args.size() >= 4) {
    return Extract(args[2], args[3], std::vector<std::string>(args.begin() + 4, args.end()), out,
                   errors);
  }
  return usage();
}

}  // namespace tarnix

#include "app/driver.h"

#include "app/change_detection.h"
#include "pack/pack_contents.h"
#include "platform/platform.h"
#include "scan/directory_scan.h"

namespace tarnix {

namespace {

const char* const Version = "1.00";

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

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Opens the file once to learn its size and that it can be read; it is not held open.
bool ListFile(const SourceEntry& file, const std::string& storedName, uint32_t* size,
              std::string* errorText) {
  int64_t length = 0;
  int err = 0;
  if (!platform::ProbeFile(file.path, &length, &err)) {
    *errorText = "Failed to open " + file.path + ": " + platform::ErrorString(err);
    return false;
  }
  if (length > MaxPackSize) {
    *errorText = "Cannot store " + file.path + ": it is " + std::to_string(length) +
                 " bytes, and an entry must stay below 2 GiB";
    return false;
  }
  if (storedName.size() > MaxNameLength) {
    *errorText = "Cannot store " + file.path + ": its stored name is " +
                 std::to_string(storedName.size()) + " bytes, the limit is " +
                 std::to_string(MaxNameLength);
    return false;
  }
  *size = static_cast<uint32_t>(length);
  return true;
}

}  // namespace

std::string RootName(const std::string& directory) {
  std::string base = directory;
  if (!base.empty() && IsSeparator(base.back())) base.pop_back();
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

  const std::string& directory = args[1];
  const std::string& packPath = args[2];
  bool compress = true;
  bool verify = false;
  for (size_t i = 3; i < args.size(); ++i) {
    if (args[i] == "-uc" || args[i] == "-UC") compress = false;
    if (args[i] == "-v" || args[i] == "-V") verify = true;
  }
  const std::string rootName = RootName(directory);

  // A directory that cannot be listed must not turn into an empty pack over a good one.
  ScanResult scan = ScanDirectory(directory);
  if (!scan.ok) {
    console.line("Cannot read directory " + scan.errorText);
    return 1;
  }
  for (const SkippedEntry& skipped : scan.skipped) {
    console.line("Skipping " + skipped.name + ": " + skipped.reason);
  }

  PackContents pack;
  pack.compressionType = compress ? CompressionType::Compressed : CompressionType::Uncompressed;
  pack.entries.reserve(scan.entries.size());
  for (const SourceEntry& file : scan.entries) {
    console.write("Adding " + file.name + "...");
    const std::string storedName = rootName + "/" + file.name;
    uint32_t size = 0;
    std::string error;
    if (!ListFile(file, storedName, &size, &error)) {
      console.line(error);
      return 1;
    }
    pack.entries.emplace_back();
    pack.entries.back().setSource(storedName, file.path, size, &pack);
    console.line("Done");
  }

  std::string error;
  switch (IsPackUnchanged(packPath, pack, &error)) {
    case PackCheck::Unchanged:
      console.line("No file changes found");
      return 0;
    case PackCheck::Failed:
      console.line(error);
      return 1;
    case PackCheck::Changed:
      break;
  }

  EntryDataOptions options = tuning;
  options.verify = verify;
  if (!pack.write(packPath, options, &console)) {
    console.finishOpenLine();
    console.line(pack.errorText);
    return 1;
  }
  console.line("Wrote " + packPath);
  return 0;
}

}  // namespace tarnix

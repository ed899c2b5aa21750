#include "pack/pack_check.h"

#include <algorithm>

namespace tarnix {

namespace {

// Checks every entry where it lies, in `mode`.
size_t Check(PackContents& pack, ReadMode mode, const ProblemSink& sink) {
  size_t count = 0;
  auto report = [&](std::optional<size_t> entry, const std::string& text) {
    ++count;
    if (sink) sink({entry ? EntryLabel(pack, *entry) + ": " + text : text, false, entry});
  };
  const int64_t fileSize = pack.stream.size();
  const int64_t tableEnd = TableEnd(pack);
  if (pack.entries.empty() && fileSize != tableEnd) {
    report({}, "the file has " + std::to_string(fileSize - tableEnd) +
                   " bytes after a table of no entries");
  }
  EntryReader reader;
  int64_t expected = tableEnd;
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    PackEntry& entry = pack.entries[i];
    entry.storedSize.reset();
    const bool last = i + 1 == pack.entries.size();
    const int64_t begin = entry.offset;
    const int64_t end = last ? fileSize : static_cast<int64_t>(pack.entries[i + 1].offset);
    const char* endName = last ? "the end of the file" : "the next entry's data";
    const int64_t wanted = expected;
    expected = std::max(end, begin);
    if (begin != wanted) {
      report(i, "data at offset " + std::to_string(begin) + ", expected " + std::to_string(wanted));
      continue;
    }
    if (end < begin) {
      report(i, "data at offset " + std::to_string(begin) + " lies beyond " + endName);
      continue;
    }
    EntryToRead read = StoredEntryAt(pack, entry);
    read.room = end - begin;
    read.endName = endName;
    Status status = reader.read(pack.stream, read, mode);
    if (!status.ok()) {
      report(i, status.message());
      continue;
    }
    entry.storedSize = static_cast<uint32_t>(end - begin);
  }
  return count;
}

}  // namespace

std::string EntryLabel(const PackContents& pack, size_t index) {
  return "entry " + std::to_string(index) + " (" + pack.entries[index].name + ")";
}

size_t CheckLayout(PackContents& pack, const ProblemSink& sink) {
  return Check(pack, ReadMode::Layout, sink);
}

Status ReadTableOf(PackContents& pack, const std::string& label) {
  if (pack.read()) return Status();
  const Status& read = pack.stream.status();
  const std::string message = label + pack.errorText;
  return read.ok() ? Status::Damaged(message) : Status::Error(read.code(), message);
}

Status CheckLayoutOf(PackContents& pack, const std::string& label) {
  std::string first;
  CheckLayout(pack, [&first](const PackProblem& p) {
    if (first.empty()) first = p.text;
  });
  return first.empty() ? Status() : Status::Damaged(label + first);
}

bool TakeLayoutAsProven(PackContents& pack) {
  std::vector<uint32_t> sizes;
  int64_t start = TableEnd(pack);  // where the next entry's data must begin, at the latest
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    const int64_t offset = pack.entries[i].offset;
    if (i == 0 ? offset != start : offset < start) return false;
    if (i > 0) sizes.push_back(static_cast<uint32_t>(offset - start));
    start = offset;
  }
  const int64_t end = pack.stream.size();
  if (end < start) return false;
  if (!pack.entries.empty()) sizes.push_back(static_cast<uint32_t>(end - start));
  if (pack.entries.empty() && end != start) return false;
  for (size_t i = 0; i < sizes.size(); ++i) pack.entries[i].storedSize = sizes[i];
  return true;
}

size_t FindPackProblems(PackContents& pack, const ProblemSink& sink) {
  if (!pack.read()) {
    if (sink) sink({"header or table: " + pack.errorText, false, {}});
    return 1;
  }
  return Check(pack, ReadMode::Full, sink);
}

}  // namespace tarnix

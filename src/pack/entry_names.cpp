#include "pack/entry_names.h"

#include <map>

#include "base/ascii.h"
#include "platform/platform.h"

namespace tarnix {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

const char* const ColonText = "it holds a \":\", which Windows takes for a stream name";

// One name on its own.
ExtractPath PlanName(const PackEntry& entry) {
  ExtractPath path;
  const std::string& name = entry.name;
  if (name.find('\0') != std::string::npos) {
    path.refusal = "its name holds a NUL byte";
    return path;
  }
  // Leading separators and "./" go; name[size()] is '\0', which ends the loop.
  size_t at = 0;
  for (;;) {
    if (IsSeparator(name[at])) {
      ++at;
    } else if (name[at] == '.' && IsSeparator(name[at + 1])) {
      at += 2;
    } else {
      break;
    }
  }
  path.stripped = name.substr(0, at);
  if (at == name.size()) {
    path.refusal = "it is empty";
    return path;
  }
  for (size_t start = at;;) {
    size_t cut = name.find_first_of("/\\", start);
    path.parts.push_back(name.substr(start, cut == std::string::npos ? cut : cut - start));
    if (cut == std::string::npos) break;
    start = cut + 1;
  }
  const std::string& first = path.parts[0];
  if (first.size() >= 2 && first[1] == ':' && IsAsciiLetter(first[0])) {
    path.refusal = "it names a drive";
  } else if (platform::ColonNamesAStream && name.find(':', at) != std::string::npos) {
    path.refusal = ColonText;
  }
  for (const std::string& part : path.parts) {
    if (part == "..") path.refusal = "it holds a \"..\" component";
    if (part.empty() || part == ".") path.refusal = "it holds an empty or \".\" component";
    if (!part.empty() && part != "." && part != ".." && path.refusal.empty()) {
      path.refusal = platform::NameRefusal(part);
    }
  }
  return path;
}

}  // namespace

std::vector<ExtractPath> PlanExtraction(const PackContents& pack, const ProblemSink& sink) {
  auto problem = [&sink](PackProblem found) {
    if (sink) sink(found);
  };
  std::vector<ExtractPath> plans;
  std::map<std::string, size_t> files;    // path -> entry
  std::map<std::string, size_t> folders;  // path of a folder some entry needs -> that entry
  std::map<std::string, size_t> folded;   // path with A-Z folded -> entry
  for (size_t i = 0; i < pack.entries.size(); ++i) {
    plans.push_back(PlanName(pack.entries[i]));
    ExtractPath& plan = plans.back();
    const std::string label = EntryLabel(pack, i) + ": ";
    if (!plan.stripped.empty()) {
      problem({label + "stripped the leading \"" + plan.stripped + "\"", true, i});
    }
    std::string key;
    for (size_t k = 0; plan.refusal.empty() && k < plan.parts.size(); ++k) {
      key += (k == 0 ? "" : "/") + plan.parts[k];
      auto file = files.find(key);
      if (file != files.end()) {
        plan.refusal = k + 1 == plan.parts.size()
                           ? "the same path as " + EntryLabel(pack, file->second)
                           : EntryLabel(pack, file->second) + " is a file where it needs a folder";
      } else if (k + 1 == plan.parts.size() && folders.count(key) != 0) {
        plan.refusal = "a file where " + EntryLabel(pack, folders[key]) + " needs a folder";
      }
    }
    if (!plan.refusal.empty()) {
      problem({label + "refused: " + plan.refusal, false, i});
      continue;
    }
    if (key.find(':') != std::string::npos) {
      problem({label + ColonText, true, i});
    }
    files[key] = i;
    for (size_t cut = key.find('/'); cut != std::string::npos; cut = key.find('/', cut + 1)) {
      folders.emplace(key.substr(0, cut), i);
    }
    auto twin = folded.emplace(AsciiLowered(key), i);
    if (!twin.second) {
      problem({label + "differs only in letter case from " + EntryLabel(pack, twin.first->second) +
                   ": they collide on Windows and macOS",
               true, i});
    }
  }
  return plans;
}

std::string EscapeControls(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      const char* digits = "0123456789abcdef";
      out += std::string("\\x") + digits[c >> 4] + digits[c & 15];
    }
  }
  return out;
}

}  // namespace tarnix

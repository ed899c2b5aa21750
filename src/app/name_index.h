// A lookup by name in a list that usually comes in the order of the one it is matched against:
// a tree that has not changed lists its files in the stored order. The item at the expected
// position is tried first; a map of every name is made at the first miss.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnix {

// Names are compared whole, byte for byte, and each is in the list once. Every call passes the
// same list, unchanged since the first: the map points into its names.
template <typename Item>
class NameIndex {
 public:
  std::optional<size_t> find(const std::vector<Item>& items, size_t expected,
                             const std::string& name) {
    if (expected < items.size() && items[expected].name == name) return expected;
    if (byName_.empty()) {
      byName_.reserve(items.size());
      for (size_t i = 0; i < items.size(); ++i) byName_.emplace(items[i].name, i);
    }
    auto found = byName_.find(name);
    return found == byName_.end() ? std::nullopt : std::optional<size_t>(found->second);
  }

 private:
  std::unordered_map<std::string_view, size_t> byName_;
};

}  // namespace tarnix

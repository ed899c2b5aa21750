// The names a scan found, in order.
#pragma once

#include <string>
#include <vector>

#include "scan/directory_scan.h"

namespace tarnix {

inline std::vector<std::string> Names(const ScanResult& r) {
  std::vector<std::string> names;
  for (const SourceEntry& e : r.entries) names.push_back(e.name);
  return names;
}

}  // namespace tarnix

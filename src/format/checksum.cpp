#include "format/format.h"

#include <libdeflate.h>

namespace tarnix {

// libdeflate_crc32 complements its argument on the way in and its result on the way out, so
// handing it the complement of our start register (0) gives exactly our checksum.
uint32_t Checksum32Update(uint32_t checksum, const void* data, size_t length) {
  // libdeflate answers a null buffer with its start value, whatever `checksum` was.
  if (length == 0) return checksum;
  return libdeflate_crc32(checksum, data, length);
}

uint32_t Checksum32(const void* data, size_t length) {
  return Checksum32Update(EmptyChecksum, data, length);
}

}  // namespace tarnix

// The entry checksum stored in every pack's table: a CRC-32 (reflected polynomial 0xEDB88320)
// whose register starts at 0 instead of 0xFFFFFFFF, so its values differ from zlib's crc32.
// Packs already written carry these values, so the definition must never change.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnix {

// Checksum of no bytes; also the start value for Checksum32Update.
constexpr uint32_t EmptyChecksum = 0xFFFFFFFFu;

uint32_t Checksum32(const void* data, size_t length);

// Continues a checksum over further bytes: Checksum32 of a+b equals
// Checksum32Update(Checksum32(a), b).
uint32_t Checksum32Update(uint32_t checksum, const void* data, size_t length);

}  // namespace tarnix

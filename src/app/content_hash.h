// A strong hash of a file's content (XXH3, 128 bits), kept in the state record: where a file's
// stamp changed, it tells the content the record proved from any other without decoding the
// pack, which a 32-bit checksum cannot.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnix {

struct ContentHash {
  uint64_t low = 0;
  uint64_t high = 0;
  bool operator==(const ContentHash& o) const { return low == o.low && high == o.high; }
  bool operator!=(const ContentHash& o) const { return !(*this == o); }
};

// Hashes content given in pieces, in order. Throws std::bad_alloc when it gets no memory.
class ContentHasher {
 public:
  ContentHasher();
  ~ContentHasher();
  ContentHasher(const ContentHasher&) = delete;
  ContentHasher& operator=(const ContentHasher&) = delete;

  void update(const uint8_t* data, size_t size);
  ContentHash digest() const;

 private:
  void* state_;  // the library's state, kept out of this header
};

}  // namespace tarnix

#include "app/content_hash.h"

#include <new>

// The whole library inlined here: one translation unit uses it, and nothing is linked.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tarnix {

ContentHasher::ContentHasher() : state_(XXH3_createState()) {
  if (state_ == nullptr) throw std::bad_alloc();
  XXH3_128bits_reset(static_cast<XXH3_state_t*>(state_));
}

ContentHasher::~ContentHasher() { XXH3_freeState(static_cast<XXH3_state_t*>(state_)); }

void ContentHasher::update(const uint8_t* data, size_t size) {
  XXH3_128bits_update(static_cast<XXH3_state_t*>(state_), data, size);
}

ContentHash ContentHasher::digest() const {
  const XXH128_hash_t hash = XXH3_128bits_digest(static_cast<const XXH3_state_t*>(state_));
  return ContentHash{hash.low64, hash.high64};
}

}  // namespace tarnix

// Allocation through the host's pools. Control blocks come zero-filled
// (gcb::ALLOC_CLEAR), texts that are filled at once uncleared
// (gcb::ALLOC_NOCLEAR); every block goes back through the host heap.
#pragma once
#include <cstdint>
#include <cstring>
#include "hostsvc/gcb.h"
#include "hostsvc/hostsvc.h"

extern "C" {
void* vmalloc_handler(void* pool, int32_t size, int32_t flags);
void vmfree_handler(void* heap, void* block, int32_t zero, int32_t four);
void* vmalcp_handler(void* pool, int32_t size, int32_t flags);
}

namespace mem {
// A block from the host memory pool (control-block word 10), or null.
inline void* alloc(int32_t size, int32_t flags) {
  return vmalloc_handler(v_global_gcb_anchor[gcb::MEMORY_POOL], size, flags);
}
inline void* alloc_clear(int32_t size) { return alloc(size, gcb::ALLOC_CLEAR); }
inline void* alloc_text(int32_t size) { return alloc(size, gcb::ALLOC_NOCLEAR); }
// Gives a block back to the host heap; null is ignored.
inline void release(void* block) {
  if (block) vmfree_handler(yymheap(), block, 0, 4);
}
// Overwrites a secret (a password, or a buffer that held one) before its
// memory goes back to the host, so that it does not outlive its use in freed
// blocks. The compiler barrier after the fill keeps it from being dropped as
// a store nobody reads (without a C library routine newer than the module may
// rely on).
inline void wipe(void* area, size_t size) {
  if (!area || !size) return;
  std::memset(area, 0, size);
  __asm__ __volatile__("" : : "r"(area) : "memory");
}
}  // namespace mem

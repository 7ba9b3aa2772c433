// Pool call handlers: the module's only way into a host pool object, whose
// first word allocates and whose second word frees.
#include "module/allocation.h"

extern "C" void* vmalloc_handler(void* pool, int32_t size, int32_t flags) {
  auto* p = static_cast<gcb::Pool*>(pool);
  return p->alloc(p, size, flags);
}

extern "C" void vmfree_handler(void* heap, void* block, int32_t zero, int32_t four) {
  auto* p = static_cast<gcb::Pool*>(heap);
  p->free(p, block, zero, four);
}

// Same shape as vmalloc_handler; kept for the host's pool-call table.
extern "C" void* vmalcp_handler(void* pool, int32_t size, int32_t flags) {
  return vmalloc_handler(pool, size, flags);
}

// Host pools. A block is preceded by a 32-byte header naming its pool and its
// size, so a free through any pool object (the module frees everything
// through the heap) finds the right owner and its count. Private pools also
// keep a list of their blocks, so that deleting the pool releases every block
// in it.
#include "host/memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace host::memory {
namespace {

struct HostPool;

struct Header {
  HostPool* owner;
  Header* prev;   // private pools: list of live blocks
  Header* next;
  uint32_t magic;
  int32_t size;
  uint32_t reserved[3];  // keeps the block 16-byte aligned
};
static_assert(sizeof(Header) == 32);
constexpr uint32_t MAGIC_LIVE = 0x4D454D31;  // "MEM1"
constexpr uint32_t MAGIC_FREED = 0x46524545;

struct HostPool {
  gcb::Pool calls;  // first two words, as the module expects
  const char* name;
  bool tracks_blocks;  // private pools
  Header* blocks;
  int live;
};

int g_live = 0;
long long g_live_bytes = 0, g_peak_bytes = 0;
long g_allocations = 0;
long g_fail_at = 0;   // 0: off
long g_attempts = 0;
int g_private = 0;
FreeInspector g_inspector;

void* pool_alloc(gcb::Pool* pool, int32_t size, int32_t flags);
void pool_free(gcb::Pool* pool, void* block, int32_t, int32_t);

HostPool g_memory{{pool_alloc, pool_free}, "memory", false, nullptr, 0};
HostPool g_temporary{{pool_alloc, pool_free}, "temporary", false, nullptr, 0};
HostPool g_heap{{pool_alloc, pool_free}, "heap", false, nullptr, 0};

void* pool_alloc(gcb::Pool* pool, int32_t size, int32_t flags) {
  auto* p = reinterpret_cast<HostPool*>(pool);
  ++g_attempts;
  if (g_fail_at > 0 && g_attempts == g_fail_at) return nullptr;
  if (size < 0) return nullptr;
  auto* h = static_cast<Header*>(std::malloc(sizeof(Header) + size_t(size)));
  if (!h) return nullptr;
  h->owner = p;
  h->magic = MAGIC_LIVE;
  h->size = size;
  h->prev = nullptr;
  h->next = nullptr;
  if (p->tracks_blocks) {
    h->next = p->blocks;
    if (p->blocks) p->blocks->prev = h;
    p->blocks = h;
  }
  void* block = h + 1;
  if (flags == gcb::ALLOC_CLEAR) std::memset(block, 0, size_t(size));
  else std::memset(block, 0xA5, size_t(size));  // uncleared blocks hold no zeros to rely on
  ++p->live;
  ++g_live;
  ++g_allocations;
  g_live_bytes += size;
  if (g_live_bytes > g_peak_bytes) g_peak_bytes = g_live_bytes;
  return block;
}

void release_block(Header* h) {
  if (g_inspector) g_inspector(h + 1, h->size);
  HostPool* p = h->owner;
  if (p->tracks_blocks) {
    if (h->prev) h->prev->next = h->next;
    else p->blocks = h->next;
    if (h->next) h->next->prev = h->prev;
  }
  h->magic = MAGIC_FREED;
  --p->live;
  --g_live;
  g_live_bytes -= h->size;
  std::free(h);
}

void pool_free(gcb::Pool*, void* block, int32_t, int32_t) {
  if (!block) return;
  Header* h = static_cast<Header*>(block) - 1;
  if (h->magic != MAGIC_LIVE) {
    std::fprintf(stderr, "host: free of a block that is not live (%p)\n", block);
    std::abort();
  }
  release_block(h);
}

}  // namespace

gcb::Pool* memory_pool() { return &g_memory.calls; }
gcb::Pool* temporary_pool() { return &g_temporary.calls; }
gcb::Pool* heap() { return &g_heap.calls; }

int live_blocks() { return g_live; }
long long peak_bytes() { return g_peak_bytes; }
long allocations() { return g_allocations; }
void fail_allocation(long nth) {
  g_attempts = 0;
  g_fail_at = nth;
}
long attempts_since_armed() { return g_attempts; }
void set_free_inspector(FreeInspector inspector) { g_inspector = std::move(inspector); }

gcb::Pool* create_private_pool() {
  auto* p = new HostPool{{pool_alloc, pool_free}, "private", true, nullptr, 0};
  ++g_private;
  return &p->calls;
}

void delete_private_pool(gcb::Pool* pool) {
  auto* p = reinterpret_cast<HostPool*>(pool);
  while (p->blocks) release_block(p->blocks);
  --g_private;
  delete p;
}

int private_pools() { return g_private; }

}  // namespace host::memory

using namespace host::memory;

// ympoolc(0, 1024, 0): a private pool; its blocks go with it when it is deleted.
extern "C" void* hs_ympoolc(int32_t, int32_t, int32_t) {
  ++g_attempts;
  if (g_fail_at > 0 && g_attempts == g_fail_at) return nullptr;
  return create_private_pool();
}

extern "C" void* hs_yymheap() { return heap(); }

extern "C" int32_t hs_wmpoold(void* pool) {
  if (pool) delete_private_pool(static_cast<gcb::Pool*>(pool));
  return 0;
}

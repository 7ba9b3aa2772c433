// The host's memory pools: the memory pool (control-block word 10), the
// temporary pool (word 5), the heap that every block is freed through, and
// private pools made on request. Every block carries its pool in a header so
// that live blocks can be counted per pool and overall, and a test can make
// the Nth allocation fail.
#pragma once
#include <cstdint>
#include <functional>

#include "hostsvc/gcb.h"

namespace host::memory {

gcb::Pool* memory_pool();
gcb::Pool* temporary_pool();
gcb::Pool* heap();

// Blocks allocated and not yet freed, over all pools (private pools included
// until they are deleted).
int live_blocks();
// The most bytes the pools' live blocks held at once since start.
long long peak_bytes();
// Allocations served since start (successful ones).
long allocations();
// Makes the nth allocation from now fail (1 = the next one); 0 switches off.
void fail_allocation(long nth);
// Number of allocations attempted since the last fail_allocation() call.
long attempts_since_armed();

// A test hook: called with the contents of every block just before it is
// freed (also when a private pool goes with its blocks), so that a test can
// check what the module leaves in memory it gives back -- a password, say.
// An empty function switches it off.
using FreeInspector = std::function<void(const void* block, int32_t size)>;
void set_free_inspector(FreeInspector inspector);

// Private pools (ympoolc / wmpoold).
gcb::Pool* create_private_pool();
void delete_private_pool(gcb::Pool* pool);
int private_pools();

}  // namespace host::memory

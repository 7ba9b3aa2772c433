// The method-table builder: makes the access-method entry block and its
// 45-slot method vector for the host.
#include <cstring>
#include <iterator>

#include "ftp/methods.h"
#include "module/allocation.h"
#include "module/export.h"
#include "module/method_vector.h"
#include "module/records.h"
#include "module/status.h"

namespace {

// The filled slots in the host's order (module/methods.def); the rest stay
// empty.
void* const method_table[] = {
#define METHOD(slot, routine, name, text) reinterpret_cast<void*>(routine),
#define NO_METHOD(slot) reinterpret_cast<void*>(yxfnsup),
#include "module/methods.def"
#undef METHOD
#undef NO_METHOD
};
static_assert(std::size(method_table) == METHOD_SLOTS_FILLED);

}  // namespace

extern "C" void tulxbamf(void** block_out, int32_t* status_out) {
  *block_out = nullptr;
  auto* entry = static_cast<AccessMethodEntry*>(mem::alloc_clear(sizeof(AccessMethodEntry)));
  if (!entry) {
    *status_out = st::NO_MEMORY;
    return;
  }
  std::memcpy(entry->eyecatcher, "AMEC", 4);
  std::memcpy(entry->name, ACCESS_METHOD_NAME, 8);
  auto* vector = static_cast<MethodSlot*>(mem::alloc_clear(METHOD_SLOTS * sizeof(MethodSlot)));
  if (!vector) {
    mem::release(entry);
    *status_out = st::NO_MEMORY;
    return;
  }
  entry->vector = vector;
  for (int slot = 0; slot < METHOD_SLOTS_FILLED; ++slot) {
    vector[slot].zero = 0;
    vector[slot].routine = method_table[slot];
  }
  *block_out = entry;
  *status_out = st::OK;
}

extern "C" int32_t yxfnsup(...) { return st::NOT_SUPPORTED; }

FTPAM_EXPORT int32_t yxfok(...) { return st::OK; }

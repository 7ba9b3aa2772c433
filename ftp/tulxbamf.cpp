// The method-table builder: makes the access-method entry block and its
// 45-slot method vector for the host.
#include <cstring>

#include "ftp/methods.h"
#include "module/export.h"
#include "module/memory.h"
#include "module/records.h"
#include "module/status.h"

namespace {

// Slots 0-37 in the host's order; slots 38-44 stay empty.
void* const method_table[METHOD_SLOTS_FILLED] = {
    reinterpret_cast<void*>(yxfasgn),  // 0  assign
    reinterpret_cast<void*>(yxfdasg),  // 1  deassign
    reinterpret_cast<void*>(yxfexl),   // 2  exists
    reinterpret_cast<void*>(yxfexp),   // 3  (answers 0)
    reinterpret_cast<void*>(yxfpnam),  // 4  physical name
    reinterpret_cast<void*>(yxfnsup),  // 5
    reinterpret_cast<void*>(yxfnxt),   // 6  enumerate
    reinterpret_cast<void*>(yxfval),   // 7  validate name
    reinterpret_cast<void*>(yxfinfo),  // 8  information record
    reinterpret_cast<void*>(yxfins),   // 9  information items
    reinterpret_cast<void*>(yxfinf),   // 10 release information items
    reinterpret_cast<void*>(yxfopn),   // 11 open
    reinterpret_cast<void*>(yxfnote),  // 12 note
    reinterpret_cast<void*>(yxfpnt),   // 13 point
    reinterpret_cast<void*>(yxfp2b),   // 14 position to number
    reinterpret_cast<void*>(yxfb2p),   // 15 number to position
    reinterpret_cast<void*>(yxfnsup),  // 16
    reinterpret_cast<void*>(yxfnsup),  // 17
    reinterpret_cast<void*>(yxfread),  // 18 read
    reinterpret_cast<void*>(yxfwrit),  // 19 write
    reinterpret_cast<void*>(yxfflsh),  // 20 flush (answers 0)
    reinterpret_cast<void*>(yxfcls),   // 21 close
    reinterpret_cast<void*>(yxfnsup),  // 22
    reinterpret_cast<void*>(yxfnsup),  // 23
    reinterpret_cast<void*>(yxfnsup),  // 24
    reinterpret_cast<void*>(yxfnsup),  // 25
    reinterpret_cast<void*>(yxfnsup),  // 26
    reinterpret_cast<void*>(yxfnsup),  // 27
    reinterpret_cast<void*>(yxfnsup),  // 28
    reinterpret_cast<void*>(yxfnsup),  // 29
    reinterpret_cast<void*>(yxfpars),  // 30 parse one option
    reinterpret_cast<void*>(yxfnsup),  // 31
    reinterpret_cast<void*>(yxfnsup),  // 32
    reinterpret_cast<void*>(yxfhh2p),  // 33 copy options out
    reinterpret_cast<void*>(yxfhp2h),  // 34 copy options in
    reinterpret_cast<void*>(yxfamvc),  // 35 record-access vector
    reinterpret_cast<void*>(yxfhbfr),  // 36 release options
    reinterpret_cast<void*>(yxfnsup),  // 37
};

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

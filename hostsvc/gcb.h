// The host's global control block as the module sees it: the words the module
// reads, the pool objects behind words 5 and 10, and the chains that lead to
// the current task's wait slot and to the step-services object. The reference
// host builds exactly these shapes; the module only ever reads them.
#pragma once
#include <cstddef>
#include <cstdint>

namespace gcb {

// Word indices of the control block (32-bit words counted from 0).
constexpr int VECTORS = 0;        // -> array of service vectors
constexpr int IN_USE = 1;         // -> byte array, byte V set before vector V is entered
constexpr int TASK = 4;           // current-task record (see wait_slot)
constexpr int TEMP_POOL = 5;      // temporary pool (token copies)
constexpr int MEMORY_POOL = 10;   // host memory pool (all other allocations)
constexpr int STEP_CHAIN = 24;    // start of the current-step context chain
constexpr int XLATE = 27;         // -> record whose word 3 + k addresses table k
constexpr int TASK_OVERRIDE = 56; // current-task record, preferred when not null
constexpr int WORDS = 64;         // size of the block the reference host builds

constexpr int VECTOR_COUNT = 189;  // vectors 0..188

// A pool object: its first word allocates, its second frees.
struct Pool;
using PoolAlloc = void* (*)(Pool* pool, int32_t size, int32_t flags);
using PoolFree = void (*)(Pool* pool, void* block, int32_t zero, int32_t four);
struct Pool {
  PoolAlloc alloc;
  PoolFree free;
};
static_assert(offsetof(Pool, alloc) == 0 && offsetof(Pool, free) == 4);

constexpr int32_t ALLOC_CLEAR = 6;    // zero-filled block (control blocks)
constexpr int32_t ALLOC_NOCLEAR = 4;  // contents undefined (texts filled at once)

// Step-services object: reached from word 24 through the words at byte
// offsets 20, 28 and 60 of the records on the way, then the first word of the
// last one. Its word at byte offset 44 addresses its service table.
constexpr int STEP_HOPS[3] = {20, 28, 60};
constexpr int STEP_SERVICE_TABLE = 44;
// Byte offsets in the step-services table.
constexpr int SVC_VARIABLE_LOOKUP = 56;  // (name, length, 1, value word, 1, out handle) -> 1 or 2 when unusable
constexpr int SVC_OPTION_LOOKUP = 60;    // (handle, key, 8, &value, &length, 78, 0) -> > 0 when found
constexpr int SVC_OPTION_RELEASE = 68;   // (handle, value)

// The variable lookup answers 0 and stores the address of the variable's
// value (an 8-byte double) in *out_handle, or answers 1 (no such variable) or
// 2 (the variable cannot be used). The value word is passed through.
using VariableLookup = int32_t (*)(const char* name, int32_t length, int32_t one,
                                   int32_t value_word, int32_t one_again, double** out_handle);
using OptionLookup = int32_t (*)(void* handle, const char* key, int32_t key_length, char** value,
                                 int32_t* value_length, int32_t seventy_eight, int32_t zero);
using OptionRelease = void (*)(void* handle, char* value);

// Current task: take word 56 when not null, else word 4. When the first word of
// that record is 1 the task record is the one word 4 points to, otherwise the
// record its first word points to. Then follow byte offset 40, then byte offset
// 48; the word at byte offset 20 of the record reached is the wait slot.
constexpr int TASK_HOP1 = 40;
constexpr int TASK_HOP2 = 48;
constexpr int TASK_WAIT_SLOT = 20;

inline uintptr_t word(const void* base, int byte_offset) {
  return *reinterpret_cast<const uintptr_t*>(static_cast<const char*>(base) + byte_offset);
}

// The wait slot of the current task, or null where the chain is incomplete.
inline void** wait_slot(void* const* control_block) {
  const void* rec = control_block[TASK_OVERRIDE] ? control_block[TASK_OVERRIDE] : control_block[TASK];
  if (!rec) return nullptr;
  uintptr_t first = word(rec, 0);
  const void* task = first == 1 ? control_block[TASK] : reinterpret_cast<const void*>(first);
  if (!task) return nullptr;
  const void* r1 = reinterpret_cast<const void*>(word(task, TASK_HOP1));
  if (!r1) return nullptr;
  char* r2 = reinterpret_cast<char*>(word(r1, TASK_HOP2));
  if (!r2) return nullptr;
  return reinterpret_cast<void**>(r2 + TASK_WAIT_SLOT);
}

// The step-services table, or null where the chain is incomplete.
inline char* step_services(void* const* control_block) {
  const void* rec = control_block[STEP_CHAIN];
  for (int hop : STEP_HOPS) {
    if (!rec) return nullptr;
    rec = reinterpret_cast<const void*>(word(rec, hop));
  }
  if (!rec) return nullptr;
  const void* object = reinterpret_cast<const void*>(word(rec, 0));
  if (!object) return nullptr;
  return reinterpret_cast<char*>(word(object, STEP_SERVICE_TABLE));
}

// Translation table k (0..4).
inline const unsigned char* xlate_table(void* const* control_block, int k) {
  const void* rec = control_block[XLATE];
  return rec ? reinterpret_cast<const unsigned char*>(word(rec, 4 * (3 + k))) : nullptr;
}

}  // namespace gcb

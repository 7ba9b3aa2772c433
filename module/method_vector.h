// The method-vector slots by operation, made from module/methods.def: the
// one place a slot number is written. The vector's layout is in
// module/records.h.
#pragma once
#include <iterator>

#include "module/records.h"

namespace method_slot {
#define METHOD(slot, routine, name, text) constexpr int name = slot;
#define NO_METHOD(slot)
#include "module/methods.def"
#undef METHOD
#undef NO_METHOD

// The rows of the table, in order: one per slot up to the last filled one.
constexpr int table_slots[] = {
#define METHOD(slot, routine, name, text) slot,
#define NO_METHOD(slot) slot,
#include "module/methods.def"
#undef METHOD
#undef NO_METHOD
};

constexpr bool rows_in_slot_order() {
  for (int i = 0; i < static_cast<int>(std::size(table_slots)); ++i)
    if (table_slots[i] != i) return false;
  return true;
}
static_assert(rows_in_slot_order());
static_assert(std::size(table_slots) == METHOD_SLOTS_FILLED);

// Whether the slot holds a routine of its own (not "not supported").
constexpr bool supported(int slot) {
  switch (slot) {
#define METHOD(slot, routine, name, text) case slot: return true;
#define NO_METHOD(slot)
#include "module/methods.def"
#undef METHOD
#undef NO_METHOD
    default: return false;
  }
}

// The first slot without a routine of its own: every such slot holds the one
// routine that answers "not supported".
constexpr int first_unsupported() {
  int slot = 0;
  while (supported(slot)) ++slot;
  return slot;
}

// What a listing calls the slot's operation; "-" for an unsupported slot.
constexpr const char* text(int slot) {
  switch (slot) {
#define METHOD(slot, routine, name, text) case slot: return text;
#define NO_METHOD(slot)
#include "module/methods.def"
#undef METHOD
#undef NO_METHOD
    default: return "-";
  }
}
}  // namespace method_slot

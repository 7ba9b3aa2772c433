// Builds the control block once, on first use.
#include "host/control_block.h"

#include <cctype>
#include <cstring>

#include "host/memory.h"
#include "hostsvc/gcb.h"

// The host's side of every service: hs_<name>, defined by the component that
// owns it (memory.cpp, messages.cpp, events.cpp, ...). Only their addresses
// are needed here.
#define SERVICE(name, v, s) extern "C" void hs_##name();
#include "hostsvc/services.def"
#undef SERVICE

// The step-services routines (options.cpp, variables.cpp).
extern "C" void hs_variable_lookup();
extern "C" void hs_option_lookup();
extern "C" void hs_option_release();

namespace host {
namespace {

struct ServiceSlot {
  int vector;
  int routine;
  void* address;
};
const ServiceSlot services[] = {
#define SERVICE(name, v, s) {v, s, reinterpret_cast<void*>(hs_##name)},
#include "hostsvc/services.def"
#undef SERVICE
};

int max_routine(int v) {
  int m = -1;
  for (const auto& s : services)
    if (s.vector == v && s.routine > m) m = s.routine;
  return m;
}

void* g_block[gcb::WORDS];
unsigned char g_in_use[256];
void** g_vectors[gcb::VECTOR_COUNT];

// Current-task chain: word 4 -> task (first word 1: itself) -> +40 -> +48,
// whose word at +20 is the wait slot.
uintptr_t g_task[16];
uintptr_t g_task_r1[16];
uintptr_t g_task_r2[16];

// Step chain: word 24 -> +20 -> +28 -> +60 -> first word -> object; object
// word at +44 -> service table (+56 variables, +60 options, +68 release).
uintptr_t g_step0[8], g_step1[16], g_step2[24], g_step3[4];
uintptr_t g_step_object[16];
uintptr_t g_step_table[24];

unsigned char g_tables[5][256];
uintptr_t g_xlate[8];

void set(uintptr_t* record, int byte_offset, const void* value) {
  record[byte_offset / 4] = reinterpret_cast<uintptr_t>(value);
}

void build() {
  for (int v = 0; v < gcb::VECTOR_COUNT; ++v) {
    int m = max_routine(v);
    if (m < 0) continue;
    g_vectors[v] = new void*[size_t(m) + 1]();
  }
  for (const auto& s : services) g_vectors[s.vector][s.routine] = s.address;
  g_block[gcb::VECTORS] = g_vectors;
  g_block[gcb::IN_USE] = g_in_use;

  g_task[0] = 1;
  set(g_task, gcb::TASK_HOP1, g_task_r1);
  set(g_task_r1, gcb::TASK_HOP2, g_task_r2);
  g_block[gcb::TASK] = g_task;
  g_block[gcb::TASK_OVERRIDE] = nullptr;

  g_block[gcb::TEMP_POOL] = memory::temporary_pool();
  g_block[gcb::MEMORY_POOL] = memory::memory_pool();

  set(g_step0, gcb::STEP_HOPS[0], g_step1);
  set(g_step1, gcb::STEP_HOPS[1], g_step2);
  set(g_step2, gcb::STEP_HOPS[2], g_step3);
  set(g_step3, 0, g_step_object);
  set(g_step_object, gcb::STEP_SERVICE_TABLE, g_step_table);
  set(g_step_table, gcb::SVC_VARIABLE_LOOKUP, reinterpret_cast<void*>(hs_variable_lookup));
  set(g_step_table, gcb::SVC_OPTION_LOOKUP, reinterpret_cast<void*>(hs_option_lookup));
  set(g_step_table, gcb::SVC_OPTION_RELEASE, reinterpret_cast<void*>(hs_option_release));
  g_block[gcb::STEP_CHAIN] = g_step0;

  for (int c = 0; c < 256; ++c) {
    g_tables[0][c] = static_cast<unsigned char>(c);
    g_tables[1][c] = static_cast<unsigned char>(c < 128 ? std::tolower(c) : c);
    g_tables[2][c] = static_cast<unsigned char>(c < 128 ? std::toupper(c) : c);
    g_tables[3][c] = static_cast<unsigned char>(c >= 0x20 && c < 0x7F ? c : '.');
    g_tables[4][c] = static_cast<unsigned char>(c);
  }
  for (int k = 0; k < 5; ++k) set(g_xlate, 4 * (3 + k), g_tables[k]);
  g_block[gcb::XLATE] = g_xlate;
}

}  // namespace

void** control_block() {
  static bool built = (build(), true);
  (void)built;
  return g_block;
}

bool vector_in_use(int v) { return v >= 0 && v < 256 && g_in_use[v]; }
void clear_in_use() { std::memset(g_in_use, 0, sizeof g_in_use); }

void** task_wait_slot() { return gcb::wait_slot(control_block()); }

const unsigned char* translation_table(int k) {
  return k >= 0 && k < 5 ? gcb::xlate_table(control_block(), k) : nullptr;
}

}  // namespace host

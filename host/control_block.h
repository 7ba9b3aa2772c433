// The global control block the reference host hands to the module: service
// vectors filled from hostsvc/services.def, the in-use bytes, the pools, the
// current-task chain with its wait slot, the step-services chain with the
// variable and option lookups, and the translation tables.
#pragma once
#include <cstdint>

namespace host {

void** control_block();
// Byte V of the in-use array (set by the module's bindings).
bool vector_in_use(int v);
void clear_in_use();
// The current task's wait slot (where a waiting socket call publishes its
// break block).
void** task_wait_slot();
// Translation table k (0..4): 0 identity, 1 lower case, 2 upper case,
// 3 printable (other bytes become '.'), 4 identity.
const unsigned char* translation_table(int k);

}  // namespace host

// The text utilities are also linked straight into the test program; the one
// that translates through a host table finds it, as in the module, through
// the control-block anchor. Here the anchor is the reference host's block.
#include "host/control_block.h"

extern "C" {
void** v_global_gcb_anchor = host::control_block();
}

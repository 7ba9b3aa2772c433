// A host service whose implementation has not landed yet fails clearly: it
// says so on standard error and answers "not supported".
#pragma once
#include <cstdint>

namespace host {
int32_t pending_service(const char* name);
}

#define HOST_PENDING(name) \
  extern "C" int32_t hs_##name(...) { return host::pending_service(#name); }

// The module every test drives: the one built with the reference host, loaded
// once per test program (main loads it first and stops when it cannot), and
// its exported names.
#pragma once
#include <string>

#include "host/module.h"

namespace ftptest {

// Loads the module; false, with the reason in `error`, when it cannot be.
bool load_module(std::string* error);
// The loaded module.
const host::Module& module();
// An exported routine or record of the module, by name.
template <typename T>
T module_symbol(const char* name) {
  return reinterpret_cast<T>(module().symbol(name));
}

}  // namespace ftptest

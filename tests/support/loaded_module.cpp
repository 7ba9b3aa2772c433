// The module every test drives (see loaded_module.h).
#include "tests/support/loaded_module.h"

namespace ftptest {

bool load_module(std::string* error) { return host::Module::load_default(error) != nullptr; }

const host::Module& module() { return *host::Module::load_default(nullptr); }

}  // namespace ftptest

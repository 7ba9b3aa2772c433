// Operations whose implementation has not landed yet answer "not supported".
// Each line goes away when the operation is built.
// (No prototypes here on purpose: each placeholder takes whatever it is given.)
#include "module/status.h"

#define PENDING(name) extern "C" int32_t name(...) { return st::NOT_SUPPORTED; }

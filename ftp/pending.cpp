// Operations whose implementation has not landed yet answer "not supported".
// Each line goes away when the operation is built.
// (No prototypes here on purpose: each placeholder takes whatever it is given.)
#include "module/status.h"

#define PENDING(name) extern "C" int32_t name(...) { return st::NOT_SUPPORTED; }
PENDING(yxfopn)
PENDING(yxfread)
PENDING(yxfwrit)
PENDING(yxfcls)
PENDING(yxfamvc)

// MGET comes with the transfers; until then no further file follows.
extern "C" int32_t check_mget(...) { return st::END_OF_DATA; }

// The break handler comes with the control connection; until then no wait
// is ever broken.
extern "C" int32_t do_break() { return 0; }

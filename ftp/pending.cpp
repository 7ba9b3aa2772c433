// Operations whose implementation has not landed yet answer "not supported".
// Each line goes away when the operation is built.
// (No prototypes here on purpose: each placeholder takes whatever it is given.)
#include "module/status.h"

#define PENDING(name) extern "C" int32_t name(...) { return st::NOT_SUPPORTED; }
PENDING(yxfread)
PENDING(yxfwrit)
PENDING(yxfrds)
PENDING(initconn)
PENDING(doretr)
PENDING(dostor)
PENDING(dols)
PENDING(domget)

// MGET comes with the transfers; until then no further file follows.
extern "C" int32_t check_mget(...) { return st::END_OF_DATA; }

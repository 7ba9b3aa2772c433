// Operations whose implementation has not landed yet answer "not supported".
// Each line goes away when the operation is built.
// (No prototypes here on purpose: each placeholder takes whatever it is given.)
#include "module/status.h"

#define PENDING(name) extern "C" int32_t name(...) { return st::NOT_SUPPORTED; }
PENDING(yxfinfo)
PENDING(yxfins)
PENDING(yxfinf)
PENDING(yxfopn)
PENDING(yxfnote)
PENDING(yxfpnt)
PENDING(yxfp2b)
PENDING(yxfb2p)
PENDING(yxfread)
PENDING(yxfwrit)
PENDING(yxfcls)
PENDING(yxfamvc)

// The break handler comes with the control connection; until then no wait
// is ever broken.
extern "C" int32_t do_break() { return 0; }

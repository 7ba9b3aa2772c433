// Two operations with nothing to do: the access method keeps no state that an
// "exp" request or a flush would act on. Records are flushed by the socket
// layer when its write buffer fills and at close.
#include "ftp/methods.h"
#include "module/status.h"

extern "C" int32_t yxfexp(...) { return st::OK; }
extern "C" int32_t yxfflsh(...) { return st::OK; }

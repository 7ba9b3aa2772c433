// Work (spool) files.
#include "host/pending.h"

HOST_PENDING(xcopen)
HOST_PENDING(xcnote)
HOST_PENDING(xcpoint)
HOST_PENDING(xcread)
HOST_PENDING(xcwrite)

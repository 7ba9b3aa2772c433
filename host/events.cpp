// Event services: descriptor registration, event clear/post/wait, the task
// state push/pop around a wait, and polling.
#include "host/pending.h"

HOST_PENDING(vtfdreg)
HOST_PENDING(vtfdclr)
HOST_PENDING(wtgclr)
HOST_PENDING(wtgpost)
HOST_PENDING(wtgwait)
HOST_PENDING(wtspush)
HOST_PENDING(wtspop)
HOST_PENDING(wtpoll)

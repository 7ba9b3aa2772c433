// Questions to the user: user id, password, yes/no.
#include "host/pending.h"

HOST_PENDING(wurrqst)

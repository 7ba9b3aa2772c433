// Host variables: the variable table (wzosvar) and the step-services variable
// lookup.
#include "host/pending.h"

HOST_PENDING(wzosvar)
HOST_PENDING(variable_lookup)

// The statement tokenizer over an option string, and echo masking.
#include "host/pending.h"

HOST_PENDING(yxatoki)
HOST_PENDING(yxatok)
HOST_PENDING(yxatokt)
HOST_PENDING(yhqblot)

// The host's option and variable lookups, the two step services the module
// calls through the global control block's step-services table rather than
// through a binding: the option lookup of a file reference (XXAMWAIT,
// XXAMTPRT, XXAMBIND, ...) and the numeric host variables (NBYTE).
#pragma once
#include <cstdint>

namespace hostsvc {

// The variable lookup's answers.
constexpr int32_t VARIABLE_FOUND = 0;
constexpr int32_t VARIABLE_MISSING = 1;
constexpr int32_t VARIABLE_UNUSABLE = 2;

// Whether the host offers its variable lookup.
bool variables_offered();
// Looks up the numeric host variable `name` (`length` characters): on
// VARIABLE_FOUND, *handle receives the address of its value. `value_word` is
// passed through to the host. Call only when variables_offered().
int32_t look_up_variable(const char* name, int32_t length, int32_t value_word, double** handle);

// Whether the host offers its per-file-reference option lookup.
bool options_offered();
// Copies the value of the host option `key` (8 characters) for the handle
// that ytrakcp gave into `text` (at most `max` characters and a NUL) and gives
// the host's value back. Returns its length; 0 when the option is absent.
int32_t option_text(void* handle, const char* key, char* text, int32_t max);

}  // namespace hostsvc

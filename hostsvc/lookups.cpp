// The host's option and variable lookups (see hostsvc/lookups.h).
#include "hostsvc/lookups.h"

#include <cstring>

#include "hostsvc/gcb.h"
#include "hostsvc/hostsvc.h"

namespace {

constexpr int OPTION_KEY_LENGTH = 8;
constexpr int32_t LOOKUP_KIND = 78;    // constants the option lookup is called with
constexpr int32_t LOOKUP_FLAGS = 0;

char* step_services() { return gcb::step_services(v_global_gcb_anchor); }

gcb::VariableLookup variable_lookup() {
  char* services = step_services();
  return services ? reinterpret_cast<gcb::VariableLookup>(
                        gcb::word(services, gcb::SVC_VARIABLE_LOOKUP))
                  : nullptr;
}

gcb::OptionLookup option_lookup(char* services) {
  return services ? reinterpret_cast<gcb::OptionLookup>(
                        gcb::word(services, gcb::SVC_OPTION_LOOKUP))
                  : nullptr;
}

}  // namespace

namespace hostsvc {

bool variables_offered() { return variable_lookup() != nullptr; }

int32_t look_up_variable(const char* name, int32_t length, int32_t value_word, double** handle) {
  return variable_lookup()(name, length, 1, value_word, 1, handle);
}

bool options_offered() { return option_lookup(step_services()) != nullptr; }

int32_t option_text(void* handle, const char* key, char* text, int32_t max) {
  text[0] = '\0';
  char* services = step_services();
  auto lookup = option_lookup(services);
  if (!lookup || !handle) return 0;
  auto release =
      reinterpret_cast<gcb::OptionRelease>(gcb::word(services, gcb::SVC_OPTION_RELEASE));
  char* value = nullptr;
  int32_t value_length = 0;
  int32_t found = lookup(handle, key, OPTION_KEY_LENGTH, &value, &value_length, LOOKUP_KIND,
                         LOOKUP_FLAGS);
  if (found <= 0 || !value) return 0;
  int32_t n = found < max ? found : max;
  if (value_length > 0 && value_length < n) n = value_length;
  n = int32_t(strnlen(value, size_t(n)));
  std::memcpy(text, value, size_t(n));
  text[n] = '\0';
  if (release) release(handle, value);
  return n;
}

}  // namespace hostsvc

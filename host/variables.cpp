// Host variables: the variable table (wzosvar) and the step-services
// variable lookup.
#include "host/variables.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "module/status.h"

namespace host::variables {
namespace {

struct Variable {
  bool set = false;
  bool numeric = false;
  std::string text;
  std::unique_ptr<double> number;  // stable address handed to the module
};

// Entries are never erased, so a number's address stays valid.
std::map<std::string, Variable>& table() {
  static std::map<std::string, Variable> variables;
  return variables;
}

// Names arrive blank-padded with an explicit length.
std::string name_of(const char* name, int32_t length) {
  if (!name || length <= 0) return {};
  std::string n(name, strnlen(name, size_t(length)));
  while (!n.empty() && n.back() == ' ') n.pop_back();
  return n;
}

Variable* find(const std::string& name) {
  auto it = table().find(name);
  return it != table().end() && it->second.set ? &it->second : nullptr;
}

}  // namespace

void set(const std::string& name, const std::string& value) {
  Variable& v = table()[name];
  v.set = true;
  v.numeric = false;
  v.text = value;
}

void set_number(const std::string& name, double value) {
  Variable& v = table()[name];
  if (!v.number) v.number = std::make_unique<double>();
  *v.number = value;
  v.set = true;
  v.numeric = true;
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  v.text = text;
}

void unset(const std::string& name) {
  if (Variable* v = find(name)) v->set = false;
}

void clear() {
  for (auto& [name, v] : table()) v.set = false;
}

std::optional<std::string> get(const std::string& name) {
  if (Variable* v = find(name)) return v->text;
  return std::nullopt;
}

}  // namespace host::variables

using namespace host::variables;

// wzosvar(name, name length, buffer, size, &length): the variable's text,
// NUL-terminated when shorter than the buffer; a text as long as the buffer
// fills it without a terminator, like a full-width option field. 0 when the
// variable is set and fits; nonzero (and nothing written) when it is not set
// or is longer than the buffer: a cut value would be a different user or host.
extern "C" int32_t hs_wzosvar(const char* name, int32_t name_length, char* buffer, int32_t size,
                              int32_t* length_out) {
  if (length_out) *length_out = 0;
  Variable* v = find(name_of(name, name_length));
  if (!v) return st::FAILED;
  if (!buffer || size <= 0 || v->text.size() > size_t(size)) return st::FAILED;
  int32_t n = int32_t(v->text.size());
  std::memcpy(buffer, v->text.data(), size_t(n));
  if (n < size) buffer[n] = '\0';
  if (length_out) *length_out = n;
  return st::OK;
}

// Step-services variable lookup (name, length, 1, value word, 1, &handle):
// 0 with the address of the variable's double in *handle; 1 when no such
// variable is set; 2 when it is not a number.
extern "C" int32_t hs_variable_lookup(const char* name, int32_t length, int32_t, int32_t, int32_t,
                                      double** handle) {
  if (handle) *handle = nullptr;
  Variable* v = find(name_of(name, length));
  if (!v) return 1;
  if (!v->numeric) return 2;
  if (handle) *handle = v->number.get();
  return st::OK;
}

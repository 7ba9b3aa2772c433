#include "host/options.h"

#include <cstdint>
#include <cstring>
#include <map>

namespace host::options {
namespace {
const std::map<std::string, std::string> HOST_CHOICES = {{"XXAMINPL", "1"}};
std::map<std::string, std::string> g_options = HOST_CHOICES;
int g_handles = 0;
int g_values = 0;
// What ytrakcp hands out: the options table seen from one file reference.
struct Handle {
  void* fileref;
};
}  // namespace

void set(const std::string& key, const std::string& value) { g_options[key] = value; }
void unset(const std::string& key) { g_options.erase(key); }
void reset() { g_options = HOST_CHOICES; }
std::string get(const std::string& key) {
  auto it = g_options.find(key);
  return it == g_options.end() ? std::string() : it->second;
}
int open_handles() { return g_handles; }
int open_values() { return g_values; }

}  // namespace host::options

using namespace host::options;

extern "C" void* hs_ytrakcp(void* fileref) {
  ++g_handles;
  return new Handle{fileref};
}

extern "C" void hs_ytrakdp(void* handle) {
  if (!handle) return;
  --g_handles;
  delete static_cast<Handle*>(handle);
}

// (handle, key, key length, &value, &value length, 78, 0): the value's length
// when the option is set (a copy the caller gives back with the release
// routine), 0 when it is not.
extern "C" int32_t hs_option_lookup(void* handle, const char* key, int32_t key_length,
                                    char** value, int32_t* value_length, int32_t, int32_t) {
  if (value) *value = nullptr;
  if (value_length) *value_length = 0;
  if (!handle || !key || key_length <= 0) return 0;
  std::string name(key, strnlen(key, size_t(key_length)));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  auto it = g_options.find(name);
  if (it == g_options.end() || it->second.empty()) return 0;
  char* copy = new char[it->second.size() + 1];
  std::memcpy(copy, it->second.c_str(), it->second.size() + 1);
  ++g_values;
  if (value) *value = copy;
  if (value_length) *value_length = int32_t(it->second.size());
  return int32_t(it->second.size());
}

extern "C" void hs_option_release(void*, char* value) {
  if (!value) return;
  --g_values;
  delete[] value;
}

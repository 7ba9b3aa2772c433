#include "host/module.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "host/control_block.h"
#include "host/references.h"
#include "module/status.h"

namespace host {
namespace {

std::map<std::string, Module*>& loaded() {
  static std::map<std::string, Module*> modules;
  return modules;
}

std::map<std::string, AccessMethodEntry*>& access_methods() {
  static std::map<std::string, AccessMethodEntry*> entries;
  return entries;
}

// The process information block handed to mcn_main; the module only keeps it.
uint32_t g_pidb[16];

}  // namespace

Module* Module::load(const std::string& path, std::string* error) {
  if (auto it = loaded().find(path); it != loaded().end()) return it->second;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (error) *error = dlerror();
    return nullptr;
  }
  using Main = const ImageInfo* (*)(void**, void*);
  auto main = reinterpret_cast<Main>(dlsym(handle, "mcn_main"));
  if (!main) {
    if (error) *error = path + ": no mcn_main";
    dlclose(handle);
    return nullptr;
  }
  const ImageInfo* image = main(control_block(), g_pidb);
  if (!image || image->magic != IMAGE_MAGIC || !image->nodes || !image->nodes[0]) {
    if (error) *error = path + ": no valid image information";
    return nullptr;
  }
  const ProgramControlNode* node = image->nodes[0];
  void* block = nullptr;
  int32_t status = st::FAILED;
  node->builder(&block, &status);
  if (status != st::OK || !block) {
    if (error) *error = path + ": the method-table builder failed";
    return nullptr;
  }
  auto* m = new Module;
  m->handle_ = handle;
  m->image_ = image;
  m->node_ = node;
  m->entry_ = static_cast<AccessMethodEntry*>(block);
  register_access_method(m->entry_);
  loaded()[path] = m;
  return m;
}

namespace {
std::string& default_path() {
  static std::string path = FTPAM_MODULE_PATH;
  return path;
}
}  // namespace

Module* Module::load_default(std::string* error) { return load(default_path(), error); }

void Module::set_default_path(const std::string& path) { default_path() = path; }

void* Module::symbol(const char* name) const { return dlsym(handle_, name); }

void register_access_method(AccessMethodEntry* entry) {
  access_methods()[std::string(entry->name, 8)] = entry;
}

}  // namespace host



// yxam2am(name8, &block, context): the entry block registered under the name.
extern "C" int32_t hs_yxam2am(const char* name8, void** block_out, void*) {
  auto& entries = host::access_methods();
  auto it = name8 ? entries.find(std::string(name8, 8)) : entries.end();
  if (it == entries.end()) {
    if (block_out) *block_out = nullptr;
    return st::NOT_ASSIGNED;
  }
  if (block_out) *block_out = it->second;
  return st::OK;
}

// yxaunql(name8, context): an all-blank name becomes a unique one, "#FTPnnnn",
// that no reference of the host holds; any other name is left alone.
extern "C" int32_t hs_yxaunql(char* name8, void*) {
  if (!name8) return st::FAILED;
  if (std::memcmp(name8, "        ", 8) != 0) return st::OK;
  static unsigned counter = 0;
  for (int tries = 0; tries < 10000; ++tries) {
    char unique[16];
    counter = counter % 9999u + 1;
    std::snprintf(unique, sizeof unique, "#FTP%04u", counter);
    if (host::references::known(unique)) continue;
    std::memcpy(name8, unique, 8);
    return st::OK;
  }
  return st::FAILED;
}

// Loading the module: dlopen, mcn_main, and the walk from the image
// information through the program control node to the method-table builder,
// whose entry block the host keeps and finds again by name (yxam2am).
#pragma once
#include <cstdint>
#include <string>

#include "module/method_vector.h"
#include "module/records.h"

namespace host {

class Module {
 public:
  // Loads the module file (once per process; later calls with the same path
  // return the same module). Returns null and sets `error` on failure.
  static Module* load(const std::string& path, std::string* error);
  // The module the host's services use (files, references, positions): the
  // one built alongside this host unless set_default_path named another.
  static Module* load_default(std::string* error);
  // Names the module load_default loads; call it before the first load.
  static void set_default_path(const std::string& path);

  const ImageInfo* image() const { return image_; }
  const ProgramControlNode* node() const { return node_; }
  AccessMethodEntry* entry() const { return entry_; }
  MethodSlot* vector() const { return entry_->vector; }
  void* symbol(const char* name) const;

  // The routine in slot `slot` of the method vector, called with the host's
  // arguments (cdecl). Slots without a routine are not called.
  template <typename... Args>
  int32_t call(int slot, Args... args) const {
    using Fn = int32_t (*)(Args...);
    return reinterpret_cast<Fn>(vector()[slot].routine)(args...);
  }

 private:
  void* handle_ = nullptr;
  const ImageInfo* image_ = nullptr;
  const ProgramControlNode* node_ = nullptr;
  AccessMethodEntry* entry_ = nullptr;
};

// Method-vector slots by operation (module/methods.def).
namespace slot = ::method_slot;

// The entry blocks the host knows by name (yxam2am).
void register_access_method(AccessMethodEntry* entry);

}  // namespace host

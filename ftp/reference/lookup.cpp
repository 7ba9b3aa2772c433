// Name lookups on the file references of this access method: find the assign
// record of a name, and the method-vector questions built on it (exists,
// physical name, enumerate, validate).
#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/methods.h"
#include "ftp/reference/method_instance.h"
#include "hostsvc/hostsvc.h"
#include "module/records.h"
#include "module/status.h"
#include "util/util.h"

namespace {
AccessMethodEntry* entry_by_name(void* context) {
  AccessMethodEntry* entry = nullptr;
  return find_method_entry(context, &entry) == st::OK ? entry : nullptr;
}
}  // namespace

extern "C" int32_t find_method_entry(void* context, AccessMethodEntry** entry) {
  return yxam2am(ACCESS_METHOD_NAME, reinterpret_cast<void**>(entry), context);
}

extern "C" int32_t yxfzl2l(const char* name, AccessMethodEntry** entry_io, AssignRecord** record,
                           void* context) {
  if (!name) return st::NOT_ASSIGNED;
  char key[8];
  wztxxlt(NAME_TABLE, name, key, 8);
  AccessMethodEntry* entry = entry_io ? *entry_io : nullptr;
  if (!entry) {
    entry = entry_by_name(context);
    if (entry_io) *entry_io = entry;
  }
  if (!entry || !entry->instance) return st::NOT_ASSIGNED;
  for (AssignRecord* r = entry->instance->assigns; r; r = r->next) {
    if (std::memcmp(r->name, key, 8) == 0) {
      if (record) *record = r;
      return st::OK;
    }
  }
  return st::NOT_ASSIGNED;
}

extern "C" int32_t yxfexl(const char* name, void* context) {
  return yxfzl2l(name, nullptr, nullptr, context);
}

extern "C" int32_t yxfval(const char* name) {
  AssignRecord* record = nullptr;
  return yxfzl2l(name, nullptr, &record, nullptr);
}

extern "C" int32_t yxfpnam(const char* name, char* buffer) {
  AssignRecord* record = nullptr;
  int32_t status = yxfzl2l(name, nullptr, &record, nullptr);
  if (status != st::OK) return status;
  int32_t n = record->remote_name ? record->remote_name_len : 0;
  if (n > PHYSICAL_NAME_MAX) n = PHYSICAL_NAME_MAX;
  if (n > 0) std::memcpy(buffer, record->remote_name, size_t(n));
  buffer[n] = '\0';
  return st::OK;
}

extern "C" int32_t yxfnxt(void** cursor, char* name_out, void* context, const char** remote_out,
                          int32_t* length_out) {
  AssignRecord* next = nullptr;
  if (!*cursor) {
    AccessMethodEntry* entry = entry_by_name(context);
    next = entry && entry->instance ? entry->instance->assigns : nullptr;
  } else {
    next = static_cast<AssignRecord*>(*cursor)->next;
  }
  *cursor = next;
  if (!next) return st::END_OF_LIST;
  std::memcpy(name_out, next->name, 8);
  *remote_out = next->remote_name;
  *length_out = next->remote_name_len;
  return st::OK;
}

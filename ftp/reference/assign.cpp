// Assign and deassign of file references, and the release of option blocks.
// The first assign creates the method-instance record behind the host's
// entry block; the deassign of the last reference frees it again.
#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/methods.h"
#include "ftp/reference/method_instance.h"
#include "hostsvc/hostsvc.h"
#include "module/allocation.h"
#include "module/msgno.h"
#include "module/status.h"
#include "util/util.h"

namespace {

// The catalog text of a message, at most BREAK_TEXT_SIZE - 1 characters.
void read_catalog_text(int number, char* field) {
  const char* text = nullptr;
  int32_t length = 0;
  if (wkread(msg::GROUP, number, &text, &length) != st::OK || !text || length <= 0) return;
  if (length > BREAK_TEXT_SIZE - 1) length = BREAK_TEXT_SIZE - 1;
  std::memcpy(field, text, size_t(length));
  field[length] = '\0';
}

MethodInstance* make_instance(AccessMethodEntry* entry) {
  auto* instance = static_cast<MethodInstance*>(mem::alloc_clear(sizeof(MethodInstance)));
  if (!instance) return nullptr;
  instance->break_handler = do_break;
  entry->instance = instance;
  read_catalog_text(msg::BREAK_QUESTION, instance->break_question);
  read_catalog_text(msg::BREAK_TITLE, instance->break_title);
  return instance;
}

AssignRecord* find(MethodInstance* instance, const char* key) {
  for (AssignRecord* r = instance->assigns; r; r = r->next)
    if (std::memcmp(r->name, key, 8) == 0) return r;
  return nullptr;
}

// The record's options block is this module's to release.
bool owns_options(const AssignRecord* record) {
  return record->options && !(record->options_flags & OPTIONS_HOST_OWNED);
}

// A new record for `name` (a blank name gets a unique one from the host) at
// the head of the instance's chain.
int32_t add_record(MethodInstance* instance, char* name, char (&key)[8], void* context,
                   AssignRecord** out) {
  auto* record = static_cast<AssignRecord*>(mem::alloc_clear(sizeof(AssignRecord)));
  if (!record) return st::NO_MEMORY;
  if (vzatl(' ', name, 8)) {
    int32_t status = yxaunql(name, context);
    if (status != st::OK) {
      mem::release(record);
      return status;
    }
    // The generated name is kept in the form every lookup compares with.
    wztxxlt(NAME_TABLE, name, key, 8);
  }
  std::memcpy(record->name, key, 8);
  record->next = instance->assigns;
  instance->assigns = record;
  *out = record;
  return st::OK;
}

}  // namespace

extern "C" int32_t yxfasgn(char* name, void* context, const char* am_name, const char* remote,
                           int32_t remote_length, FtpOptions* options) {
  char key[8];
  wztxxlt(NAME_TABLE, name, key, 8);
  AccessMethodEntry* entry = nullptr;
  int32_t status = yxam2am(am_name, reinterpret_cast<void**>(&entry), context);
  if (status != st::OK) return status;
  if (!entry) return st::NOT_ASSIGNED;
  const bool new_instance = !entry->instance;
  MethodInstance* instance = new_instance ? make_instance(entry) : entry->instance;
  if (!instance) return st::NO_MEMORY;

  // Everything that can fail comes before the reference changes, so that a
  // failed assign leaves no half-made record (nor a record-less instance)
  // behind and a failed reassign keeps the reference as it was.
  if (remote_length < 0 || !remote) remote_length = 0;
  auto* copy = static_cast<char*>(mem::alloc_clear(remote_length + 1));
  AssignRecord* record = copy ? find(instance, key) : nullptr;
  const bool reassign = record != nullptr;
  if (!copy) status = st::NO_MEMORY;
  else if (!reassign) status = add_record(instance, name, key, context, &record);
  if (status != st::OK) {
    mem::release(copy);
    if (new_instance) {
      entry->instance = nullptr;
      mem::release(instance);
    }
    return status;
  }
  if (reassign) {
    // A reassign that hands back the block the record already holds keeps it.
    if (owns_options(record) && record->options != options)
      yxfhbfr(name, context, record->options);
    mem::release(record->remote_name);
  }

  if (remote_length > 0) std::memcpy(copy, remote, size_t(remote_length));
  record->amec = entry;
  record->remote_name_len = remote_length;
  record->remote_name = copy;
  record->options = options;
  record->options_flags = options ? options->context_flags : 0;
  return st::OK;
}

extern "C" int32_t yxfdasg(const char* name, void* context) {
  AccessMethodEntry* entry = nullptr;
  AssignRecord* record = nullptr;
  int32_t status = yxfzl2l(name, &entry, &record, context);
  if (status != st::OK) return status;
  MethodInstance* instance = entry->instance;
  if (!instance) return st::FAILED;
  AssignRecord** link = &instance->assigns;
  while (*link && *link != record) link = &(*link)->next;
  if (!*link) return st::FAILED;
  if (record->open_count != 0) return st::HAS_OPEN_FILES;

  if (owns_options(record)) yxfhbfr(name, context, record->options);
  *link = record->next;
  if (!instance->assigns) {
    entry->instance = nullptr;
    mem::release(instance);
  }
  mem::release(record->remote_name);
  mem::wipe(record->saved_password, sizeof record->saved_password);
  mem::release(record);
  return st::OK;
}

extern "C" int32_t yxfhbfr(const char* name, void* context, FtpOptions* block) {
  AssignRecord* record = nullptr;
  yxfzl2l(name, nullptr, &record, context);
  if (record && record->options == block) record->options = nullptr;
  if (block) mem::wipe(block->password, sizeof block->password);
  mem::release(block);
  return st::OK;
}

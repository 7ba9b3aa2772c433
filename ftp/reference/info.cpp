// What the host shows about a file reference: the information record of a
// reference, open or not (slot 8), and the list of named information items of
// an open file (slot 9) with its release (slot 10). Item values point into the
// open file and its control connection; the values that have to be built
// (numbers, "N/A", the record-format word) go into the file's info_scratch
// area, which a later list overwrites and the release gives back. An open
// whose data connection is passive has an eleventh item saying so.
#include <netinet/in.h>

#include <cstring>
#include <initializer_list>

#include "ftp/ftp_file.h"
#include "ftp/methods.h"
#include "ftp/reference/method_instance.h"
#include "module/allocation.h"
#include "module/host_records.h"
#include "module/status.h"
#include "sock/tls.h"
#include "util/util.h"

namespace {

constexpr char DEVICE_TYPE[8] = {'F', 'T', 'P', ' ', ' ', ' ', ' ', '\0'};
constexpr int32_t INFO_WORD8 = 12;  // stored for the host, which gives it its meaning
constexpr int32_t INFO_WORD9 = 4;

constexpr int32_t RECFM_CODE_FIXED = 0x08;
constexpr int32_t RECFM_CODE_OTHER = 0x20;
constexpr int32_t RECFM_CODE_CC = 0x10;

constexpr int32_t SCRATCH_SIZE = 160;  // room for an IPv6 data address beside the rest
constexpr int32_t NUMBER_FIELD = 10;
constexpr int ITEM_COUNT = 10;  // and one more each for a passive data connection and TLS
constexpr int ITEM_COUNT_WORD = 3;

struct Value {
  const char* text;
  int32_t length;
};

// A text field of a block: its length is its NUL-terminated length, never
// more than the field.
Value field(const char* text, size_t size) { return {text, int32_t(strnlen(text, size))}; }

InfoItem item(const char* name, Value value) {
  return {name, wzstlen(name), value.text, value.length};
}

// Builds item values one after another in info_scratch.
class Scratch {
 public:
  Scratch(char* area, int32_t size) : next_(area), end_(area + size) {}
  // "N/A" for an empty text, else the text itself.
  Value text_or_na(Value text) { return text.length > 0 ? text : word("N/A"); }
  // A number left-justified in a 10-byte field.
  Value number(int32_t value) {
    char* start = next_;
    wzclchr(value, start, NUMBER_FIELD);
    int32_t length = 0;
    wzstjls(start, NUMBER_FIELD, 'l', &length, nullptr);
    next_ += NUMBER_FIELD;
    return {start, length};
  }
  Value word(const char* word) {
    char* start = next_;
    int32_t n = min(wzstlen(word), room());
    std::memcpy(start, word, size_t(n));
    next_ += n;
    return {start, n};
  }
  // The words one after another, cut to the room left.
  Value joined(std::initializer_list<const char*> words) {
    char* start = next_;
    for (const char* w : words) word(w);
    return {start, int32_t(next_ - start)};
  }

 private:
  int32_t room() const { return int32_t(end_ - next_); }
  char* next_;
  const char* end_;
};

const char* recfm_word(const FtpFile* file) {
  if (file->recfm == RECFM_S) return "Stream";
  if (file->recfm == RECFM_F) return "Fixed";
  if (file->data && (file->data->read_mode & READ_S370V)) return "S370V";
  if (file->data && (file->data->read_mode & READ_S370VS)) return "S370VS";
  return "Variable";
}

}  // namespace

extern "C" int32_t yxfinfo(FtpFile* file, const char* fileref_name, void* host_fileref, int32_t,
                           int32_t, InfoRecord* info) {
  info->word9 = INFO_WORD9;
  if (file) {
    info->name = file->remote_name;
    info->name_length = file->remote_name_len;
    info->recfm_code = (file->recfm & RECFM_F) ? RECFM_CODE_FIXED : RECFM_CODE_OTHER;
    if (file->recfm & RECFM_CC) info->recfm_code += RECFM_CODE_CC;
    info->maxrec = file->maxrec;
    std::memcpy(info->device, DEVICE_TYPE, sizeof DEVICE_TYPE);
    info->word6 = 0;
    info->word7 = 0;
    info->word8 = INFO_WORD8;
    return st::OK;
  }
  AssignRecord* record = nullptr;
  int32_t status = yxfzl2l(fileref_name, nullptr, &record, host_fileref);
  if (status != st::OK) return status;
  info->name = record->remote_name;
  info->name_length = record->remote_name_len;
  std::memcpy(info->device, DEVICE_TYPE, sizeof DEVICE_TYPE);
  return st::OK;
}

extern "C" int32_t yxfins(FtpFile* file, void** list_out) {
  if (!file || !file->ctl) return st::NO_OPEN_FILE;
  auto* list = static_cast<InfoItemList*>(mem::alloc_clear(sizeof(InfoItemList)));
  if (!list) return st::NO_MEMORY;
  if (!file->info_scratch) {
    file->info_scratch = static_cast<char*>(mem::alloc_clear(SCRATCH_SIZE));
    if (!file->info_scratch) {
      mem::release(list);
      return st::NO_MEMORY;
    }
  }
  const sock_conn* ctl = file->ctl;
  Scratch scratch(file->info_scratch, SCRATCH_SIZE);
  InfoItem* items = list->items;
  items[0] = item("Filename", {file->remote_name, file->remote_name_len});
  items[1] = item("Pathname", field(file->pwd, PWD_SIZE));
  items[2] = item("Local Host Name", field(ctl->local_host_name, SOCK_TEXT));
  items[3] = item("Local Host IP addr", field(ctl->local_host_ip, SOCK_TEXT));
  items[4] = item("Service Hostname Name",
                  scratch.text_or_na(field(ctl->service_host_name, SOCK_TEXT)));
  items[5] = item("Service IP addr", field(ctl->service_ip, SOCK_TEXT));
  items[6] = item("Service Name", scratch.text_or_na(field(ctl->service_name_text, SOCK_TEXT)));
  items[7] = item("Service Portno", scratch.number(ctl->service_portno));
  items[8] = item("Lrecl", scratch.number(file->lrecl_out));
  items[9] = item("Recfm", scratch.word(recfm_word(file)));
  int32_t count = ITEM_COUNT;
  // A passive data connection says so, and how its port was learnt; over
  // IPv6 also the family and the address it reached. The items of active
  // mode are as they always were.
  if (file->data_mode == DATA_EPSV || file->data_mode == DATA_PASV) {
    const char* mode = file->data_mode == DATA_EPSV ? "Passive (EPSV)" : "Passive (PASV)";
    Value value = {mode, wzstlen(mode)};
    if (file->data && file->data->address_family == AF_INET6)
      value = scratch.joined({mode, ", IPv6 ", file->data->service_ip});
    items[count++] = item("Data Connection", value);
  }
  // A TLS control connection names its protocol and cipher.
  if (const char* version = sock::tls_version(ctl))
    items[count++] = item("TLS", scratch.joined({version, " ", sock::tls_cipher(ctl)}));
  list->header[ITEM_COUNT_WORD] = count;
  *list_out = list;
  return st::OK;
}

extern "C" int32_t yxfinf(FtpFile* file, void* list) {
  if (!file) return st::NO_OPEN_FILE;
  if (!list) return st::OK;
  mem::release(file->info_scratch);
  file->info_scratch = nullptr;
  mem::release(list);
  return st::OK;
}

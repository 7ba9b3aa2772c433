// The ends of an open file: the orderly close (final reply -- after ABOR for
// a read stopped early -- and QUIT), owner termination of every file of one
// host owner, the release both share with the clean-up of a failed open
// (term), and the break handler that interrupts a wait on the control
// connection.
#include <cstring>

#include "ftp/ftp_file.h"
#include "ftp/ftp_options.h"
#include "ftp/methods.h"
#include "ftp/protocol.h"
#include "ftp/reference/method_instance.h"
#include "hostsvc/hostsvc.h"
#include "module/allocation.h"
#include "module/export.h"
#include "module/msgno.h"
#include "module/status.h"
#include "sock/data_connection.h"
#include "sock/yxsoc.h"

namespace {

constexpr int32_t BREAK_CONFIRMED = 1;
constexpr int32_t ANSWER_YES = 0;
constexpr int32_t SERVICE_CLOSING = 421;

// The open options are this module's to give back.
bool owns_open_options(const FtpFile* file) {
  return file->open_options && !(file->open_options_flags & OPTIONS_HOST_OWNED);
}

void unlink_open_file(MethodInstance* instance, FtpFile* file) {
  FtpFile** link = &instance->open_files;
  while (*link && *link != file) link = &(*link)->next;
  if (*link) *link = file->next;
}

// A read stopped before the end of its data: the server is told with ABOR,
// since some servers (pure-ftpd) send no final reply for a data connection
// closed early until they hear it, and the answer is read -- the transfer's
// 426 and then ABOR's own 225 or 226, or ABOR's reply alone -- without
// waiting for the transfer's own end. A reply that is there already ends
// the transfer without ABOR, and so does a control connection at its end
// (the refusal of the next MGET file was the server's last word).
int32_t abort_transfer(FtpFile* file) {
  sock_conn* ctl = file->ctl;
  const int32_t control[1] = {sock::data_socket(ctl)};
  uint32_t ready = 0;
  if (ctl->at_eof || ctl->read_avail > 0 ||
      (sock::poll_readable(control, 1, &ready) == st::OK && ready))
    return read_final_reply(file);
  int32_t status = command_exchange(file, "ABOR");
  if (status == st::OK && file->reply_code / 100 == 1) status = read_final_reply(file);
  if (status == st::OK && file->reply_code / 100 == 4 && file->reply_code != SERVICE_CLOSING)
    status = read_final_reply(file);
  return status;
}

}  // namespace

MethodInstance* method_instance(void* context) {
  AccessMethodEntry* entry = nullptr;
  if (find_method_entry(context, &entry) != st::OK || !entry) return nullptr;
  return entry->instance;
}

void release_option_texts(FtpFile* file) {
  mem::release(file->cwd);
  mem::release(file->rcmd);
  mem::release(file->lsfile);
}

int32_t release_open_file(MethodInstance* instance, FtpFile* file, void* options_context) {
  if (file->assign_record) --file->assign_record->open_count;
  if (file->ctl) yxsterm(file->ctl->break_routine);
  int32_t status = st::OK;
  if (owns_open_options(file)) status = yxfhbfr(file->fileref_name, options_context, file->open_options);
  mem::release(file->reader_vector);
  mem::release(file->ctl);
  mem::release(file->data);
  unlink_open_file(instance, file);
  if (file->mget_pool) wmpoold(file->mget_pool);
  mem::release(file->remote_name);
  release_option_texts(file);
  // An item list the host did not give back before closing leaves its
  // text area behind; it goes with the file.
  mem::release(file->info_scratch);
  mem::wipe(file->password, sizeof file->password);
  mem::release(file);
  return status;
}

extern "C" int32_t yxfcls(FtpFile* file) {
  if (!file) return st::NO_OPEN_FILE;
  MethodInstance* instance = method_instance(file->host_fileref);
  if (!instance) return st::NO_OPEN_FILE;
  // A wait that a declined break left registered ends here.
  if (instance->break_word == 0) yxsbrk();
  instance->break_word = NO_BREAK_PENDING;

  sock_conn* ctl = file->ctl;
  bool transfer_failed = false;
  if (file->data) {
    const bool writing = file->open_mode & (OPEN_OUTPUT | OPEN_APPEND);
    // A read the host broke off early is expected to end with a refusal
    // (426), or with no word about the transfer at all: the records read
    // were delivered. Only a transfer that went to its end is judged by its
    // final reply. An upload always is: closing is how it ends.
    const bool judged = writing || file->data->at_eof;
    // Records still in the write buffer go out now; if they cannot, the
    // upload lost them.
    transfer_failed = yxsclos(file->data) != st::OK && writing;
    file->reply_code = 0;
    if (!(file->opts & opt::NOQUIT)) {
      int32_t status = judged ? read_final_reply(file) : abort_transfer(file);
      bool refused = status == st::OK && file->reply_code >= 400;
      if (refused && judged) {
        // Shown even without DEBUG: the transfer did not end well.
        file->reply_code = putreply(ctl->record_length, ctl->record, opt::DEBUG, ctl);
        puterr(writing ? msg::STORE_REFUSED : msg::TRANSFER_REFUSED);
      } else if (judged && status != st::OK) {
        // No final reply at all: the server never confirmed the transfer.
        puterr(writing ? msg::STORE_REFUSED : msg::TRANSFER_REFUSED);
      }
      // A transfer the server reports as failed, or never confirmed, may
      // have lost data: the close must not report success for it.
      if (judged && (refused || status != st::OK)) transfer_failed = true;
    }
    // The data block is released with the file; its buffers went with yxsclos.
  }
  if (!transfer_failed && mget_file_failed(file)) {
    puterr(msg::TRANSFER_REFUSED);
    transfer_failed = true;
  }
  // No reply to QUIT is awaited, and its failure changes nothing.
  command_send(file, "QUIT");
  ctl->at_eof = 0;
  int32_t result = yxsclos(ctl);

  bool gives_back_options = owns_open_options(file);
  int32_t options_status = release_open_file(instance, file, nullptr);
  if (transfer_failed) return st::FAILED;
  return gives_back_options ? options_status : result;
}

FTPAM_EXPORT void yxftrm(uint32_t key) {
  MethodInstance* instance = method_instance(nullptr);
  if (!instance) return;
  for (FtpFile* file = instance->open_files; file;) {
    FtpFile* next = file->next;
    if (file->owner_key == key) {
      if (file->data) yxsclos(file->data);
      if (file->ctl) yxsclos(file->ctl);
      release_open_file(instance, file, nullptr);
    }
    file = next;
  }
}

extern "C" int32_t do_break() {
  AccessMethodEntry* entry = nullptr;
  int32_t status = find_method_entry(nullptr, &entry);
  if (status != st::OK) return status;
  MethodInstance* instance = entry ? entry->instance : nullptr;
  if (!instance) return st::OK;
  instance->break_word = 0;
  int32_t answer = ANSWER_YES;
  wurrqst(0, instance->break_question, instance->break_title, nullptr, &answer, 0);
  if (answer == ANSWER_YES) instance->break_word = BREAK_CONFIRMED;
  if (instance->break_word != 0) yxsbrk();
  return st::OK;
}

// Open of a file reference: build the open-file block from the reference's
// options, check the open mode, connect the control connection, read the
// greeting, log in (prompting where allowed) and start the one operation the
// options ask for. Also term, the clean-up of an open that failed once the
// file was in the open list.
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "ftp/field_text.h"
#include "ftp/ftp_file.h"
#include "ftp/ftp_options.h"
#include "ftp/methods.h"
#include "ftp/protocol.h"
#include "ftp/reference/method_instance.h"
#include "ftp/transfer/transfer.h"
#include "hostsvc/gcb.h"
#include "hostsvc/hostsvc.h"
#include "hostsvc/lookups.h"
#include "module/allocation.h"
#include "module/msgno.h"
#include "module/status.h"
#include "sock/yxsoc.h"
#include "util/util.h"

namespace {

// The longest user id or password asked for: the host interface's maximum,
// one less than the field, since a host may terminate the answer it writes
// at answer[maximum]. A full-width credential comes from the options.
constexpr int32_t ANSWER_MAX = FILE_TEXT - 1;
constexpr int32_t GREETING_MAX = 2048;         // the control connection's record size
constexpr int32_t INET_VALUE_MAX = 8;

// Prompt kinds of wurrqst and the texts the user sees.
constexpr int32_t ASK_USER_ID = 3;
constexpr int32_t ASK_PASSWORD = 4;
constexpr char USER_PROMPT[] = "Userid:";
constexpr char USER_TITLE[] = "FTP ACCESS METHOD";
constexpr char PASSWORD_PROMPT[] = "Password:";
constexpr char PASSWORD_TITLE[] = "FTP Access Method";

// Options that only make sense when reading (LS, RHELP, RSTAT, LIST).
constexpr uint32_t INPUT_ONLY_OPTIONS = opt::LS | opt::RHELP | opt::RSTAT | opt::LIST;
constexpr uint32_t ANY_OPEN_MODE = OPEN_INPUT | OPEN_OUTPUT | OPEN_APPEND;

// The variable lookup answers these when the NBYTE variable cannot be used.

// Descriptor of the work utility file handed to xcopen.
struct WorkFileDescriptor {
  char ddname[8];          // "WORK    "
  char unused8[46];
  char kind[8];            // "UTILITY "
  char unused62[2];
  uint32_t attributes;     // 0x84000008
  uint32_t word68;         // 0
  char unused72[112];
};
static_assert(sizeof(WorkFileDescriptor) == 184);
static_assert(offsetof(WorkFileDescriptor, kind) == 54);
static_assert(offsetof(WorkFileDescriptor, attributes) == 64);
static_assert(offsetof(WorkFileDescriptor, word68) == 68);
constexpr uint32_t WORK_FILE_ATTRIBUTES = 0x84000008;

int32_t open_work_file(FtpFile* file) {
  WorkFileDescriptor descriptor{};
  std::memcpy(descriptor.ddname, "WORK    ", 8);
  std::memcpy(descriptor.kind, "UTILITY ", 8);
  descriptor.attributes = WORK_FILE_ATTRIBUTES;
  return xcopen(&file->work_file, &descriptor);
}

// The directory, raw command and listing pattern point into an option block
// after the merge; the assign's block goes when the reference is reassigned,
// which may happen while the file is open. The file takes copies of its own
// (released with it). False when one cannot be made.
bool own_option_texts(FtpFile* file) {
  bool made = true;
  for (char** text : {&file->cwd, &file->rcmd, &file->lsfile}) {
    if (!*text) continue;
    size_t n = strnlen(*text, OPTION_TEXT_LONG - 1);
    auto* copy = made ? static_cast<char*>(mem::alloc_text(int32_t(n + 1))) : nullptr;
    if (copy) {
      std::memcpy(copy, *text, n);
      copy[n] = '\0';
    }
    made = copy != nullptr;
    *text = copy;  // null after a failure: nothing left points into a block
  }
  return made;
}

// Releases a file that never entered the open list.
void discard_unlisted(FtpFile* file) {
  if (file->open_options && !(file->open_options_flags & OPTIONS_HOST_OWNED))
    yxfhbfr(file->fileref_name, file->host_fileref, file->open_options);
  mem::release(file->ctl);
  mem::release(file->remote_name);
  release_option_texts(file);
  mem::wipe(file->password, sizeof file->password);
  mem::release(file);
}

// The message of the first mode check that fails, or 0.
int open_mode_problem(const FtpFile* file, int32_t host_recfm) {
  if (!(file->open_mode & ANY_OPEN_MODE)) return msg::NO_OPEN_MODE;
  bool input = file->open_mode & OPEN_INPUT;
  if (!input && (file->opts & INPUT_ONLY_OPTIONS)) return msg::INPUT_ONLY;
  if (file->open_mode & OPEN_POSITIONING) {
    bool s_asked_without_s = !(file->recfm & RECFM_S) && (host_recfm & RECFM_HOST_0X40);
    if (!input || s_asked_without_s) return msg::NO_POSITIONING;
  }
  return 0;
}

// An S input in byte mode needs the NBYTE variable; the lookup hands out
// the address of its value. False when it is missing or cannot be used.
bool nbyte_usable(FtpFile* file) {
  bool wanted = (file->recfm & RECFM_S) && (file->open_mode & OPEN_INPUT) &&
                hostsvc::variables_offered() && file->byte_mode != 0;
  if (!wanted) return true;
  if (file->nbyte_name_len <= 0 || file->nbyte_name[0] == ' ' || file->nbyte_name[0] == '\0')
    return false;
  int32_t answer = hostsvc::look_up_variable(file->nbyte_name, file->nbyte_name_len,
                                             file->nbyte_value, &file->nbyte_handle);
  return answer != hostsvc::VARIABLE_MISSING && answer != hostsvc::VARIABLE_UNUSABLE;
}

// Asks the host for a user id or password into `field` (empty when nobody answers).
void ask(int32_t kind, const char* prompt, const char* title, char (&field)[FILE_TEXT]) {
  int32_t length = 0;
  wurrqst(kind, prompt, title, field, &length, ANSWER_MAX);
  if (length < 0) length = 0;
  if (length > ANSWER_MAX) length = ANSWER_MAX;
  field[length] = '\0';
}

// Logs in with USER and, when asked for, PASS. 0 when logged in.
int32_t log_in(FtpFile* file) {
  sock_conn* ctl = file->ctl;
  bool may_prompt = file->opts & opt::PROMPT;
  if (!file->user[0] && may_prompt) ask(ASK_USER_ID, USER_PROMPT, USER_TITLE, file->user);

  FieldText user(file->user);
  int32_t status = command_exchange(file, "USER %s", user.c_str());
  if (status != st::OK) return status;
  if (file->reply_code == 0) return st::FAILED;  // message 17 is handed over

  int reason = 0;  // the message that explains a refused log-in
  if (file->reply_code / 100 == 3) {
    if (!file->password[0] && may_prompt)
      ask(ASK_PASSWORD, PASSWORD_PROMPT, PASSWORD_TITLE, file->password);
    status = command_send(file, "PASS %s", FieldText(file->password).c_str());
    // The staging buffer keeps whatever later, shorter commands do not
    // overwrite: the password goes from it as soon as it is sent.
    mem::wipe(ctl->staging, size_t(ctl->record_size));
    if (status != st::OK) return status;
    if (read_reply_line(ctl) != st::OK) {
      reason = msg::NO_PASSWORD_REPLY;
    } else {
      file->reply_code = putreply(ctl->record_length, ctl->record, file->opts, ctl);
      if (file->reply_code / 100 != 2) reason = msg::PASSWORD_REFUSED;
    }
  } else if (file->reply_code / 100 != 2) {
    reason = msg::USER_REFUSED;
  }
  if (reason == msg::NO_PASSWORD_REPLY) report_message(reason);
  else if (reason) report_message(reason, user.c_str());
  return reason ? st::FAILED : st::OK;
}

// Which addresses of the server the control connection may use: the IPV4 or
// IPV6 option, else the host option XXAMINET (4 or 6), else either.
int32_t choose_family(FtpFile* file) {
  int32_t family = FAMILY_ANY;
  if (file->opts & opt::IPV4) family = FAMILY_IPV4;
  else if (file->opts & opt::IPV6) family = FAMILY_IPV6;
  else {
    char value[INET_VALUE_MAX + 1];
    file_host_option(file, "XXAMINET", value, INET_VALUE_MAX);
    if (std::strcmp(value, "4") == 0) family = FAMILY_IPV4;
    else if (std::strcmp(value, "6") == 0) family = FAMILY_IPV6;
    else if (value[0]) return report_message(msg::FAMILY_OPTION_INVALID, value);
  }
  file->ctl->family_wanted = family;
  return st::OK;
}

// Starts the one operation the options ask for.
int32_t dispatch(FtpFile* file) {
  if (file->opts & (opt::LS | opt::LIST)) return dols(file);
  if (file->opts & opt::RHELP) return dohelp(file);
  if (file->opts & opt::RSTAT) return dostat(file);
  if (!(file->open_mode & OPEN_INPUT)) return dostor(file);
  if (file->rcmd && file->assign_record->remote_name_len == 0) return dorcmd(file);
  if (file->opts & opt::MGET) return domget(file);
  return doretr(file);
}

// Greeting, saved credentials, log-in, SAVEUSER and the operation: the part
// of the open that talks to the server.
int32_t converse(FtpFile* file) {
  sock_conn* ctl = file->ctl;
  int32_t status = (file->opts & opt::TLS_IMPLICIT) ? start_tls(file) : st::OK;
  if (status == st::OK) status = read_reply(ctl);
  if (status != st::OK) return status;
  char greeting[GREETING_MAX + 1];
  int32_t n = ctl->record_length < GREETING_MAX ? ctl->record_length : GREETING_MAX;
  std::memcpy(greeting, ctl->record, size_t(n));
  greeting[n] = '\0';
  ypmlog(msg::GROUP, msg::GREETING, greeting);
  // Any class will do: a busy server (4xx) may still let us log in.
  file->reply_code = putreply(ctl->record_length, ctl->record, file->opts, ctl);
  if (file->reply_code == 0) return st::FAILED;
  if ((file->opts & opt::TLS_EXPLICIT) && (status = start_tls(file)) != st::OK) return status;

  AssignRecord* record = file->assign_record;
  if (record->saved_user[0]) {
    std::memcpy(file->user, record->saved_user, FILE_TEXT);
    std::memcpy(file->password, record->saved_password, FILE_TEXT);
  }
  status = log_in(file);
  if (status != st::OK) return status;
  if (file->opts & opt::SAVEUSER) {
    std::memcpy(record->saved_password, file->password, SAVED_TEXT_SIZE);
    std::memcpy(record->saved_user, file->user, SAVED_TEXT_SIZE);
  }
  if ((file->opts & opt::TLS_MODE) && (status = protect_transfers(file)) != st::OK) return status;
  return dispatch(file);
}

}  // namespace

extern "C" int32_t yxfopn(FtpFile** result, const char* name, void* host_fileref,
                          int32_t* request_words) {
  auto* request = reinterpret_cast<OpenRequest*>(request_words);
  *result = nullptr;
  request->cleared = 0;
  AccessMethodEntry* entry = nullptr;
  AssignRecord* record = nullptr;
  int32_t status = yxfzl2l(name, &entry, &record, host_fileref);
  if (status != st::OK) return status;
  MethodInstance* instance = entry->instance;

  auto* file = static_cast<FtpFile*>(mem::alloc_clear(sizeof(FtpFile)));
  if (!file) return st::NO_MEMORY;
  if (host_fileref) file->owner_key = static_cast<uint32_t*>(host_fileref)[HOST_FILEREF_OWNER_WORD];
  file->host_fileref = host_fileref;
  file->ctl = static_cast<sock_conn*>(mem::alloc_clear(sizeof(sock_conn)));
  if (!file->ctl) {
    discard_unlisted(file);
    return st::NO_MEMORY;
  }

  std::memcpy(file->fileref_name, name, sizeof file->fileref_name);
  wztxxlt(NAME_TABLE, file->fileref_name, file->fileref_name, sizeof file->fileref_name);
  file->amec = entry;
  file->assign_options = record->options;
  file->assign_record = record;
  file->remote_name_len = record->remote_name_len;
  if (file->remote_name_len != 0) {
    file->remote_name = static_cast<char*>(mem::alloc_text(file->remote_name_len + 1));
    if (!file->remote_name) {
      discard_unlisted(file);
      return st::NO_MEMORY;
    }
    std::memcpy(file->remote_name, record->remote_name, size_t(file->remote_name_len));
    file->remote_name[file->remote_name_len] = '\0';
  }

  file->open_mode = uint32_t(request->open_mode);
  file->recfm = uint32_t(request->recfm);
  if (request->lrecl > 0) file->lrecl = request->lrecl;
  file->ctl->owner_fileref = host_fileref;
  yxfzdfa(file, request->options);
  if (!own_option_texts(file)) {
    discard_unlisted(file);
    return st::NO_MEMORY;
  }
  request->encoding = file->encoding;
  if (file->opts & opt::MOD) file->open_mode = (file->open_mode | OPEN_APPEND) & ~OPEN_OUTPUT;

  if (int problem = open_mode_problem(file, request->recfm)) {
    discard_unlisted(file);
    ypmlog(msg::GROUP, problem);
    return st::OPEN_FAILED;
  }
  if (file->open_mode & OPEN_POSITIONING) {
    status = open_work_file(file);
    if (status < 0) {
      discard_unlisted(file);
      return status;
    }
  }

  sock_conn* ctl = file->ctl;
  ctl->break_word = &instance->break_word;
  instance->break_word = NO_BREAK_PENDING;
  ctl->break_routine_copy = instance->break_handler;
  if (yxsinit(&instance->break_handler, &ctl->break_routine, host_fileref, &ctl->wait_value,
              &ctl->data_port) != st::OK) {
    discard_unlisted(file);
    return st::OPEN_FAILED;
  }
  if ((status = choose_tls(file)) != st::OK || (status = choose_family(file)) != st::OK) {
    discard_unlisted(file);
    return status;
  }

  file->next = instance->open_files;
  instance->open_files = file;
  ++record->open_count;

  status = yxscopn(ctl);
  if (status != st::OK) {
    term(file);
    return status;
  }
  request->lrecl = file->lrecl_out;

  if (!nbyte_usable(file)) {
    ypmlog(msg::GROUP, msg::NBYTE_UNUSABLE);
    term(file);
    return st::OPEN_FAILED;
  }
  status = converse(file);
  if (status != st::OK) {
    term(file);
    return status;
  }
  file->reply_code = 0;
  // A host given as a dotted address has no resolved name: show the address.
  const char* host = ctl->service_host_name[0] ? ctl->service_host_name : file->host;
  ypmlog(msg::GROUP, msg::OPEN_COMPLETE, FieldText(file->user).c_str(), host);
  *result = file;
  return st::OK;
}

extern "C" void term(FtpFile* file) {
  MethodInstance* instance = method_instance(nullptr);
  if (!instance) return;
  yxsclos(file->ctl);
  if (file->data) yxsclos(file->data);
  release_open_file(instance, file, file->host_fileref);
}

// Commands and replies on the control connection. One command at a time:
// format into the staging buffer, log (DEBUG), send with CR LF, read the whole
// reply, and give its code to the caller.
#include "ftp/protocol.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/records/readers.h"
#include "hostsvc/hostsvc.h"
#include "module/msgno.h"
#include "module/status.h"
#include "sock/yxsoc.h"

namespace {

constexpr int32_t ECHO_MAX = 256;
// A multi-line reply that goes on longer than this is taken for a server
// that will never end it.
constexpr int32_t REPLY_LINES_MAX = 10000;
// Preliminary (1xx) replies a wait for the final reply takes before it gives
// up on a server that never sends one.
constexpr int32_t PRELIMINARY_REPLIES_MAX = 100;

// A server that hangs up while our last command is still unread resets the
// connection rather than closing it: while a command is sent or a reply
// read, both are the server's end. (Reply lines read as records keep a reset
// a failure: lines were lost.)
class ResetIsEnd {
 public:
  explicit ResetIsEnd(sock_conn* ctl) : ctl_(ctl) { ctl_->reset_is_end = 1; }
  ~ResetIsEnd() { ctl_->reset_is_end = 0; }
  ResetIsEnd(const ResetIsEnd&) = delete;
  ResetIsEnd& operator=(const ResetIsEnd&) = delete;

 private:
  sock_conn* ctl_;
};

void log_reply_line(const char* line, int32_t length, int32_t limit) {
  char text[4096];
  int32_t n = length < limit ? length : limit;
  if (n > int32_t(sizeof text) - 1) n = int32_t(sizeof text) - 1;
  std::memcpy(text, line, size_t(n));
  text[n] = '\0';
  ypmlog(msg::GROUP, msg::REPLY_LINE, text);
}

}  // namespace

int32_t reply_code_of(const char* line, int32_t length) {
  if (length < 3) return 0;
  int32_t aux = 0, value = 0;
  if (wzrlchr(line, 3, 0, &aux, &value) != 0) return 0;
  return value;
}

int32_t read_reply_line(sock_conn* ctl) {
  ResetIsEnd reset_is_end(ctl);
  int32_t status = yxsread(ctl);
  return status == st::TRUNCATED ? st::OK : status;
}

int32_t read_reply(sock_conn* ctl) {
  int32_t status = read_reply_line(ctl);
  if (!is_end_of_data(status)) return status;
  report_message(msg::SERVER_CLOSED);
  return st::FAILED;
}

int32_t give_up_on_replies(sock_conn* ctl, int32_t lines) {
  ctl->at_eof = 1;
  report_message(msg::NO_FINAL_REPLY, lines);
  return st::FAILED;
}

int32_t ask_feature(FtpFile* file, const char* feature, bool* listed) {
  *listed = false;
  int32_t status = command_send(file, "FEAT");
  if (status != st::OK) return status;
  sock_conn* ctl = file->ctl;
  if ((status = read_reply(ctl)) != st::OK) return status;
  const int32_t code = reply_code_of(ctl->record, ctl->record_length);
  if (file->opts & opt::DEBUG) log_reply_line(ctl->record, ctl->record_length, ECHO_MAX);
  if (code == 0) {
    codeerr();
    return st::FAILED;
  }
  if (ctl->record_length < 4 || ctl->record[3] != '-') return st::OK;
  const int32_t feature_length = int32_t(std::strlen(feature));
  for (int32_t lines = 1;; ++lines) {
    if (lines > REPLY_LINES_MAX) return give_up_on_replies(ctl, lines);
    if ((status = read_reply(ctl)) != st::OK) return status;
    const char* line = ctl->record;
    const int32_t n = ctl->record_length;
    if (file->opts & opt::DEBUG) log_reply_line(line, n, n);
    if (n >= 4 && line[3] == ' ' && reply_code_of(line, n) == code) return st::OK;
    // " MLST type*;size*;modify*;": the feature's name, then a blank or the end.
    int32_t at = 0;
    while (at < n && line[at] == ' ') ++at;
    if (n - at >= feature_length && strncasecmp(line + at, feature, size_t(feature_length)) == 0 &&
        (n - at == feature_length || line[at + feature_length] == ' '))
      *listed = true;
  }
}

extern "C" void sendreply(int32_t length, const char* command, uint32_t opts) {
  if (!(opts & opt::DEBUG)) return;
  char echo[ECHO_MAX + 1];
  int32_t n = length < ECHO_MAX ? length : ECHO_MAX;
  if (n < 0) n = 0;
  std::memcpy(echo, command, size_t(n));
  if (n >= 4 && std::memcmp(echo, "PASS", 4) == 0)
    for (int32_t i = 5; i < n; ++i) echo[i] = 'X';
  echo[n] = '\0';
  ypmlog(msg::GROUP, msg::COMMAND_SENT, echo);
}

extern "C" int32_t putreply(int32_t length, const char* line, uint32_t opts, sock_conn* ctl) {
  int32_t code = reply_code_of(line, length);
  if (opts & opt::DEBUG) log_reply_line(line, length, ECHO_MAX);
  if (length >= 4 && line[3] == '-') {
    for (int32_t lines = 1;; ++lines) {
      if (lines > REPLY_LINES_MAX) {
        // The rest of the reply would be read as the replies to the next
        // commands: the connection is given up.
        give_up_on_replies(ctl, lines);
        return 0;
      }
      if (read_reply_line(ctl) != st::OK) break;  // the first line's code stands
      const char* next = ctl->record;
      int32_t next_length = ctl->record_length;
      if (opts & opt::DEBUG) log_reply_line(next, next_length, next_length);
      if (next_length >= 4 && next[3] == ' ' && reply_code_of(next, next_length) == code) break;
    }
  }
  if (code == 0) codeerr();
  return code;
}

extern "C" void codeerr(void) { report_message(msg::NO_REPLY_CODE); }

extern "C" void puterr(int32_t message_number) { report_message(message_number); }

ReplyText::ReplyText(const sock_conn* ctl) {
  const int32_t n = std::clamp(ctl->record_length, 0, SOCK_TEXT - 1);
  std::memcpy(text, ctl->record, size_t(n));
  text[n] = '\0';
}

bool command_is_sendable(FtpFile* file, int32_t length) {
  const char* text = file->ctl->staging;
  bool fits = length >= 0 && length < file->ctl->record_size;
  bool one_line = fits && !std::memchr(text, '\r', size_t(length)) &&
                  !std::memchr(text, '\n', size_t(length));
  if (one_line) return true;
  // Name the command by its verb only: the rest may be a password.
  char verb[8] = {};
  for (int32_t i = 0; i < 7 && i < length && text[i] != ' ' && text[i] != '\r' && text[i] != '\n'; ++i)
    verb[i] = text[i];
  report_message(msg::COMMAND_NOT_SENDABLE, verb);
  return false;
}

namespace {
// Formats into the staging buffer; the length, or -1 when it cannot be sent.
int32_t format_command(FtpFile* file, const char* format, const char* argument) {
  sock_conn* ctl = file->ctl;
  int32_t length = argument ? ypsstr(ctl->staging, ctl->record_size, format, argument)
                            : ypsstr(ctl->staging, ctl->record_size, format);
  return command_is_sendable(file, length) ? length : -1;
}

int32_t send_formatted(FtpFile* file, int32_t length) {
  sock_conn* ctl = file->ctl;
  ctl->staging_length = length;
  sendreply(length, ctl->staging, file->opts);
  ResetIsEnd reset_is_end(ctl);
  const int32_t status = yxswrit(ctl);
  if (!is_end_of_data(status)) return status;
  report_message(msg::SERVER_CLOSED);
  return st::FAILED;
}

int32_t send_and_read(FtpFile* file, int32_t length) {
  int32_t status = send_formatted(file, length);
  if (status != st::OK) return status;
  sock_conn* ctl = file->ctl;
  status = read_reply(ctl);
  if (status != st::OK) return status;
  file->reply_code = putreply(ctl->record_length, ctl->record, file->opts, ctl);
  // A reply too long to be one ends the connection (putreply said why).
  return ctl->at_eof ? st::FAILED : st::OK;
}
}  // namespace

int32_t exchange(FtpFile* file, int32_t length) {
  if (!command_is_sendable(file, length)) return st::FAILED;
  return send_and_read(file, length);
}

int32_t command_exchange(FtpFile* file, const char* format, const char* argument) {
  int32_t length = format_command(file, format, argument);
  if (length < 0) return st::FAILED;
  return send_and_read(file, length);
}

int32_t command_send(FtpFile* file, const char* format, const char* argument) {
  int32_t length = format_command(file, format, argument);
  if (length < 0) return st::FAILED;
  return send_formatted(file, length);
}

int32_t read_final_reply(FtpFile* file) {
  sock_conn* ctl = file->ctl;
  for (int32_t replies = 1;; ++replies) {
    int32_t status = read_reply_line(ctl);
    if (status != st::OK) return status;
    file->reply_code = putreply(ctl->record_length, ctl->record, file->opts, ctl);
    if (file->reply_code == 0) return st::FAILED;  // message 17 says why
    if (file->reply_code / 100 > 1) return st::OK;
    if (replies >= PRELIMINARY_REPLIES_MAX) return give_up_on_replies(ctl, replies);
  }
}

bool preliminary_reply_allowed(FtpFile* file, int32_t* replies) {
  if (++*replies < PRELIMINARY_REPLIES_MAX) return true;
  give_up_on_replies(file->ctl, *replies);
  return false;
}

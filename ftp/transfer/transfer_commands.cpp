// The data transfers an open starts: RETR (doretr), STOR or APPE (dostor),
// NLST or LIST (dols). Each sets up the data connection, sends its command,
// judges the preliminary reply and waits for the server to connect.
//
// While it waits for that connection it also watches the control connection:
// a server that answers (425, 426, ...) or hangs up instead of connecting
// ends the wait with that answer, where a wait on the data socket alone would
// never end.

#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/protocol.h"
#include "ftp/transfer/transfer.h"
#include "hostsvc/hostsvc.h"
#include "hostsvc/lookups.h"
#include "module/msgno.h"
#include "module/status.h"
#include "sock/data_connection.h"
#include "sock/tls.h"
#include "sock/yxsoc.h"
#include "util/util.h"

namespace {

constexpr int32_t FILE_NOT_FOUND_CODE = 550;
constexpr uint32_t DATA_READY = 1;
constexpr int32_t PEER_VALUE_MAX = 40;
constexpr int32_t OPTION_VALUE_MAX = 30;  // characters of a numeric option looked at
// Connections from other addresses the wait for the server's own refuses
// before it gives up on the transfer.
constexpr int32_t STRANGERS_MAX = 100;

// Bytes of the control connection already read from the socket and not yet
// taken: a reply that arrived together with the preliminary one (in our
// buffer, or still inside TLS).
bool control_has_buffered(const sock_conn* ctl) {
  return ctl->read_avail > 0 || sock::tls_pending(ctl);
}

// Waits until the data connection or the control connection has something:
// bit 0 of *ready for `data_descriptor`, bit 1 for the control connection.
int32_t watch_both(FtpFile* file, int32_t data_descriptor, uint32_t* ready) {
  sock_conn* data = file->data;
  sock_conn* ctl = file->ctl;
  const int32_t watched[2] = {data_descriptor, sock::data_socket(ctl)};
  return control_has_buffered(ctl)
             ? sock::poll_readable(watched, 2, ready)
             : sock::wait_readable(watched, 2, data->break_word, data->break_routine,
                                   data->wait_value, ready);
}

bool holds_line_break(const char* text) { return text && std::strpbrk(text, "\r\n"); }

// Whether the data connection just accepted may stay. In active mode anyone
// who can reach the listening port may connect first and feed (or take) the
// file's data, so only the server -- the control connection's peer -- may,
// unless the host option XXAMPEER names the other address the server's data
// comes from (a server with a separate data address) or is ANY. A server
// behind NAT connects from the address the control connection reaches, so
// it needs nothing. A connection that may not stay is closed and logged, and
// the wait goes on for the server's own.
bool data_peer_allowed(const FtpFile* file) {
  const char* peer = file->data->accepted_peer_ip;
  if (std::strcmp(peer, file->ctl->service_ip) == 0) return true;
  char allowed[PEER_VALUE_MAX + 1];
  file_host_option(file, "XXAMPEER", allowed, PEER_VALUE_MAX);
  if (std::strcmp(allowed, "ANY") == 0 || std::strcmp(allowed, peer) == 0) return true;
  ypmlog(msg::GROUP, msg::DATA_PEER_REFUSED, peer, file->ctl->service_ip);
  return false;
}

// Waits for the server's data connection and accepts it. The listening data
// socket is preferred whenever it is ready, so a final reply that arrives
// together with the connection is left for close to read.
int32_t accept_data(FtpFile* file, int32_t refused_message) {
  sock_conn* data = file->data;
  sock_conn* ctl = file->ctl;
  int32_t preliminary = 0, strangers = 0;
  for (;;) {
    uint32_t ready = 0;
    int32_t status = watch_both(file, data->main_socket, &ready);
    if (status != st::OK) return status;
    if (ready & DATA_READY) {
      status = yxsacc(data);
      if (status != st::OK || data_peer_allowed(file)) return status;
      sock::drop_accepted(data);
      if (++strangers < STRANGERS_MAX) continue;
      puterr(refused_message);
      return st::FAILED;
    }

    // The server speaks instead of connecting.
    status = read_reply_line(ctl);
    if (st::is_failure(status)) return status;
    if (status == st::OK) {
      file->reply_code = putreply(ctl->record_length, ctl->record, file->opts, ctl);
      if (file->reply_code / 100 == 1) {
        if (preliminary_reply_allowed(file, &preliminary)) continue;
        return st::FAILED;
      }
    }
    // A final reply, or the server closed the control connection.
    puterr(refused_message);
    return st::FAILED;
  }
}

// The server's reply that ended a transfer during the data connection's
// handshake, shown as its reason (a 425, or vsftpd's "522 ... session reuse
// required"). Returns FAILED.
int32_t data_refused(FtpFile* file) {
  sock_conn* ctl = file->ctl;
  // Shown even without DEBUG: it is the server's reason for the failure.
  file->reply_code = putreply(ctl->record_length, ctl->record, opt::DEBUG, ctl);
  return report_message(msg::TLS_DATA_REFUSED, ReplyText(ctl).text);
}

// The data connection's TLS handshake, ours as the client whoever connected,
// resuming the control connection's session. The control connection is
// watched meanwhile: a server whose end of the handshake failed says so
// there (425), and the wait ends with that. A handshake that fails at our
// end is followed by the server's reply too, which says why it ended it.
int32_t protect_data(FtpFile* file) {
  sock_conn* data = file->data;
  sock_conn* ctl = file->ctl;
  int32_t status = sock::tls_data_client(data, ctl);
  for (bool wants_peer = true; status == st::OK;) {
    status = sock::tls_handshake_step(data, &wants_peer);
    if (!wants_peer) break;
    uint32_t ready = 0;
    if ((status = watch_both(file, sock::data_socket(data), &ready)) != st::OK) return status;
    if (ready & DATA_READY) continue;
    // The server speaks first: its reply ends the transfer.
    yxsclos(data);
    status = read_final_reply(file);
    if (status == st::OK) return data_refused(file);
    return st::is_failure(status) ? status : report_message(msg::SERVER_CLOSED);
  }
  if (status != st::FAILED || !data->tls) return status;
  yxsclos(data);
  if (read_final_reply(file) == st::OK && file->reply_code >= 400) data_refused(file);
  return st::FAILED;
}

}  // namespace

void file_host_option(const FtpFile* file, const char* key, char* value, int32_t max) {
  value[0] = '\0';
  if (!hostsvc::options_offered()) return;
  if (void* handle = ytrakcp(file->host_fileref)) {
    hostsvc::option_text(handle, key, value, max);
    ytrakdp(handle);
  }
}

bool host_option_positive(const FtpFile* file, const char* key) {
  char value[OPTION_VALUE_MAX + 1];
  file_host_option(file, key, value, OPTION_VALUE_MAX);
  int32_t converted = 0, number = 0;
  return value[0] && wzrlchr(value, wzstlen(value), 0, &converted, &number) == 0 && number > 0;
}

int32_t start_transfer(FtpFile* file, const char* format, const char* argument,
                       int32_t refused_message, bool quiet_refusal,
                       int32_t (*prepare)(FtpFile*)) {
  // A name (or directory) with a line break could never be sent as one
  // command: it is refused before the set-up sends anything.
  char verb[8] = {};
  for (int i = 0; i < 7 && format[i] && format[i] != ' '; ++i) verb[i] = format[i];
  if (holds_line_break(argument) || holds_line_break(file->cwd)) {
    report_message(msg::COMMAND_NOT_SENDABLE, holds_line_break(argument) ? verb : "CWD");
    return st::FAILED;
  }
  int32_t status = initconn(file);
  if (status != st::OK) return status;
  if (prepare && (status = prepare(file)) != st::OK) return status;
  status = command_exchange(file, format, argument);
  if (status != st::OK) return status;
  // A passive data connection is connected already.
  if ((file->opts & opt::BYPASS) || file->reply_code / 100 == 1) {
    status = file->data_mode == DATA_ACTIVE ? accept_data(file, refused_message) : st::OK;
    // With PROT P (every TLS session) the data connection is TLS as well.
    if (status == st::OK && file->ctl->tls) status = protect_data(file);
    return status;
  }
  if (quiet_refusal) return st::FILE_REFUSED;
  if (file->reply_code == FILE_NOT_FOUND_CODE) {
    wrmksub(2, &file->remote_name_len, 4, file->remote_name, file->remote_name_len);
    return st::FILE_REFUSED;
  }
  puterr(refused_message);
  return st::FAILED;
}

extern "C" {

// A remote name in parentheses is a list of files to read one after the
// other. Within MGET every name is a single file, whatever it starts with.
int32_t doretr(FtpFile* file) {
  if (file->remote_name_len == 0) {
    ypmlog(msg::GROUP, msg::NO_INPUT_NAME);
    return st::NO_REMOTE_NAME;
  }
  if (!file->mget_current && file->remote_name[0] == '(') return domget(file);
  return start_transfer(file, "RETR %s", file->remote_name, msg::TRANSFER_REFUSED, false,
                        prepare_transfer);
}

int32_t dostor(FtpFile* file) {
  if (file->remote_name_len == 0) {
    ypmlog(msg::GROUP, msg::NO_OUTPUT_NAME);
    return st::NO_REMOTE_NAME;
  }
  const char* format = (file->open_mode & OPEN_OUTPUT) ? "STOR %s" : "APPE %s";
  return start_transfer(file, format, file->remote_name, msg::STORE_REFUSED, false,
                        prepare_transfer);
}

// Without LSFILE the verb goes alone, without a trailing blank.
int32_t dols(FtpFile* file) {
  const bool names_only = file->opts & opt::LS;
  const char* format = file->lsfile ? (names_only ? "NLST %s" : "LIST %s")
                                    : (names_only ? "NLST" : "LIST");
  return start_transfer(file, format, file->lsfile, msg::STORE_REFUSED);
}

}  // extern "C"

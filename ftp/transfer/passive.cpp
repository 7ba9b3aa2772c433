// Passive-mode data connections: the server listens and we connect, for
// servers and clients behind firewalls and NAT that never let a server
// connect back. EPSV comes first; a server reached over IPv4 that refuses it
// (any 5xx) is asked with PASV, and is not asked with EPSV again during the
// same open. Over IPv6 only EPSV is sent.
//
// Whatever address a 227 reply names, the connection goes to the address the
// control connection reaches. A reply naming another machine must not make us
// connect there on the server's behalf (FTP bounce), and a server behind NAT
// names an address of its own network that we could not reach anyway.
#include <cstring>
#include <netinet/in.h>

#include "ftp/ftp_options.h"
#include "ftp/protocol.h"
#include "ftp/transfer/passive_reply.h"
#include "ftp/transfer/transfer.h"
#include "hostsvc/hostsvc.h"
#include "module/msgno.h"
#include "module/status.h"
#include "sock/data_connection.h"
#include "util/util.h"

namespace {

constexpr int32_t EXTENDED_PASSIVE_CODE = 229;
constexpr int32_t PASSIVE_CODE = 227;

// Judges the reply to EPSV or PASV that the exchange just read: the port it
// names into *port and the mode into data_mode, or a failure with
// PASSIVE_REPLY_UNUSABLE showing the reply.
int32_t take_port(FtpFile* file, int32_t mode, int32_t* port) {
  const sock_conn* ctl = file->ctl;
  const bool extended = mode == DATA_EPSV;
  const int32_t expected = extended ? EXTENDED_PASSIVE_CODE : PASSIVE_CODE;
  if (file->reply_code == expected)
    *port = extended ? extended_port(ctl->record, ctl->record_length)
                     : passive_port(ctl->record, ctl->record_length);
  if (*port > 0) {
    file->data_mode = mode;
    return st::OK;
  }
  report_message(msg::PASSIVE_REPLY_UNUSABLE, ReplyText(ctl).text);
  return st::FAILED;
}

// EPSV, then PASV when EPSV is refused with 5xx: the port the server listens
// on. A reply without a code fails (with the no-code message); any other
// refusal fails with PASSIVE_REFUSED. Over IPv6 there is no PASV to fall
// back on: its reply can only name an IPv4 address.
int32_t ask_port(FtpFile* file, int32_t* port) {
  int32_t status;
  if (file->data_mode != DATA_PASV) {
    if ((status = command_exchange(file, "EPSV")) != st::OK) return status;
    const int32_t class_of_reply = file->reply_code / 100;
    if (class_of_reply == 2) return take_port(file, DATA_EPSV, port);
    if (file->reply_code == 0) return st::FAILED;
    if (file->ctl->address_family == AF_INET6) {
      report_message(msg::EPSV_REFUSED_OVER_IPV6, ReplyText(file->ctl).text);
      return st::FAILED;
    }
    if (class_of_reply != 5) {
      puterr(msg::PASSIVE_REFUSED);
      return st::FAILED;
    }
  }
  if ((status = command_exchange(file, "PASV")) != st::OK) return status;
  if (file->reply_code / 100 == 2) return take_port(file, DATA_PASV, port);
  if (file->reply_code != 0) puterr(msg::PASSIVE_REFUSED);
  return st::FAILED;
}

}  // namespace

bool passive_wanted(const FtpFile* file) {
  if (file->opts & opt::ACTIVE) return false;
  return (file->opts & opt::PASV) || host_option_positive(file, "XXAMPASV");
}

int32_t open_passive(FtpFile* file) {
  // The fresh block holds no socket until the connect: a failure before it
  // must leave close nothing to close.
  file->data->main_socket = file->data->accepted_socket = -1;
  int32_t port = 0;
  int32_t status = ask_port(file, &port);
  if (status != st::OK) return status;
  const sock_conn* ctl = file->ctl;
  status = sock::connect_within_wait(file->data, ctl->address_family, ctl->address, port);
  if (status != st::OK) {
    char where[SOCK_TEXT + 16];
    int32_t n = ypsstr(where, int32_t(sizeof where) - 1, "%s port %d", ctl->service_ip, port);
    where[n > 0 ? min(n, int32_t(sizeof where) - 1) : 0] = '\0';
    report_message(msg::DATA_CONNECT_FAILED, where);
  }
  return status;
}

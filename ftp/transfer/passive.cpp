// Passive-mode data connections: the server listens and we connect, for
// servers and clients behind firewalls and NAT that never let a server
// connect back. EPSV comes first; a server that refuses it (any 5xx) is asked
// with PASV, and is not asked with EPSV again during the same open.
//
// Whatever address a 227 reply names, the connection goes to the address the
// control connection reaches. A reply naming another machine must not make us
// connect there on the server's behalf (FTP bounce), and a server behind NAT
// names an address of its own network that we could not reach anyway.
#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/protocol.h"
#include "ftp/transfer/transfer.h"
#include "hostsvc/hostsvc.h"
#include "module/msgno.h"
#include "module/status.h"
#include "sock/data_connection.h"
#include "util/util.h"

namespace {

constexpr int32_t EXTENDED_PASSIVE_CODE = 229;
constexpr int32_t PASSIVE_CODE = 227;
constexpr int32_t CODE_LENGTH = 3;
constexpr int32_t PORT_MAX = 65535;
constexpr int32_t BYTE_MAX = 255;
constexpr int PASSIVE_NUMBERS = 6;  // h1,h2,h3,h4,p1,p2
constexpr int32_t INSERT_MAX = 80;  // characters of a reply shown in a message

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the decimal number at *at (before `end`) and moves past it; -1 when
// there is no digit or the number exceeds `max`.
int32_t number_at(const char*& at, const char* end, int32_t max) {
  if (at >= end || !is_digit(*at)) return -1;
  int32_t value = 0;
  for (; at < end && is_digit(*at); ++at) {
    value = value * 10 + (*at - '0');
    if (value > max) return -1;
  }
  return value;
}

// The port of a 229 reply, "(|||port|)": three delimiters, the port and a
// fourth delimiter, which RFC 2428 lets be any character from '!' to '~'
// other than a digit. 0 when the reply holds no such port.
int32_t extended_port(const char* line, int32_t length) {
  const char* end = line + length;
  const auto* open = static_cast<const char*>(std::memchr(line, '(', size_t(length)));
  if (!open || end - open < 5) return 0;
  const char delimiter = open[1];
  if (delimiter < '!' || delimiter > '~' || is_digit(delimiter)) return 0;
  if (open[2] != delimiter || open[3] != delimiter) return 0;
  const char* at = open + 4;
  int32_t port = number_at(at, end, PORT_MAX);
  if (port <= 0 || at >= end || *at != delimiter) return 0;
  return port;
}

// The port of a 227 reply: six numbers from 0 to 255 separated by commas
// (blanks after a comma allowed), starting at the first digit after the
// code, wherever that stands. The first four (the address) are not used.
// 0 when the reply holds no such numbers.
int32_t passive_port(const char* line, int32_t length) {
  if (length <= CODE_LENGTH) return 0;
  const char* end = line + length;
  const char* at = line + CODE_LENGTH;
  while (at < end && !is_digit(*at)) ++at;
  int32_t numbers[PASSIVE_NUMBERS];
  for (int i = 0; i < PASSIVE_NUMBERS; ++i) {
    if (i > 0) {
      if (at >= end || *at != ',') return 0;
      for (++at; at < end && *at == ' ';) ++at;
    }
    numbers[i] = number_at(at, end, BYTE_MAX);
    if (numbers[i] < 0) return 0;
  }
  return numbers[4] * 256 + numbers[5];
}

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
  char reply[INSERT_MAX + 1];
  const int32_t n = min(ctl->record_length, INSERT_MAX);
  std::memcpy(reply, ctl->record, size_t(n > 0 ? n : 0));
  reply[n > 0 ? n : 0] = '\0';
  report_message(msg::PASSIVE_REPLY_UNUSABLE, reply);
  return st::FAILED;
}

// EPSV, then PASV when EPSV is refused with 5xx: the port the server listens
// on. A reply without a code fails (with the no-code message); any other
// refusal fails with PASSIVE_REFUSED.
int32_t ask_port(FtpFile* file, int32_t* port) {
  int32_t status;
  if (file->data_mode != DATA_PASV) {
    if ((status = command_exchange(file, "EPSV")) != st::OK) return status;
    const int32_t class_of_reply = file->reply_code / 100;
    if (class_of_reply == 2) return take_port(file, DATA_EPSV, port);
    if (file->reply_code == 0) return st::FAILED;
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
  status = sock::connect_within_wait(file->data, ctl->address, port);
  if (status != st::OK) {
    char where[SOCK_TEXT + 16];
    int32_t n = ypsstr(where, int32_t(sizeof where) - 1, "%s port %d", ctl->service_ip, port);
    where[n > 0 ? min(n, int32_t(sizeof where) - 1) : 0] = '\0';
    report_message(msg::DATA_CONNECT_FAILED, where);
  }
  return status;
}

// Setting up the data connection before each transfer: a listening data
// socket of our own and PORT (EPRT over IPv6) with its address (active mode,
// the default), or EPSV / PASV and a connect to the server (passive mode,
// ftp/transfer/passive.cpp);
// then the transfer type, the working directory, PWD, and a raw command with
// STAT when one goes with a transfer.
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/protocol.h"
#include "ftp/transfer/transfer.h"
#include "hostsvc/hostsvc.h"
#include "module/allocation.h"
#include "module/msgno.h"
#include "module/status.h"
#include "sock/data_connection.h"
#include "sock/yxsoc.h"
#include "util/util.h"

namespace {

constexpr int32_t BIND_VALUE_MAX = 40;
constexpr int32_t DEFAULT_BLOCK_SIZE = 32768;
// A data connection that brings records in grows its read buffer up to at
// least this much, whatever the block size, as its stream goes on (it starts
// small: a short file or a listing never needs more). Large reads
// pay on a fast stream: fewer reads, and fewer window updates for the
// receiver to send and the sender to take in (on loopback both are charged
// to the reader). A whole transfer of short records takes a third less time
// than with 32 KiB reads.
constexpr int32_t READ_BLOCK_MIN = 512 * 1024;
constexpr int32_t PWD_MAX = PWD_SIZE - 1;
constexpr int32_t REPLY_TEXT_OFFSET = 4;  // after the code and its blank
constexpr int32_t PORT_MAX = 65535;


int32_t read_mode_of(const FtpFile* file) {
  if (file->recfm & RECFM_F) return READ_FIXED;
  if (file->recfm & RECFM_S) return READ_BYTE_COUNT;
  if (file->opts & opt::S370V) return READ_S370V;
  if (file->opts & opt::S370VS) return READ_S370VS;
  return READ_TERMINATED;
}

// A fresh data block in `data`, set up from the open file. The data
// connection also takes the control connection's break word and wait limit:
// a user can break a wait for the server's data, and XXAMWAIT bounds it.
int32_t new_data_block(FtpFile* file) {
  if (file->data) {
    yxsclos(file->data);
    mem::release(file->data);
    file->data = nullptr;
  }
  const sock_conn* ctl = file->ctl;
  if (ctl->data_port > PORT_MAX) {
    report_message(msg::DATA_PORT_INVALID, ctl->data_port);
    return st::FAILED;
  }
  auto* data = static_cast<sock_conn*>(mem::alloc_clear(sizeof(sock_conn)));
  if (!data) return st::NO_MEMORY;
  file->data = data;
  data->break_routine = ctl->break_routine;
  data->break_word = ctl->break_word;
  data->wait_value = ctl->wait_value;
  data->record_size = file->lrecl_out;
  data->block_size = file->blksize ? file->blksize : DEFAULT_BLOCK_SIZE;
  data->owner_fileref = ctl->owner_fileref;
  data->direction = (file->open_mode & (OPEN_OUTPUT | OPEN_APPEND)) ? SOCK_WRITES : SOCK_READS;
  if (data->direction == SOCK_READS) data->block_size = std::max(data->block_size, READ_BLOCK_MIN);
  data->read_mode = read_mode_of(file);
  // Records stream in: a refill reads before it waits (see the socket layer).
  data->read_first = data->direction == SOCK_READS;
  data->host_name_size = FILE_TEXT;
  data->host_name = file->data_host;
  data->terminator_kind = file->termstr;
  // XXAMTPRT fixes the port of the data socket (what a firewall rule needs);
  // the block takes it in network byte order. Without it any port will do.
  data->data_port = htons(uint16_t(ctl->data_port));
  // The data connection goes the way the control connection went.
  if (ctl->address_family == AF_INET6) data->family_wanted = FAMILY_IPV6;
  return st::OK;
}

// The four address bytes PORT announces: XXAMBIND's, or the local address of
// the control connection. False for an XXAMBIND value that is not a dotted
// address.
bool port_address(const FtpFile* file, const char* bind_value, unsigned char (&address)[4]) {
  if (!bind_value[0]) {
    const auto* local = reinterpret_cast<const sockaddr_in*>(file->ctl->local_sockaddr);
    std::memcpy(address, &local->sin_addr, 4);
    return true;
  }
  in_addr_t value = inet_addr(bind_value);
  if (value == INADDR_NONE) {
    ypslog("%1z- Value for XXAMBIND must be IP addr in dotted form");
    return false;
  }
  ypslog("%3z - Using %s for PORT command ", bind_value);
  std::memcpy(address, &value, 4);
  return true;
}

bool refused(const FtpFile* file) {
  return !(file->opts & opt::BYPASS) && file->reply_code / 100 != 2;
}

// PORT and TYPE: a reply without a code always fails; a refusal closes the
// data connection and hands over `message`.
int32_t judge_setup_reply(FtpFile* file, int32_t message) {
  if (file->reply_code == 0) return st::FAILED;
  if (!refused(file)) return st::OK;
  yxsclos(file->data);
  puterr(message);
  return st::FAILED;
}

// The EPRT command for an IPv6 control connection, in the staging buffer:
// the address is XXAMBIND's, which must then be an IPv6 address, or the
// control connection's local one. Its length, or -1 after the message.
int32_t eprt_command(FtpFile* file, const char* bind_value, uint32_t port) {
  sock_conn* ctl = file->ctl;
  const char* address = ctl->local_host_ip;
  if (bind_value[0]) {
    unsigned char bytes[16];
    if (inet_pton(AF_INET6, bind_value, bytes) != 1) {
      report_message(msg::BIND_NOT_IPV6, bind_value);
      return -1;
    }
    ypslog("%3z - Using %s for EPRT command ", bind_value);
    address = bind_value;
  }
  return ypsstr(ctl->staging, ctl->record_size, "EPRT |2|%s|%d|", address, int32_t(port >> 16));
}

// Active mode: a listening data socket and its address sent with PORT, or
// with EPRT when the server is reached over IPv6.
int32_t open_active(FtpFile* file, const char* bind_value) {
  sock_conn* data = file->data;
  int32_t status;
  if ((status = yxscsoc(data)) != st::OK) return status;
  if ((status = yxslisn(data)) != st::OK) return status;

  const uint32_t port = uint32_t(data->service_portno);
  sock_conn* ctl = file->ctl;
  const bool extended = ctl->address_family == AF_INET6;
  int32_t length;
  if (extended) {
    if ((length = eprt_command(file, bind_value, port)) < 0) return st::FAILED;
  } else {
    unsigned char a[4];
    if (!port_address(file, bind_value, a)) return st::FAILED;
    length = ypsstr(ctl->staging, ctl->record_size, "PORT %d,%d,%d,%d,%d,%d", a[0], a[1], a[2],
                    a[3], int32_t(port >> 24), int32_t((port >> 16) & 0xFF));
  }
  if ((status = exchange(file, length)) != st::OK) return status;
  if (extended && file->reply_code / 100 != 2 && file->reply_code != 0 &&
      !(file->opts & opt::BYPASS)) {
    yxsclos(data);
    return report_message(msg::EPRT_REFUSED, ReplyText(ctl).text);
  }
  if ((status = judge_setup_reply(file, msg::PORT_REFUSED)) != st::OK) return status;
  file->data_mode = DATA_ACTIVE;
  return st::OK;
}

void keep_pwd(FtpFile* file) {
  const sock_conn* ctl = file->ctl;
  int32_t n = min(ctl->record_length - REPLY_TEXT_OFFSET, PWD_MAX);
  if (n < 0) n = 0;
  if (n > 0) std::memcpy(file->pwd, ctl->record + REPLY_TEXT_OFFSET, size_t(n));
  file->pwd[n] = '\0';
}

}  // namespace

bool binary_type(const FtpFile* file) {
  return (file->recfm & (RECFM_F | RECFM_S)) || (file->opts & (opt::S370V | opt::S370VS));
}

extern "C" int32_t initconn(FtpFile* file) {
  char bind_value[BIND_VALUE_MAX + 1];
  file_host_option(file, "XXAMBIND", bind_value, BIND_VALUE_MAX);
  // A data block left from an earlier transfer of this open (a further MGET
  // file) means the session is already in its working directory: a relative
  // WD changed to again would fail from the second file on.
  const bool in_directory = file->data != nullptr;

  int32_t status = new_data_block(file);
  if (status != st::OK) return status;
  status = passive_wanted(file) ? open_passive(file) : open_active(file, bind_value);
  if (status != st::OK) return status;

  status = command_exchange(file, binary_type(file) ? "TYPE I" : "TYPE A");
  if (status != st::OK) return status;
  if ((status = judge_setup_reply(file, msg::TRANSFER_REFUSED)) != st::OK) return status;

  if (file->cwd && !in_directory) {
    if ((status = command_exchange(file, "CWD %s", file->cwd)) != st::OK) return status;
    if (refused(file)) {
      puterr(msg::CWD_REFUSED);
      return st::FAILED;
    }
  }

  if ((status = command_exchange(file, "PWD")) != st::OK) return status;
  if (refused(file)) {
    puterr(msg::PWD_REFUSED);
    return st::FAILED;
  }
  keep_pwd(file);

  if (file->rcmd) {
    if ((status = command_exchange(file, "%s", file->rcmd)) != st::OK) return status;
    if ((status = command_exchange(file, "STAT")) != st::OK) return status;
  }
  return st::OK;
}

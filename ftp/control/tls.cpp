// FTP over TLS on the control connection: which TLS an open asks for (the
// TLS= option, else the host option XXAMFTPS), the start of TLS (AUTH TLS on
// the FTP port, or TLS from the first byte on port 990), and PBSZ 0 / PROT P,
// which make every data connection TLS too.
//
// TLS asked for is TLS required: a refused AUTH TLS, PBSZ or PROT, a failed
// handshake or a certificate not accepted fails the open, and nothing more
// goes to the server, in clear or otherwise.
#include <strings.h>

#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/protocol.h"
#include "ftp/transfer/transfer.h"
#include "hostsvc/hostsvc.h"
#include "module/msgno.h"
#include "module/status.h"
#include "sock/tls.h"

namespace {

constexpr int32_t MODE_VALUE_MAX = 20;
constexpr int32_t CA_FILE_MAX = 255;
constexpr int32_t AUTH_ACCEPTED = 234;
constexpr char IMPLICIT_PORT[] = "990";
constexpr char STANDARD_SERVICE[] = "FTP";

// A PBSZ or PROT that must be accepted.
int32_t require(FtpFile* file, const char* command) {
  int32_t status = command_exchange(file, command);
  if (status != st::OK) return status;
  if (file->reply_code == 0) return st::FAILED;  // message 17 is handed over
  if (file->reply_code / 100 == 2) return st::OK;
  return report_message(msg::TLS_PROTECTION_REFUSED, command);
}

}  // namespace

int32_t choose_tls(FtpFile* file) {
  if (!(file->opts & opt::TLS_MODE)) {
    char mode[MODE_VALUE_MAX + 1];
    file_host_option(file, "XXAMFTPS", mode, MODE_VALUE_MAX);
    if (strcasecmp(mode, "EXPLICIT") == 0) file->opts |= opt::TLS_EXPLICIT;
    else if (strcasecmp(mode, "IMPLICIT") == 0) file->opts |= opt::TLS_IMPLICIT;
    else if (mode[0] && strcasecmp(mode, "NO") != 0)
      return report_message(msg::TLS_MODE_INVALID, mode);
  }
  if (!(file->opts & opt::TLS_MODE)) return st::OK;
  // Implicit TLS has a port of its own; a port the host names stands.
  if ((file->opts & opt::TLS_IMPLICIT) && std::strcmp(file->service, STANDARD_SERVICE) == 0)
    std::memcpy(file->service, IMPLICIT_PORT, sizeof IMPLICIT_PORT);
  // Without the library nothing is sent at all, not even AUTH TLS.
  return sock::tls_available();
}

int32_t start_tls(FtpFile* file) {
  if (file->opts & opt::TLS_EXPLICIT) {
    int32_t status = command_exchange(file, "AUTH TLS");
    if (status != st::OK) return status;
    if (file->reply_code == 0) return st::FAILED;
    if (file->reply_code != AUTH_ACCEPTED) return report_message(msg::TLS_AUTH_REFUSED);
  }
  char ca_file[CA_FILE_MAX + 1];
  file_host_option(file, "XXAMCAFL", ca_file, CA_FILE_MAX);
  char verify_value[MODE_VALUE_MAX + 1];
  file_host_option(file, "XXAMVRFY", verify_value, MODE_VALUE_MAX);
  const bool verify = !(file->opts & opt::NOVERIFY) && strcasecmp(verify_value, "NO") != 0;
  if (!verify) ypmlog(msg::GROUP, msg::TLS_NOT_VERIFIED);
  return sock::tls_client(file->ctl, {file->host, ca_file, verify});
}

int32_t protect_transfers(FtpFile* file) {
  int32_t status = require(file, "PBSZ 0");
  return status == st::OK ? require(file, "PROT P") : status;
}

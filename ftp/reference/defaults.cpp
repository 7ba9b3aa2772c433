// The defaults merge at open: what the open statement said wins over what the
// assign said, which wins over the host variables FTPHOST and FTPUSER and the
// built-in defaults. Also prepares the control connection's block.
#include <cstring>
#include <initializer_list>

#include "ftp/ftp_file.h"
#include "ftp/ftp_options.h"
#include "ftp/reference/method_instance.h"
#include "hostsvc/hostsvc.h"
#include "module/status.h"

namespace {

constexpr int32_t DEFAULT_LRECL = 256;
constexpr int32_t CONTROL_BUFFER = 2048;
constexpr int32_t CONTROL_LINE_LIMIT = 65536;
constexpr char CONTROL_SERVICE[] = "FTP";

// The open options' value when given (nonzero), else the assign options'.
template <typename T>
T merged(const FtpOptions* open, const FtpOptions* assign, T FtpOptions::*field) {
  if (open && open->*field) return open->*field;
  if (assign && assign->*field) return assign->*field;
  return T{};
}

// The open options' text when given (non-empty), else the assign options';
// null when neither gave it.
template <size_t N>
char* merged_text(FtpOptions* open, FtpOptions* assign, char (FtpOptions::*field)[N]) {
  if (open && (open->*field)[0]) return open->*field;
  if (assign && (assign->*field)[0]) return assign->*field;
  return nullptr;
}

void copy_text(char (&target)[FILE_TEXT], const char* source) {
  if (source) std::memcpy(target, source, FILE_TEXT);
}

// An empty field takes the value of a host variable; a missing one leaves it empty.
void default_from_variable(char (&field)[FILE_TEXT], const char* variable) {
  if (field[0]) return;
  int32_t length = 0;
  if (wzosvar(variable, int32_t(std::strlen(variable)), field, FILE_TEXT, &length) != st::OK)
    std::memset(field, 0, FILE_TEXT);
}

// A host value ending in ":port" (digits only, after a name or dotted
// address) names the control connection's port: the digits become the
// service and are cut from the host. An IPv6 address stands in brackets
// when a port follows ("[::1]:2121"), and may without one ("[::1]"); the
// brackets go. Anything else (a bare IPv6 address among them) leaves both
// alone.
void split_port(char (&host)[FILE_TEXT], char (&service)[FILE_TEXT]) {
  size_t length = strnlen(host, FILE_TEXT - 1);
  while (length > 0 && host[length - 1] == ' ') --length;
  if (length > 0 && host[0] == '[') {
    const auto* close = static_cast<const char*>(std::memchr(host, ']', length));
    if (!close) return;
    const size_t inside = size_t(close - host) - 1, after = length - inside - 2;
    const char* port = close + 2;
    bool port_ok = after == 0 || (after >= 2 && after <= 6 && close[1] == ':');
    for (size_t i = 0; port_ok && after > 0 && i < after - 1; ++i)
      port_ok = port[i] >= '0' && port[i] <= '9';
    if (!port_ok) return;
    if (after > 0) {
      std::memcpy(service, port, after - 1);
      service[after - 1] = '\0';
    }
    std::memmove(host, host + 1, inside);
    std::memset(host + inside, 0, FILE_TEXT - inside);
    return;
  }
  size_t colon = length;
  while (colon > 0 && host[colon - 1] >= '0' && host[colon - 1] <= '9') --colon;
  const size_t digits = length - colon;
  if (colon < 2 || host[colon - 1] != ':' || digits == 0 || digits > 5) return;
  if (std::memchr(host, ':', colon - 1)) return;  // not a plain name or address
  std::memcpy(service, host + colon, digits);
  service[digits] = '\0';
  std::memset(host + colon - 1, 0, FILE_TEXT - (colon - 1));
}

}  // namespace

extern "C" int32_t yxfzdfa(FtpFile* file, FtpOptions* open) {
  FtpOptions* assign = file->assign_options;
  if (open) {
    file->nbyte_handle = open->nbyte_handle;
    file->nbyte_value = open->nbyte_value;
    file->nbyte_name_len = open->nbyte_name_len;
    std::memcpy(file->nbyte_name, open->nbyte_name, sizeof file->nbyte_name);
  }
  uint32_t recfm = merged(open, assign, &FtpOptions::recfm_bits);
  if (!recfm) recfm = file->recfm;
  int32_t blocksize = merged(open, assign, &FtpOptions::blocksize);
  int32_t lrecl = merged(open, assign, &FtpOptions::lrecl);
  if (!lrecl) lrecl = DEFAULT_LRECL;
  if (file->ctl) file->ctl->direction = SOCK_READS | SOCK_WRITES;

  copy_text(file->host, merged_text(open, assign, &FtpOptions::host));
  copy_text(file->user, merged_text(open, assign, &FtpOptions::user));
  copy_text(file->password, merged_text(open, assign, &FtpOptions::password));

  int32_t termstr = merged(open, assign, &FtpOptions::termstr);
  if (termstr) file->termstr = termstr;
  else file->termstr |= TERMSTR_CRLF;

  if (open && open->option_flags) file->opts = open->option_flags;
  if (assign) file->opts |= assign->option_flags;
  // A TLS mode or address family the open names replaces the assign's.
  for (uint32_t choice : {opt::TLS_MODE, opt::INET_FAMILY})
    if (open && (open->option_flags & choice))
      file->opts = (file->opts & ~choice) | (open->option_flags & choice);

  file->cwd = merged_text(open, assign, &FtpOptions::directory);
  file->rcmd = merged_text(open, assign, &FtpOptions::rcmd);
  file->lsfile = merged_text(open, assign, &FtpOptions::lsfile);
  file->encoding = merged(open, assign, &FtpOptions::encoding);
  file->rest_offset = merged(open, assign, &FtpOptions::rest_offset);
  bool nonbyte = (open && open->byte_mode == 0) || (assign && assign->byte_mode == 0);
  file->byte_mode = nonbyte ? 0 : 1;

  if (file->lrecl == 0) file->lrecl = lrecl;
  file->lrecl_out = file->lrecl;
  file->maxrec = file->lrecl;
  file->blksize = blocksize;
  file->recfm = recfm;
  if (file->opts & (opt::S370VS | opt::S370V)) file->recfm = RECFM_V;
  if (file->recfm & RECFM_CC) file->maxrec = file->lrecl - 1;

  file->open_options = open;
  file->open_options_flags = open ? open->context_flags : 0;

  default_from_variable(file->host, "FTPHOST");
  default_from_variable(file->user, "FTPUSER");

  std::memcpy(file->service, CONTROL_SERVICE, sizeof CONTROL_SERVICE);
  split_port(file->host, file->service);
  if (sock_conn* ctl = file->ctl) {
    ctl->record_size = CONTROL_BUFFER;
    ctl->block_size = CONTROL_BUFFER;
    ctl->service_name = file->service;
    ctl->host_name = file->host;
    ctl->host_name_size = FILE_TEXT;
    ctl->terminator_kind |= TERM_CRLF;
    ctl->read_mode = READ_TERMINATED;
    ctl->direction = SOCK_READS | SOCK_WRITES;
    // No reply line is anywhere near this long; a server that sends one
    // without end is refused rather than read for ever.
    ctl->line_limit = CONTROL_LINE_LIMIT;
  }
  return st::OK;
}

// Message services of the reference host: catalog, formatter, log and failure
// texts, and the bindings ypmlog, ypmstr, ypsstr, ypslog, wkread, wrmksub.
#include "host/messages.h"

#include <cstdio>
#include <cstring>

#include "module/msgno.h"
#include "module/status.h"

namespace host::messages {
namespace {

struct CatalogEntry {
  int number;
  const char* text;
};

// Our wording of every message of group 566 the module issues. Inserts are in
// the order the module passes them.
constexpr CatalogEntry catalog[] = {
    {msg::SERVER_SOCKET_BOUND, "Server socket bound to port %d."},
    {msg::CONNECTION_ACCEPTED, "Connection accepted from %s."},
    {msg::NETRC_READABLE,
     "The .netrc file holds a password but others can read it; make it readable by you alone."},
    {msg::NETRC_BAD_KEYWORD, "The .netrc file holds a word that is not a known keyword."},
    {msg::REPLY_LINE, "<<< %s"},
    {msg::COMMAND_SENT, ">>> %s"},
    {msg::PASSWORD_REFUSED, "The server did not accept the password of user %s."},
    {msg::OPEN_COMPLETE, "Logged in as %s on %s; the file is open."},
    {msg::GREETING, "Server: %s"},
    {msg::NO_REPLY_CODE, "The server's reply has no reply code."},
    {msg::NO_OPEN_MODE, "The file must be opened for input, output or append."},
    {msg::NO_POSITIONING, "Positioning is not possible with this open mode or record format."},
    {msg::PORT_REFUSED, "The server refused the PORT command."},
    {msg::TRANSFER_REFUSED, "The server refused the transfer or reported that it failed."},
    {msg::STORE_REFUSED,
     "The server refused to store or list the file, or reported that the transfer failed."},
    {msg::CWD_REFUSED, "The server refused to change to the working directory."},
    {msg::BYTE_COUNT_TOO_LARGE, "%d bytes were asked for, but a record holds at most %d."},
    {msg::SEGMENT_DROPPED, "Segment %d does not continue a record; its data was dropped."},
    {msg::USER_REFUSED, "The server did not accept user %s."},
    {msg::BREAK_QUESTION, "Interrupt the wait for the FTP server?"},
    {msg::BREAK_TITLE, "FTP Access Method"},
    {msg::WAIT_BROKEN, "The wait for the FTP server was interrupted."},
    {msg::NO_OUTPUT_NAME, "No remote file name was given to write to."},
    {msg::NO_HOST_NAME, "No host name was given and this machine's name is unknown."},
    {msg::PWD_REFUSED, "The server refused the PWD command."},
    {msg::NO_INPUT_NAME, "No remote file name was given to read."},
    {msg::NBYTE_UNUSABLE, "The NBYTE variable is missing or cannot be used."},
    {msg::INPUT_ONLY, "Listings, HELP and STAT can only be opened for input."},
    {msg::UNKNOWN_HOST, "Host %s was not found."},
    {msg::UNKNOWN_SERVICE, "Service %s was not found."},
    {msg::WAIT_TIMED_OUT, "The FTP server sent nothing for %d seconds."},
    {msg::MGET_PROMPT, "Transfer %s?"},
    {msg::NO_PASSWORD_REPLY, "The server did not answer the password."},
    {msg::COMMAND_NOT_SENDABLE,
     "The %s command was not sent: its text holds a line break or is too long."},
    {msg::DATA_PEER_REFUSED,
     "A data connection from %s was refused: the server is %s (host option XXAMPEER allows others)."},
    {msg::PASSIVE_REFUSED, "The server refused passive mode (EPSV and PASV)."},
    {msg::PASSIVE_REPLY_UNUSABLE, "The server's passive-mode reply names no usable port: %s"},
    {msg::DATA_CONNECT_FAILED, "No data connection could be made to %s."},
    {msg::RECORD_CUT_OFF, "The data ended inside a record: the file is incomplete."},
    {msg::SERVER_CLOSED, "The server closed the control connection."},
    {msg::NO_FINAL_REPLY, "The server sent %d reply lines without a final reply: the connection is ended."},
    {msg::MGET_NAME_TOO_LONG, "A name for MGET is longer than %d characters."},
    {msg::MGET_EMPTY_NAME, "The MGET list holds an empty name."},
    {msg::DATA_PORT_INVALID, "Host option XXAMTPRT must be a port number from 1 to 65535, not %d."},
    {msg::TLS_LIBRARY_MISSING, "TLS was asked for, but the TLS library cannot be used: %s."},
    {msg::TLS_AUTH_REFUSED, "The server refused AUTH TLS: nothing more was sent."},
    {msg::TLS_HANDSHAKE_FAILED, "The TLS handshake on the %s connection failed: %s."},
    {msg::TLS_CERTIFICATE_REFUSED, "The server's certificate was not accepted: %s."},
    {msg::TLS_NOT_VERIFIED,
     "Warning: the server's certificate is not checked (NOVERIFY): the connection is "
     "encrypted, but the server may not be the one named."},
    {msg::TLS_DATA_CUT,
     "The data connection ended without the server's TLS close_notify: the transfer was cut."},
    {msg::TLS_PROTECTION_REFUSED,
     "The server refused to protect the data connections (%s refused): nothing more was sent."},
    {msg::TLS_IN_USE, "%s with %s on the %s connection."},
    {msg::TLS_TRUSTED, "Server certificates are checked against %s."},
    {msg::TLS_FAILED, "TLS failed on the %s connection: %s."},
    {msg::TLS_CA_FILE_UNUSABLE, "The certificates of %s cannot be used: %s."},
    {msg::TLS_NOT_RESUMED,
     "The data connection did not resume the control connection's TLS session; a server that "
     "requires that refuses the transfer."},
    {msg::TLS_MODE_INVALID,
     "Host option XXAMFTPS must be EXPLICIT, IMPLICIT or NO, not %s."},
    {msg::TLS_DATA_REFUSED, "The server ended the transfer during the data connection's TLS handshake: %s"},
    {msg::MGET_NAME_UNASKED, "The server listed %s, which %s does not match: it is not read."},
    {msg::NO_ADDRESS_OF_FAMILY, "Host %s has no %s address."},
    {msg::FAMILY_OPTION_INVALID, "Host option XXAMINET must be 4 or 6, not %s."},
    {msg::BIND_NOT_IPV6, "Host option XXAMBIND must be an IPv6 address for a server reached over IPv6, not %s."},
    {msg::EPRT_REFUSED, "The server refused the EPRT command: %s"},
    {msg::EPSV_REFUSED_OVER_IPV6, "The server refused EPSV, and PASV cannot reach a server over IPv6: %s"},
    {msg::REST_REFUSED, "The server would not start the transfer at byte %s: %s"},
    {msg::REST_NOT_USABLE,
     "A transfer can start at a byte offset (REST=) only when one file is read in binary "
     "(RECFM=F or S, S370V, S370VS)."},
    {msg::MGET_TOO_DEEP, "Directory %s is more than %d levels down: it is not read."},
};

std::vector<LogLine> g_log;
std::function<void(const LogLine&)> g_sink;
std::vector<FailureText> g_failure_texts;

// Appends one conversion's output, cut at the buffer's end.
struct Out {
  char* buffer;
  int size;
  int length = 0;
  void put(const char* text, int n) {
    int room = size - length;
    if (n > room) n = room;
    if (n > 0) std::memcpy(buffer + length, text, size_t(n));
    if (n > 0) length += n;
  }
};

}  // namespace

int format(char* buffer, int size, const char* fmt, va_list args) {
  if (!buffer || size <= 0) return 0;
  Out out{buffer, size};
  for (const char* p = fmt ? fmt : ""; *p && out.length < size;) {
    if (*p != '%') {
      const char* q = std::strchr(p, '%');
      int n = q ? int(q - p) : int(std::strlen(p));
      out.put(p, n);
      p += n;
      continue;
    }
    // One conversion: %[flags][width][.precision][length]letter
    const char* start = p++;
    char params[32];
    int speclen = 0;
    params[speclen++] = '%';
    while (*p && std::strchr("-+ 0#", *p) && speclen < 8) params[speclen++] = *p++;
    int width = -1, precision = -1;
    if (*p == '*') {
      width = va_arg(args, int);
      ++p;
    } else if (*p >= '0' && *p <= '9') {
      width = 0;
      while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
      ++p;
      precision = 0;
      if (*p == '*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
      }
    }
    while (*p == 'h' || *p == 'l') ++p;
    char conv = *p ? *p++ : '\0';
    if (width >= 0) speclen += std::snprintf(params + speclen, sizeof params - speclen, "%d", width);
    if (precision >= 0)
      speclen += std::snprintf(params + speclen, sizeof params - speclen, ".%d", precision);
    char piece[512];
    int n = 0;
    switch (conv) {
      case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c':
        params[speclen++] = conv;
        params[speclen] = '\0';
        n = std::snprintf(piece, sizeof piece, params, va_arg(args, int));
        break;
      case 'p':
        params[speclen++] = 'p';
        params[speclen] = '\0';
        n = std::snprintf(piece, sizeof piece, params, va_arg(args, void*));
        break;
      case 's': {
        const char* s = va_arg(args, const char*);
        if (!s) s = "(null)";
        // Long texts go straight through without the bounce buffer.
        int len = precision >= 0 ? int(strnlen(s, size_t(precision))) : int(std::strlen(s));
        int pad = width > len ? width - len : 0;
        bool left = std::memchr(params, '-', size_t(speclen)) != nullptr;
        for (int i = 0; !left && i < pad; ++i) out.put(" ", 1);
        out.put(s, len);
        for (int i = 0; left && i < pad; ++i) out.put(" ", 1);
        continue;
      }
      case 'z':
        for (int i = 0; i < (width < 0 ? 1 : width); ++i) out.put(" ", 1);
        continue;
      case '%':
        out.put("%", 1);
        continue;
      default:  // unknown conversion: shown as written
        out.put(start, int(p - start));
        continue;
    }
    if (n > int(sizeof piece) - 1) n = int(sizeof piece) - 1;
    if (n > 0) out.put(piece, n);
  }
  if (out.length < size) buffer[out.length] = '\0';
  return out.length;
}

std::string format_string(const char* fmt, ...) {
  char text[4096];
  va_list args;
  va_start(args, fmt);
  int n = format(text, sizeof text, fmt, args);
  va_end(args);
  return std::string(text, size_t(n));
}

const char* catalog_text(int group, int number) {
  if (group != msg::GROUP) return nullptr;
  for (const auto& e : catalog)
    if (e.number == number) return e.text;
  return nullptr;
}

const std::vector<LogLine>& log() { return g_log; }
void clear_log() { g_log.clear(); }
bool logged(int number) {
  for (const auto& line : g_log)
    if (line.group == msg::GROUP && line.number == number) return true;
  return false;
}
void set_log_sink(std::function<void(const LogLine&)> sink) { g_sink = std::move(sink); }

static void append_log(int group, int number, std::string text) {
  g_log.push_back({group, number, std::move(text)});
  if (g_sink) g_sink(g_log.back());
}

std::vector<FailureText> take_failure_texts() {
  std::vector<FailureText> texts;
  texts.swap(g_failure_texts);
  return texts;
}
const std::vector<FailureText>& pending_failure_texts() { return g_failure_texts; }

namespace {
struct StatusEntry {
  int32_t status;
  const char* name;
  const char* text;
};
constexpr StatusEntry statuses[] = {
    {st::OK, "OK", "success"},
    {st::END_OF_DATA, "END_OF_DATA", "end of data"},
    {st::END_OF_LIST, "END_OF_LIST", "no further file reference"},
    {st::NEXT_CONNECTION, "NEXT_CONNECTION", "the next connection or file follows"},
    {st::TRUNCATED, "TRUNCATED", "record truncated to the record length"},
    {st::NO_MEMORY, "NO_MEMORY", "out of memory"},
    {st::FAILED, "FAILED", "the operation failed"},
    {st::NOT_SUPPORTED, "NOT_SUPPORTED", "operation not supported"},
    {st::NOT_ASSIGNED, "NOT_ASSIGNED", "file reference not assigned to the FTP access method"},
    {st::FILE_REFUSED, "FILE_REFUSED", "the server refused the remote file"},
    {st::BAD_RECORD_SIZE, "BAD_RECORD_SIZE", "invalid record length for a connection"},
    {st::BAD_OPTION_BLOCK, "BAD_OPTION_BLOCK", "option block of the wrong length"},
    {st::OPEN_FAILED, "OPEN_FAILED", "open failed"},
    {st::NO_REMOTE_NAME, "NO_REMOTE_NAME", "no remote file name given"},
    {st::UNTERMINATED_QUOTE, "UNTERMINATED_QUOTE", "unterminated quote in an MGET name list"},
    {st::UNKNOWN_KEYWORD, "UNKNOWN_KEYWORD", "option keyword not recognised"},
    {st::BAD_OPTION_VALUE, "BAD_OPTION_VALUE", "invalid option syntax or value"},
    {st::BYTE_COUNT_TOO_LARGE, "BYTE_COUNT_TOO_LARGE", "byte count larger than the record buffer"},
    {st::HAS_OPEN_FILES, "HAS_OPEN_FILES", "the file reference has open files"},
    {st::NO_OPEN_FILE, "NO_OPEN_FILE", "no open file given"},
    {st::BAD_TABLE, "BAD_TABLE", "bad translation table number"},
    {st::FIELD_OVERFLOW, "FIELD_OVERFLOW", "number does not fit its field"},
};
const StatusEntry* find_status(int32_t status) {
  for (const auto& e : statuses)
    if (e.status == status) return &e;
  return nullptr;
}
}  // namespace

const char* status_name(int32_t status) {
  const StatusEntry* e = find_status(status);
  return e ? e->name : "UNKNOWN_STATUS";
}

const char* status_text(int32_t status) {
  const StatusEntry* e = find_status(status);
  return e ? e->text : "unknown status";
}

std::string describe_failure(int32_t status) {
  std::string text;
  for (const auto& t : take_failure_texts()) {
    if (!text.empty()) text += "; ";
    text += t.kind == 2 ? "remote file " + t.text : t.text;
  }
  if (text.empty()) text = status_text(status);
  char code[48];
  std::snprintf(code, sizeof code, " (%s 0x%08X)", status_name(status), uint32_t(status));
  return text + code;
}

}  // namespace host::messages

using namespace host::messages;

namespace {
// The catalog text formatted with the caller's inserts; an unknown number is
// shown as such rather than dropped.
int format_message(char* buffer, int size, int group, int number, va_list args) {
  const char* text = catalog_text(group, number);
  if (!text) {
    char unknown[64];
    std::snprintf(unknown, sizeof unknown, "Message %d.%d (no text in the catalog)", group,
                  number);
    va_list none;
    va_copy(none, args);
    int n = format(buffer, size, unknown, none);
    va_end(none);
    return n;
  }
  return format(buffer, size, text, args);
}
}  // namespace

extern "C" int32_t hs_ypmlog(int32_t group, int32_t number, ...) {
  char text[4096];
  va_list args;
  va_start(args, number);
  int n = format_message(text, sizeof text, group, number, args);
  va_end(args);
  append_log(group, number, std::string(text, size_t(n)));
  return 0;
}

extern "C" int32_t hs_ypmstr(char* buffer, int32_t size, int32_t group, int32_t number, ...) {
  va_list args;
  va_start(args, number);
  int n = format_message(buffer, size, group, number, args);
  va_end(args);
  return n;
}

extern "C" int32_t hs_ypsstr(char* buffer, int32_t size, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = format(buffer, size, fmt, args);
  va_end(args);
  return n;
}

extern "C" int32_t hs_ypslog(const char* fmt, ...) {
  char text[4096];
  va_list args;
  va_start(args, fmt);
  int n = format(text, sizeof text, fmt, args);
  va_end(args);
  append_log(0, 0, std::string(text, size_t(n)));
  return 0;
}

// wkread(566, number, &text, &length): the catalog text itself, unformatted.
extern "C" int32_t hs_wkread(int32_t group, int32_t number, const char** text, int32_t* length) {
  const char* t = catalog_text(group, number);
  if (!t) {
    if (text) *text = nullptr;
    if (length) *length = 0;
    return st::FAILED;
  }
  if (text) *text = t;
  if (length) *length = int32_t(std::strlen(t));
  return 0;
}

// wrmksub(1, text, length incl. NUL) or wrmksub(2, &name_length, 4, name, length).
extern "C" int32_t hs_wrmksub(int32_t kind, ...) {
  va_list args;
  va_start(args, kind);
  FailureText t{kind, {}};
  if (kind == 2) {
    va_arg(args, const int32_t*);
    va_arg(args, int32_t);
    const char* name = va_arg(args, const char*);
    int32_t length = va_arg(args, int32_t);
    if (name && length > 0) t.text.assign(name, size_t(length));
  } else {
    const char* text = va_arg(args, const char*);
    int32_t length = va_arg(args, int32_t);
    if (text && length > 0) t.text.assign(text, strnlen(text, size_t(length)));
  }
  va_end(args);
  g_failure_texts.push_back(std::move(t));
  return 0;
}

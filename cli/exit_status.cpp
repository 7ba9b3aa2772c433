#include "cli/exit_status.h"

#include <cstring>

#include "cli/interrupt.h"
#include "host/messages.h"
#include "module/msgno.h"

namespace cli {
namespace {

ExitStatus g_noted = EXIT_OK;

int rank(ExitStatus s) {
  switch (s) {
    case EXIT_INTERRUPTED: return 11;
    case EXIT_LOCAL_WRITE: return 10;
    case EXIT_TIMED_OUT: return 9;
    case EXIT_CERTIFICATE: return 8;
    case EXIT_TLS: return 7;
    case EXIT_CONNECT: return 6;
    case EXIT_LOGIN: return 5;
    case EXIT_RESUME: return 4;
    case EXIT_USAGE: return 3;
    case EXIT_FAILED: return 2;
    case EXIT_DATA_CHANGED: return 1;
    default: return 0;
  }
}

// The text is message `number`: it starts with the catalog text up to its
// first insert.
bool is_message(const std::string& text, int number) {
  const char* catalog = host::messages::catalog_text(msg::GROUP, number);
  if (!catalog) return false;
  const char* insert = std::strchr(catalog, '%');
  size_t n = insert ? size_t(insert - catalog) : std::strlen(catalog);
  return n > 0 && text.compare(0, n, catalog, n) == 0;
}

}  // namespace

void note_exit(ExitStatus status) {
  if (rank(status) > rank(g_noted)) g_noted = status;
}

ExitStatus failure_exit() { return rank(g_noted) > rank(EXIT_FAILED) ? g_noted : EXIT_FAILED; }

int exit_status(bool ok) {
  if (!ok) return failure_exit();
  return g_noted == EXIT_DATA_CHANGED ? EXIT_DATA_CHANGED : EXIT_OK;
}

void classify_failure(const std::string& doing) {
  if (user_interrupted()) return note_exit(EXIT_INTERRUPTED);
  for (const auto& t : host::messages::pending_failure_texts()) {
    if (is_message(t.text, msg::WAIT_TIMED_OUT)) return note_exit(EXIT_TIMED_OUT);
    if (is_message(t.text, msg::WAIT_BROKEN)) return note_exit(EXIT_INTERRUPTED);
    if (is_message(t.text, msg::PASSWORD_REFUSED) || is_message(t.text, msg::USER_REFUSED) ||
        is_message(t.text, msg::NO_PASSWORD_REPLY))
      return note_exit(EXIT_LOGIN);
    if (is_message(t.text, msg::UNKNOWN_HOST) || is_message(t.text, msg::UNKNOWN_SERVICE))
      return note_exit(EXIT_CONNECT);
    if (is_message(t.text, msg::TLS_CERTIFICATE_REFUSED)) return note_exit(EXIT_CERTIFICATE);
    if (is_message(t.text, msg::REST_REFUSED) || is_message(t.text, msg::REST_NOT_USABLE))
      return note_exit(EXIT_RESUME);
    for (int tls_setup : {msg::TLS_LIBRARY_MISSING, msg::TLS_AUTH_REFUSED, msg::TLS_HANDSHAKE_FAILED,
                          msg::TLS_PROTECTION_REFUSED, msg::TLS_CA_FILE_UNUSABLE})
      if (is_message(t.text, tls_setup)) return note_exit(EXIT_TLS);
  }
  // An open that failed before the server greeted never reached it.
  if (doing == "open" && !host::messages::logged(msg::GREETING)) return note_exit(EXIT_CONNECT);
  note_exit(EXIT_FAILED);
}

}  // namespace cli

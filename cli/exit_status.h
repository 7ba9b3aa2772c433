// The exit statuses of ftpam, and the one a failed run ends with: the most
// telling failure noted while it ran.
#pragma once
#include <cstdint>
#include <string>

namespace cli {

enum ExitStatus : int {
  EXIT_OK = 0,
  EXIT_FAILED = 1,        // the server refused, or another failure
  EXIT_USAGE = 2,         // command line, options or script statement
  EXIT_CONNECT = 3,       // no connection to the server
  EXIT_LOGIN = 4,         // the server refused the user or password
  EXIT_LOCAL_WRITE = 5,   // writing standard output or a saved file failed
  EXIT_TIMED_OUT = 6,     // the server sent nothing for the wait limit
  EXIT_DATA_CHANGED = 7,  // everything went, but records were cut or padded
  EXIT_TLS = 8,           // TLS could not be set up (refused, handshake, library)
  EXIT_CERTIFICATE = 9,   // the server's certificate was not accepted
  EXIT_RESUME = 10,       // a transfer could not go on where it was cut
  EXIT_INTERRUPTED = 130, // Ctrl-C (SIGINT)
};

// Remembers a failure of this kind; the more telling kinds win.
void note_exit(ExitStatus status);
// EXIT_FAILED, or the most telling kind noted.
ExitStatus failure_exit();
// The status of a run that ended with `ok`: EXIT_OK (or EXIT_DATA_CHANGED
// when that was noted) when it did, else failure_exit().
int exit_status(bool ok);

// Notes what kind of failure the module's failure texts (still pending) and
// log tell of, for a failure status of `doing` ("open", "read", ...).
void classify_failure(const std::string& doing);

}  // namespace cli

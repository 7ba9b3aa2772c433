// The host's message services: the catalog of message group 566, the
// formatter of the host's format language, the log, and the failure texts
// that the module hands over (wrmksub) to go with the next failure status.
//
// Format language: printf-like. Conversions d i u x X o c s p and %%, with the
// flags - + blank 0 #, a width and a precision (either may be *), and the
// length letters h, hh, l (ignored: every integer insert is 32 bits). One
// addition: %Nz writes N blanks and takes no argument (N defaults to 1); the
// log uses it to indent continuation lines.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host::messages {

// Formats into buffer (at most size bytes of text; a NUL follows when there is
// room). Returns the length of the text written.
int format(char* buffer, int size, const char* format, va_list args);
std::string format_string(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The catalog text of message `number` of group 566, or null.
const char* catalog_text(int group, int number);

struct LogLine {
  int group;   // 566 for numbered messages, 0 for formatted lines (ypslog)
  int number;
  std::string text;
};
// Every log line since the last clear_log().
const std::vector<LogLine>& log();
void clear_log();
bool logged(int number);  // a numbered message of group 566 was logged
// Called for each line as it is logged (the CLI prints them).
void set_log_sink(std::function<void(const LogLine&)> sink);

// Texts handed over with wrmksub since they were last taken.
struct FailureText {
  int kind;
  std::string text;
};
std::vector<FailureText> take_failure_texts();
const std::vector<FailureText>& pending_failure_texts();

// Status names and the host's wording of a status.
const char* status_name(int32_t status);
const char* status_text(int32_t status);
// What the host shows for a failure status: the substitution texts handed over
// for it, or the status's own wording, with its name and code. Takes the
// pending texts.
std::string describe_failure(int32_t status);

}  // namespace host::messages

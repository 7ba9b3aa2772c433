// Host options (XXAMWAIT, XXAMTPRT, XXAMBIND, ...): a table of named values
// that the module reads per file reference through the step-services option
// lookup, after getting a handle with ytrakcp.
//
// The table starts with the host's own choice XXAMINPL=1: this host reads
// each record before its next call on the file and never writes into it or
// past its length, so it takes records where they lie in the module's read
// buffer (see README, "Records read").
#pragma once
#include <string>

namespace host::options {
void set(const std::string& key, const std::string& value);
void unset(const std::string& key);
// Back to the table the host starts with.
void reset();
// The value of an option, or the empty text when it is not set.
std::string get(const std::string& key);
// Handles obtained with ytrakcp and not yet dropped with ytrakdp, and option
// values looked up and not yet released.
int open_handles();
int open_values();
}  // namespace host::options

// Host options (XXAMWAIT, XXAMTPRT, XXAMBIND): a table of named values that
// the module reads per file reference through the step-services option
// lookup, after getting a handle with ytrakcp.
#pragma once
#include <string>

namespace host::options {
void set(const std::string& key, const std::string& value);
void unset(const std::string& key);
void clear();
// The value of an option, or the empty text when it is not set.
std::string get(const std::string& key);
// Handles obtained with ytrakcp and not yet dropped with ytrakdp, and option
// values looked up and not yet released.
int open_handles();
int open_values();
}  // namespace host::options

// The host's variable table: named values that the module reads as text
// (wzosvar: FTPHOST, FTPUSER) or, for the NBYTE variable, as a number through
// the step-services variable lookup, which hands out the address of the
// variable's 8-byte double so that later changes are seen at once.
#pragma once
#include <optional>
#include <string>

namespace host::variables {

// A text variable.
void set(const std::string& name, const std::string& value);
// A numeric variable. Its value stays at the same address for the life of
// the process, also across unset() and set_number() again.
void set_number(const std::string& name, double value);
void unset(const std::string& name);
void clear();
// The text of a variable (numbers formatted), if it is set.
std::optional<std::string> get(const std::string& name);

}  // namespace host::variables

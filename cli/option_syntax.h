// Turning the command line into the host's statement syntax: each argument
// after the command's operand is one file-reference option (KEYWORD or
// KEYWORD=VALUE). Text values are quoted for the user, so that
// host=127.0.0.2 and host='127.0.0.2' mean the same.
#pragma once
#include <string>
#include <vector>

namespace cli {

// One option argument in statement syntax.
std::string statement_option(const std::string& argument);
// All option arguments joined with blanks.
std::string statement(const std::vector<std::string>& arguments);
// Quotes a text for the statement syntax, doubling quotes inside it.
std::string quoted(const std::string& text);

}  // namespace cli

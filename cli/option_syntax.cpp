#include "cli/option_syntax.h"

#include <cctype>

namespace cli {
namespace {

// Keywords whose value is a quoted text.
const char* const text_keywords[] = {"USER", "PASS", "PASSWORD", "HOST", "HOSTNAME", "MACH",
                                     "MACHINE", "WD", "CD", "RCMD", "LSFILE"};

std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool is_text_keyword(const std::string& keyword) {
  std::string k = upper(keyword);
  for (const char* t : text_keywords)
    if (k == t) return true;
  return false;
}

}  // namespace

std::string quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) {
    q += c;
    if (c == '\'') q += '\'';
  }
  return q + "'";
}

std::string statement_option(const std::string& argument) {
  size_t eq = argument.find('=');
  if (eq == std::string::npos) return argument;
  std::string keyword = argument.substr(0, eq);
  std::string value = argument.substr(eq + 1);
  bool already_quoted = value.size() >= 2 && (value.front() == '\'' || value.front() == '"') &&
                        value.back() == value.front();
  if (is_text_keyword(keyword) && !already_quoted) value = quoted(value);
  return keyword + "=" + value;
}

std::string statement(const std::vector<std::string>& arguments) {
  std::string s;
  for (const auto& a : arguments) {
    if (!s.empty()) s += ' ';
    s += statement_option(a);
  }
  return s;
}

}  // namespace cli

#include "cli/prepare.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli/option_syntax.h"
#include "host/variables.h"

namespace cli {
namespace {

constexpr char URL_SCHEME[] = "ftp://";
constexpr char TLS_URL_SCHEME[] = "ftps://";

std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// %XX escapes decoded; a malformed escape stays as it is.
std::string decoded(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += char(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The value of the first option with one of `keywords`, if any.
const std::string* value_of(const std::vector<std::string>& options,
                            std::initializer_list<const char*> keywords) {
  for (const auto& o : options)
    for (const char* k : keywords)
      if (o.find('=') != std::string::npos && keyword_of(o) == k) return &o;
  return nullptr;
}

bool has(const std::vector<std::string>& options, std::initializer_list<const char*> keywords) {
  for (const auto& o : options)
    for (const char* k : keywords)
      if (keyword_of(o) == k) return true;
  return false;
}

std::string value_text(const std::string& option) {
  std::string v = option.substr(option.find('=') + 1);
  if (v.size() >= 2 && (v[0] == '\'' || v[0] == '"') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
  return v;
}

// A terminal to ask on: the controlling one, whatever standard input is.
bool terminal_opens() {
  int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// ~/.netrc has a "machine NAME" entry.
bool netrc_names(const std::string& machine) {
  const char* home = std::getenv("HOME");
  if (!home || machine.empty()) return false;
  std::ifstream in(std::string(home) + "/.netrc");
  std::string word, previous;
  while (in >> word) {
    if (previous == "machine" && word == machine) return true;
    previous = word;
  }
  return false;
}

// The server's name or address in a host= value: "[::1]:2121" and "[::1]"
// give "::1", "name:21" gives "name"; a bare IPv6 address stays whole.
std::string host_without_port(const std::string& value) {
  if (!value.empty() && value[0] == '[') {
    size_t close = value.find(']');
    return close == std::string::npos ? value : value.substr(1, close - 1);
  }
  size_t colon = value.find(':');
  if (colon == std::string::npos || value.find(':', colon + 1) != std::string::npos) return value;
  return value.substr(0, colon);
}

}  // namespace

std::string keyword_of(const std::string& option) { return upper(option.substr(0, option.find('='))); }

bool parse_url(const std::string& text, std::vector<std::string>* options, std::string* path) {
  std::string rest;
  if (upper(text.substr(0, sizeof URL_SCHEME - 1)) == upper(URL_SCHEME)) {
    rest = text.substr(sizeof URL_SCHEME - 1);
  } else if (upper(text.substr(0, sizeof TLS_URL_SCHEME - 1)) == upper(TLS_URL_SCHEME)) {
    // ftps:// is TLS from the first byte, on port 990 unless one is named.
    rest = text.substr(sizeof TLS_URL_SCHEME - 1);
    options->push_back("tls=implicit");
  } else {
    return false;
  }
  size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  *path = slash == std::string::npos ? "" : decoded(rest.substr(slash + 1));
  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string credentials = authority.substr(0, at);
    authority = authority.substr(at + 1);
    size_t colon = credentials.find(':');
    if (colon != std::string::npos)
      options->push_back("pass=" + quoted(decoded(credentials.substr(colon + 1))));
    options->push_back("user=" + quoted(decoded(credentials.substr(0, colon))));
  }
  if (authority.empty()) return false;
  options->push_back("host=" + quoted(authority));
  return true;
}

std::string prepare(const PrepareRequest& request, Prepared* out) {
  std::vector<std::string> options;
  out->remote = request.operand;
  if (parse_url(request.operand, &options, &out->remote)) {
    // Options typed after the URL win over what the URL says.
    for (const auto& o : request.options) {
      std::string k = keyword_of(o);
      for (auto it = options.begin(); it != options.end();)
        it = keyword_of(*it) == k ? options.erase(it) : it + 1;
    }
  }
  options.insert(options.end(), request.options.begin(), request.options.end());

  const bool has_format = has(options, {"RECFM", "S370V", "S370VS"});
  if (request.raw_put && !has_format) {
    options.push_back("recfm=s");
    if (!has(options, {"NONBYTE", "NBYTE"})) options.push_back("nonbyte");
  }
  if (const std::string* recfm = value_of(options, {"RECFM"})) {
    std::string v = upper(value_text(*recfm));
    if (!v.empty() && v[0] == 'S' && !has(options, {"NONBYTE", "NBYTE"}))
      return "recfm=s reads pieces whose size someone must choose: add nonbyte (pieces of LRECL "
             "bytes, or --piece N), or nbyte=VARIABLE";
  }
  if (request.piece_given && !has(options, {"NONBYTE"}))
    return "--piece needs recfm=s with nonbyte";

  const std::string* host = value_of(options, {"HOST", "HOSTNAME"});
  const bool machine = has(options, {"MACH", "MACHINE"});
  if (!host && !machine && !host::variables::get("FTPHOST"))
    return "no server named: add host=NAME (or host=NAME:PORT), an ftp:// URL, mach=NAME, or "
           "set FTPHOST";
  const bool user = has(options, {"USER"});
  const bool password = has(options, {"PASS", "PASSWORD"});
  // curl's habit: host= alone finds its .netrc entry.
  if (host && !machine && !user && !password) {
    std::string name = value_text(*host);
    std::string bare = host_without_port(name);
    if (netrc_names(bare)) {
      auto at = options.begin() + (host - options.data());
      *at = "mach=" + bare;
      if (bare != name) options.insert(at + 1, "host=" + name);  // after mach=: the port stays
    } else if (!host::variables::get("FTPUSER") && !has(options, {"PROMPT"})) {
      return "no user named: add user=NAME (its password with pass=, $FTPAM_PASSWORD or a "
             "prompt), or a .netrc entry for " + bare;
    }
  } else if (!user && !machine && !host::variables::get("FTPUSER") && !has(options, {"PROMPT"})) {
    return "no user named: add user=NAME, mach=NAME, or set FTPUSER";
  }
  // A user without a password: the password comes from the environment (it
  // need not stand in the process list), else from a question on the
  // terminal; with nobody to ask, an empty one would go out, so the run
  // stops here. A password the CLI supplies is parsed first, so that no
  // echo of a refused option can show it.
  const bool from_netrc = has(options, {"MACH", "MACHINE"});
  const bool user_known = user || host::variables::get("FTPUSER");
  if (!password && !from_netrc && (user_known || has(options, {"PROMPT"}))) {
    if (const char* p = std::getenv("FTPAM_PASSWORD")) {
      options.insert(options.begin(), "pass=" + quoted(p));
    } else if (!terminal_opens()) {
      return "no password, and no terminal to ask for it on: add pass=TEXT (pass='' for none) "
             "or set FTPAM_PASSWORD";
    } else if (!has(options, {"PROMPT"})) {
      options.push_back("prompt");
    }
  }
  for (auto& o : options) {
    if (keyword_of(o) == "NBYTE") out->open_options.push_back(o);
    else out->assign_options.push_back(o);
  }
  return "";
}

}  // namespace cli

// What the user typed, made into the options of a file reference: an
// ftp:// URL operand taken apart, the server and user that must be there,
// .netrc found from host= alone, the password from the environment or the
// terminal, and the options that belong to the open rather than the assign.
#pragma once
#include <string>
#include <vector>

namespace cli {

struct Prepared {
  std::string remote;                     // the operand, a URL's path
  std::vector<std::string> assign_options;
  std::vector<std::string> open_options;  // NBYTE=: the module takes it at open only
};

struct PrepareRequest {
  std::string operand;               // remote name or ftp:// URL
  std::vector<std::string> options;  // as typed, KEYWORD or KEYWORD=VALUE
  bool raw_put = false;              // put --raw: a byte stream unless a format is given
  bool piece_given = false;          // get --piece N
};

// Fills `out`, or returns the usage error to show ("" when all is well).
std::string prepare(const PrepareRequest& request, Prepared* out);

// Takes an ftp://[user[:password]@]host[:port]/path URL apart into options
// (host=, user=, pass=) and the path, %XX escapes decoded. False when `text`
// is not such a URL.
bool parse_url(const std::string& text, std::vector<std::string>* options, std::string* path);

// The keyword of an option argument, upper-cased ("RECFM" of "recfm=s").
std::string keyword_of(const std::string& option);

}  // namespace cli

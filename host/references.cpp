// File references: statement parsing through the module's option parser,
// assign, deassign and the lookups, and the host's table of assigned names.
#include "host/references.h"

#include <cstdio>
#include <cstring>
#include <set>

#include "host/control_block.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/tokenizer.h"
#include "module/records.h"
#include "module/status.h"

namespace host::references {
namespace {

constexpr int NAME_SIZE = 8;
constexpr int PHYSICAL_NAME_BUFFER = 1025;

const Module& module() { return *Module::load_default(nullptr); }

// Names of assigned references, upper-cased.
std::set<std::string>& table() {
  static std::set<std::string> names;
  return names;
}

std::string upper(const std::string& name8) {
  const unsigned char* t = translation_table(2);
  std::string out = name8;
  for (char& c : out) c = char(t[static_cast<unsigned char>(c)]);
  return out;
}

std::string with_code(const std::string& text, int32_t status) {
  char code[48];
  std::snprintf(code, sizeof code, " (%s 0x%08X)", messages::status_name(status),
                uint32_t(status));
  return text + code;
}

// The value the user gave, as echoed (a masked password stays masked).
std::string shown_value(const tokenizer::Token& token) {
  if (token.kind == tokenizer::END) return "nothing";
  if (token.position.masked) return "a password";
  return token.text;
}

// What the host says about an option the module refused.
std::string refusal(const tokenizer::Statement& s, int32_t status, int32_t count) {
  const auto& tokens = s.tokens();
  std::string keyword = s.option_start() < tokens.size() ? tokens[s.option_start()].text : "";
  auto marked = s.marked();
  if (status == st::UNKNOWN_KEYWORD)
    return with_code("Option " + keyword + " is not known", status);
  if (status == st::BAD_OPTION_VALUE && count == 1)
    return with_code("Option " + keyword + " needs \"=\" and a value", status);
  if (status == st::BAD_OPTION_VALUE && !marked.empty())
    return with_code("Option " + keyword + " does not accept " + shown_value(*marked.back()),
                     status);
  return "Option " + keyword + " failed: " + messages::describe_failure(status);
}

void release_options(FtpOptions** block) {
  if (!*block) return;
  std::string blank(NAME_SIZE, ' ');
  module().call(slot::RELEASE_OPTIONS, blank.c_str(), static_cast<void*>(nullptr), *block);
  *block = nullptr;
}

}  // namespace

std::string padded_name(const std::string& name) {
  std::string n = name.substr(0, NAME_SIZE);
  n.resize(NAME_SIZE, ' ');
  return n;
}

bool known(const char* name8) {
  return name8 && table().count(upper(std::string(name8, NAME_SIZE))) != 0;
}

Result parse_options(const std::string& options, int32_t parse_flags, FtpOptions** block) {
  Result r;
  *block = nullptr;
  tokenizer::Statement s(options);
  if (!s.ok()) {
    r.status = st::BAD_OPTION_VALUE;
    r.message = with_code("The options cannot be read: " + s.error(), r.status);
    return r;
  }
  int32_t count = 0;
  while (r.ok() && !s.at_end()) {
    count = -1;
    r.status = module().call(slot::PARSE, 0, static_cast<void*>(&s), 0, parse_flags,
                             static_cast<void*>(&s), &count, block);
    if (r.ok() && count <= 0) r.status = st::FAILED;  // an option must take a token
    if (r.ok()) s.advance(size_t(count));
  }
  r.echo = s.echo();
  r.marks = s.error_marks();
  if (!r.ok()) {
    r.message = refusal(s, r.status, count);
    release_options(block);
  }
  return r;
}

Result assign(const std::string& name, const std::string& remote, const std::string& options,
              int32_t parse_flags) {
  if (name.size() > NAME_SIZE) {
    Result r;
    r.status = st::FAILED;
    r.message = with_code("A file reference name has at most 8 characters", r.status);
    return r;
  }
  FtpOptions* block = nullptr;
  Result r = parse_options(options, parse_flags, &block);
  if (!r.ok()) return r;
  char name8[NAME_SIZE + 1] = {};
  std::memcpy(name8, padded_name(name).c_str(), NAME_SIZE);
  r.status = module().call(slot::ASSIGN, name8, static_cast<void*>(nullptr), ACCESS_METHOD_NAME,
                           remote.c_str(), int32_t(remote.size()), block);
  r.name = std::string(name8, NAME_SIZE);
  if (!r.ok()) {
    release_options(&block);
    r.message = messages::describe_failure(r.status);
    return r;
  }
  table().insert(upper(r.name));
  return r;
}

Result deassign(const std::string& name) {
  Result r;
  std::string name8 = padded_name(name);
  r.status = module().call(slot::DEASSIGN, name8.c_str(), static_cast<void*>(nullptr));
  r.name = name8;
  if (!r.ok()) r.message = messages::describe_failure(r.status);
  else table().erase(upper(name8));
  return r;
}

std::vector<Reference> list() {
  std::vector<Reference> out;
  void* cursor = nullptr;
  char name8[NAME_SIZE];
  const char* remote = nullptr;
  int32_t length = 0;
  while (module().call(slot::NEXT, &cursor, name8, static_cast<void*>(nullptr), &remote,
                       &length) == st::OK)
    out.push_back({std::string(name8, NAME_SIZE),
                   remote ? std::string(remote, size_t(length)) : std::string()});
  return out;
}

std::optional<std::string> physical_name(const std::string& name) {
  char buffer[PHYSICAL_NAME_BUFFER];
  if (module().call(slot::PHYSICAL_NAME, padded_name(name).c_str(), buffer) != st::OK)
    return std::nullopt;
  return std::string(buffer);
}

}  // namespace host::references

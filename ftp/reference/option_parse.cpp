// Option parsing: one call reads one option of a statement (a keyword, or a
// keyword, "=" and a value) from the host's tokenizer and records it in the
// file reference's option block, creating the block on the first call. The
// keywords and what each does are the table `rules` below.
#include <cstddef>
#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/methods.h"
#include "ftp/reference/netrc.h"
#include "hostsvc/gcb.h"
#include "hostsvc/hostsvc.h"
#include "hostsvc/lookups.h"
#include "hostsvc/token.h"
#include "module/allocation.h"
#include "module/status.h"
#include "util/util.h"

namespace {

// Parse-flag bits.
constexpr int32_t PARSE_NBYTE = 0x3;  // either bit: the statement may name an NBYTE variable
constexpr int32_t PARSE_HOST_OWNED = static_cast<int32_t>(OPTIONS_HOST_OWNED);

// Result counts: how many tokens of the option were taken.
constexpr int32_t TOOK_NOTHING = 0;
constexpr int32_t TOOK_KEYWORD = 1;
constexpr int32_t TOOK_EQUALS = 2;
constexpr int32_t TOOK_VALUE = 3;

constexpr int ENCODING_NAME_MAX = 20;

enum class Action {
  Number,        // decimal number into an int32 field
  Offset,        // REST: a byte offset, 0 to 4294967295
  RecordFormat,  // RECFM: first letter F, V or S
  Text,          // quoted text into a text field
  Machine,       // quoted text into `machine`, then the .netrc lookup
  Password,      // quoted text into `password`, masked in the echo
  NByte,         // name of the NBYTE host variable
  Termstr,       // CRLF, LF or NULL
  TlsMode,       // EXPLICIT or IMPLICIT
  Encoding,      // encoding name
  Flag,          // sets a bit of option_flags
  Family,        // IPV4 or IPV6: sets its bit, clearing the other's
  NonByte,       // byte_mode = 0
  NoEffect,      // accepted, nothing recorded
};

struct Rule {
  const char* keyword;
  Action action;
  uint16_t field;    // offset in FtpOptions (Number, Text, Machine, Password)
  uint32_t limit;    // texts: most characters kept (SHORT_TEXT or LONG_TEXT); Flag: the bit
};

#define FIELD(name) uint16_t(offsetof(FtpOptions, name))
constexpr uint16_t SHORT_TEXT = OPTION_TEXT_SHORT;     // a full field, no terminator
constexpr uint16_t LONG_TEXT = OPTION_TEXT_LONG - 1;

constexpr Rule rules[] = {
    {"LRECL", Action::Number, FIELD(lrecl), 0},
    {"BLOCKSIZE", Action::Number, FIELD(blocksize), 0},
    {"RECFM", Action::RecordFormat, 0, 0},
    {"USER", Action::Text, FIELD(user), SHORT_TEXT},
    {"MACH", Action::Machine, FIELD(machine), SHORT_TEXT},
    {"MACHINE", Action::Machine, FIELD(machine), SHORT_TEXT},
    {"PASS", Action::Password, FIELD(password), SHORT_TEXT},
    {"PASSWORD", Action::Password, FIELD(password), SHORT_TEXT},
    {"NBYTE", Action::NByte, 0, 0},
    {"HOST", Action::Text, FIELD(host), SHORT_TEXT},
    {"HOSTNAME", Action::Text, FIELD(host), SHORT_TEXT},
    {"WD", Action::Text, FIELD(directory), LONG_TEXT},
    {"CD", Action::Text, FIELD(directory), LONG_TEXT},
    {"RCMD", Action::Text, FIELD(rcmd), LONG_TEXT},
    {"LSFILE", Action::Text, FIELD(lsfile), LONG_TEXT},
    {"DEBUG", Action::Flag, 0, opt::DEBUG},
    {"PROMPT", Action::Flag, 0, opt::PROMPT},
    {"LS", Action::Flag, 0, opt::LS},
    {"RHELP", Action::Flag, 0, opt::RHELP},
    {"RSTAT", Action::Flag, 0, opt::RSTAT},
    {"S370VS", Action::Flag, 0, opt::S370VS},
    {"S370V", Action::Flag, 0, opt::S370V},
    {"MOD", Action::Flag, 0, opt::MOD},
    {"LIST", Action::Flag, 0, opt::LIST},
    {"BYPASS", Action::Flag, 0, opt::BYPASS},
    {"MGET", Action::Flag, 0, opt::MGET},
    {"MPROMPT", Action::Flag, 0, opt::MPROMPT},
    {"SAVEUSER", Action::Flag, 0, opt::SAVEUSER},
    {"NOQUIT", Action::Flag, 0, opt::NOQUIT},
    {"PASV", Action::Flag, 0, opt::PASV},
    {"TLS", Action::TlsMode, 0, 0},
    {"NOVERIFY", Action::Flag, 0, opt::NOVERIFY},
    {"IPV4", Action::Family, 0, opt::IPV4},
    {"IPV6", Action::Family, 0, opt::IPV6},
    {"FACTS", Action::Flag, 0, opt::FACTS},
    {"ACTIVE", Action::Flag, 0, opt::ACTIVE},
    {"RECURSIVE", Action::Flag, 0, opt::RECURSIVE},
    {"REST", Action::Offset, 0, 0},
    {"NONBYTE", Action::NonByte, 0, 0},
    {"FTP", Action::NoEffect, 0, 0},
    {"TERMSTR", Action::Termstr, 0, 0},
    {"ENCODING", Action::Encoding, 0, 0},
};
#undef FIELD

bool takes_value(Action action) {
  return action != Action::Flag && action != Action::Family && action != Action::NonByte &&
         action != Action::NoEffect;
}

const Rule* find_rule(const HostToken& keyword, int32_t parse_flags) {
  for (const Rule& rule : rules) {
    if (wzstcom(keyword.text, keyword.length, rule.keyword, wzstlen(rule.keyword)) != 0)
      continue;
    if (rule.action == Action::NByte && !(parse_flags & PARSE_NBYTE)) return nullptr;
    return &rule;
  }
  return nullptr;
}

template <typename T>
T& field_of(FtpOptions* block, uint16_t offset) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(block) + offset);
}

// Replaces a text field with at most `limit` characters of `text`.
void store_text(char* field, int field_size, const char* text, int limit) {
  std::memset(field, 0, size_t(field_size));
  std::memcpy(field, text, strnlen(text, size_t(limit)));
}

bool begins_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// A value enclosed in a pair of the same quote characters.
bool quoted(const char* text, int length) {
  return length >= 2 && (text[0] == '\'' || text[0] == '"') && text[length - 1] == text[0];
}

// Outcome of applying a value: accepted, rejected (0x80001018), or a failure
// status of its own to pass on.
constexpr int32_t REJECTED = st::BAD_OPTION_VALUE;

// The value of a text option without its quotes into its field. Only a quoted
// value is taken: the tokenizer has upper-cased any other, so what the user
// wrote cannot be recovered from it.
int32_t apply_text(FtpOptions* block, const Rule& rule, const HostToken& value) {
  if (!quoted(value.text, value.length)) return REJECTED;
  void* pool = v_global_gcb_anchor[gcb::TEMP_POOL];
  auto* copy = static_cast<char*>(vmalloc_handler(pool, value.length + 1, gcb::ALLOC_NOCLEAR));
  if (!copy) return st::NO_MEMORY;
  std::memcpy(copy, value.text, value.length);
  copy[value.length] = '\0';
  wzstrpq(copy, value.length);
  int field_size = rule.limit == SHORT_TEXT ? OPTION_TEXT_SHORT : OPTION_TEXT_LONG;
  store_text(&field_of<char>(block, rule.field), field_size, copy, rule.limit);
  mem::wipe(copy, value.length + 1u);  // it may be a password
  vmfree_handler(pool, copy, 0, 4);  // the temporary pool frees its own blocks
  return st::OK;
}

// MACH names the host and, through .netrc, may supply user and password.
int32_t apply_machine(FtpOptions* block, const Rule& rule, const HostToken& value) {
  int32_t status = apply_text(block, rule, value);
  if (status != st::OK) return status;
  char machine[OPTION_TEXT_SHORT + 1] = {};
  std::memcpy(machine, block->machine, OPTION_TEXT_SHORT);
  char* login = nullptr;
  char* password = nullptr;
  char word[NETRC_WORD_SIZE];
  status = ruserpass(machine, &login, &password, word);
  if (status == st::OK) {
    if (login) store_text(block->user, OPTION_TEXT_SHORT, login, OPTION_TEXT_SHORT);
    if (password) store_text(block->password, OPTION_TEXT_SHORT, password, OPTION_TEXT_SHORT);
    store_text(block->host, OPTION_TEXT_SHORT, machine, OPTION_TEXT_SHORT);
  }
  mem::release(login);
  if (password) mem::wipe(password, std::strlen(password));
  mem::release(password);
  mem::wipe(word, sizeof word);  // the last word .netrc gave may be the password
  return status;
}

int32_t apply_number(FtpOptions* block, const Rule& rule, const HostToken& value) {
  int32_t converted = 0, number = 0;
  if (value.kind != TOKEN_NUMBER ||
      wzrlchr(value.text, value.length, 0, &converted, &number) != st::OK)
    return REJECTED;
  field_of<int32_t>(block, rule.field) = number;
  return st::OK;
}

// Digits only, up to the largest offset the 32-bit field holds.
int32_t apply_offset(FtpOptions* block, const HostToken& value) {
  if (value.kind != TOKEN_NUMBER || value.length < 1) return REJECTED;
  uint64_t offset = 0;
  for (int32_t i = 0; i < value.length; ++i) {
    const char c = value.text[i];
    if (c < '0' || c > '9') return REJECTED;
    offset = offset * 10 + uint64_t(c - '0');
    if (offset > UINT32_MAX) return REJECTED;
  }
  block->rest_offset = uint32_t(offset);
  return st::OK;
}

int32_t apply_record_format(FtpOptions* block, const HostToken& value) {
  if (value.kind != TOKEN_WORD) return REJECTED;
  switch (value.text[0]) {
    case 'F': block->recfm_bits |= RECFM_F; return st::OK;
    case 'V': block->recfm_bits |= RECFM_V; return st::OK;
    case 'S': block->recfm_bits |= RECFM_S; return st::OK;
    default: return REJECTED;
  }
}

// The NBYTE variable's name; the host's variable lookup says whether it can
// be used. The fields stay filled when it cannot.
int32_t apply_nbyte(FtpOptions* block, const HostToken& value) {
  if (value.kind != TOKEN_WORD || value.length > NBYTE_NAME_SIZE) return REJECTED;
  std::memset(block->nbyte_name, ' ', NBYTE_NAME_SIZE);
  block->nbyte_value = -1;
  std::memcpy(block->nbyte_name, value.text, value.length);
  block->nbyte_name_len = value.length;
  if (!hostsvc::variables_offered()) return st::OK;
  double* handle = nullptr;
  int32_t result = hostsvc::look_up_variable(block->nbyte_name, block->nbyte_name_len,
                                             block->nbyte_value, &handle);
  return result == hostsvc::VARIABLE_MISSING || result == hostsvc::VARIABLE_UNUSABLE ? REJECTED
                                                                                    : st::OK;
}

int32_t apply_termstr(FtpOptions* block, const HostToken& value) {
  if (value.kind != TOKEN_WORD) return REJECTED;
  if (begins_with(value.text, "CRLF")) block->termstr = TERMSTR_CRLF;
  else if (begins_with(value.text, "LF")) block->termstr = TERMSTR_LF;
  else if (begins_with(value.text, "NULL")) block->termstr = TERMSTR_NULL;
  return st::OK;
}

// One mode replaces another given earlier in the statement.
int32_t apply_tls_mode(FtpOptions* block, const HostToken& value) {
  uint32_t mode = 0;
  if (value.kind == TOKEN_WORD && wzstcom(value.text, value.length, "EXPLICIT", 8) == 0)
    mode = opt::TLS_EXPLICIT;
  else if (value.kind == TOKEN_WORD && wzstcom(value.text, value.length, "IMPLICIT", 8) == 0)
    mode = opt::TLS_IMPLICIT;
  else
    return REJECTED;
  block->option_flags = (block->option_flags & ~opt::TLS_MODE) | mode;
  return st::OK;
}

int32_t apply_encoding(FtpOptions* block, const HostToken& value) {
  if (value.kind != TOKEN_WORD && value.kind != TOKEN_QUOTED) return REJECTED;
  char name[ENCODING_NAME_MAX + 1] = {};
  int length = value.length < ENCODING_NAME_MAX ? value.length : ENCODING_NAME_MAX;
  std::memcpy(name, value.text, size_t(length));
  if (quoted(name, length)) length = wzstrpq(name, length);
  if (wztxcei(0, name, length, &block->encoding) != 0) {
    block->encoding = 0;
    return REJECTED;
  }
  return st::OK;
}

int32_t apply_value(FtpOptions* block, const Rule& rule, const HostToken& value) {
  switch (rule.action) {
    case Action::Number: return apply_number(block, rule, value);
    case Action::Offset: return apply_offset(block, value);
    case Action::RecordFormat: return apply_record_format(block, value);
    case Action::Text:
    case Action::Password: return apply_text(block, rule, value);
    case Action::Machine: return apply_machine(block, rule, value);
    case Action::NByte: return apply_nbyte(block, value);
    case Action::Termstr: return apply_termstr(block, value);
    case Action::TlsMode: return apply_tls_mode(block, value);
    case Action::Encoding: return apply_encoding(block, value);
    default: return st::OK;
  }
}

void apply_flag(FtpOptions* block, const Rule& rule) {
  if (rule.action == Action::Flag) block->option_flags |= rule.limit;
  else if (rule.action == Action::Family)
    block->option_flags = (block->option_flags & ~opt::INET_FAMILY) | rule.limit;
  else if (rule.action == Action::NonByte) block->byte_mode = 0;
}

// Reads the next token; a token without text reads as an empty one.
int32_t next_token(int32_t parse_flags, void* source, HostToken* token) {
  int32_t status = yxatok(parse_flags, source, token);
  if (!token->text) {
    token->text = "";
    token->length = 0;
  }
  return status;
}

// The current token is where the option went wrong.
int32_t refuse(const HostToken& token, int32_t* count_out, int32_t count, int32_t status) {
  mark_token_in_error(token);
  *count_out = count;
  return status;
}

}  // namespace

extern "C" int32_t yxfpars(int32_t, void* echo_context, int32_t, int32_t parse_flags,
                           void* source, int32_t* count_out, FtpOptions** block_slot) {
  if (!*block_slot) {
    auto* block = static_cast<FtpOptions*>(mem::alloc_clear(FTP_OPTIONS_SIZE));
    if (!block) return st::NO_MEMORY;
    *block_slot = block;
    block->context_flags |= uint32_t(parse_flags & PARSE_HOST_OWNED);
    block->byte_mode = 1;
  }
  FtpOptions* block = *block_slot;
  if (!source) return st::OK;

  HostToken token{};
  int32_t status = yxatoki(&token);
  if (status == st::OK) status = next_token(parse_flags, source, &token);
  if (status != st::OK) return status;
  const Rule* rule = find_rule(token, parse_flags);
  if (!rule) return refuse(token, count_out, TOOK_NOTHING, st::UNKNOWN_KEYWORD);

  if (!takes_value(rule->action)) {
    apply_flag(block, *rule);
    *count_out = TOOK_KEYWORD;
    return yxatokt(&token);
  }

  if ((status = next_token(parse_flags, source, &token)) != st::OK) return status;
  if (token.text[0] != '=') return refuse(token, count_out, TOOK_KEYWORD, st::BAD_OPTION_VALUE);
  status = next_token(parse_flags, source, &token);
  if (rule->action == Action::Password) yhqblot(echo_context, token.position);
  if (status != st::OK) return status;

  status = apply_value(block, *rule, token);
  if (status == REJECTED) return refuse(token, count_out, TOOK_EQUALS, st::BAD_OPTION_VALUE);
  if (status != st::OK) return status;
  *count_out = TOOK_VALUE;
  return yxatokt(&token);
}

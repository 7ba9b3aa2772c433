// The host's statement tokenizer over an option string, as the module reads
// it through yxatoki / yxatok / yxatokt, and the statement's echo, in which
// yhqblot masks a password and the module marks the token where an option
// went wrong. The value after PASS= or PASSWORD= is masked from the start,
// whether or not the module gets to parse it.
//
// Tokens: words (runs of anything but blanks, commas, "=" and quotes),
// upper-cased, kind 2, or kind 4 when all digits; quoted strings ('...' or
// "...", a doubled quote inside stands for one) delivered with their quotes
// and their case, kind 3; the "=" sign, kind EQUALS. Reading past the last
// token gives an empty token of kind END. Blanks and commas separate tokens.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hostsvc/token.h"

namespace host::tokenizer {

constexpr uint16_t END = 0;
constexpr uint16_t EQUALS = 5;

// The position record of a token (its address goes with the token). The
// module sets bit 0 of the word at byte offset 48 to mark an error.
struct Position {
  int32_t offset = 0;     // byte offset of the token in the statement
  int32_t length = 0;     // bytes of the statement the token spans
  int32_t index = 0;      // token number, from 0
  uint32_t reserved[9] = {};
  uint32_t flags = 0;     // POSITION_ERROR
  uint32_t masked = 0;    // 1 after yhqblot
};
static_assert(offsetof(Position, flags) == POSITION_FLAGS_OFFSET);

struct Token {
  uint16_t kind = END;
  std::string text;       // as delivered: upper-cased word, or quoted string with its quotes
  Position position;
};

class Statement {
 public:
  // Splits `text` into tokens; see error() for a statement that cannot be split.
  explicit Statement(std::string text);
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& text() const { return text_; }
  const std::vector<Token>& tokens() const { return tokens_; }

  // The option being parsed starts at this token; the module's reads count
  // from here. advance() moves past the tokens an option took.
  size_t option_start() const { return option_start_; }
  void advance(size_t count);
  bool at_end() const { return option_start_ >= tokens_.size(); }

  // The token the module reads as its nth of the current option (the END
  // token past the last one).
  Token& token_for_option(size_t nth);
  void mask(const Position* position);

  // The statement as the host echoes it, masked tokens replaced by asterisks,
  // and a line with carets under the tokens marked in error (empty when none;
  // an error at the end of the statement is marked after its last character).
  std::string echo() const;
  std::string error_marks() const;
  // Tokens marked in error, in statement order.
  std::vector<const Token*> marked() const;

 private:
  void render(std::string* echo, std::string* marks) const;
  Token* find(const Position* position);

  std::string text_;
  std::string error_;
  std::vector<Token> tokens_;
  Token end_{};
  size_t option_start_ = 0;
};

}  // namespace host::tokenizer

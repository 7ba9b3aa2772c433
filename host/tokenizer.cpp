// The statement tokenizer over an option string (yxatoki, yxatok, yxatokt)
// and the statement's echo with password masking (yhqblot).
#include "host/tokenizer.h"

#include <algorithm>
#include <cctype>

#include "module/status.h"

namespace host::tokenizer {
namespace {

constexpr uint32_t TOKEN_STARTED = 0x544F4B31;  // host_words[0] between yxatoki and yxatokt
constexpr size_t TOKEN_LENGTH_MAX = 0xFFFF;     // the token record's length is 16 bits
constexpr char MASK[] = "********";

bool separator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == ','; }
bool quote(char c) { return c == '\'' || c == '"'; }
bool password_keyword(const Token& t) {
  return t.kind == TOKEN_WORD && (t.text == "PASS" || t.text == "PASSWORD");
}

}  // namespace

Statement::Statement(std::string text) : text_(std::move(text)) {
  const size_t n = text_.size();
  size_t i = 0;
  for (;;) {
    while (i < n && separator(text_[i])) ++i;
    if (i >= n) break;
    const size_t start = i;
    Token token{};
    if (text_[i] == '=') {
      token.kind = EQUALS;
      ++i;
      token.text = "=";
    } else if (quote(text_[i])) {
      const char q = text_[i++];
      for (;;) {
        if (i >= n) {
          error_ = "unterminated quoted string starting at column " + std::to_string(start + 1);
          tokens_.clear();
          return;
        }
        if (text_[i] != q) ++i;
        else if (i + 1 < n && text_[i + 1] == q) i += 2;
        else break;
      }
      ++i;
      token.kind = TOKEN_QUOTED;
      token.text = text_.substr(start, i - start);
    } else {
      bool digits = true;
      while (i < n && !separator(text_[i]) && text_[i] != '=' && !quote(text_[i])) {
        digits = digits && std::isdigit(static_cast<unsigned char>(text_[i]));
        token.text += char(std::toupper(static_cast<unsigned char>(text_[i])));
        ++i;
      }
      token.kind = digits ? TOKEN_NUMBER : TOKEN_WORD;
    }
    if (token.text.size() > TOKEN_LENGTH_MAX) {
      error_ = "the token at column " + std::to_string(start + 1) + " is too long";
      tokens_.clear();
      return;
    }
    token.position.offset = int32_t(start);
    token.position.length = int32_t(i - start);
    token.position.index = int32_t(tokens_.size());
    tokens_.push_back(std::move(token));
  }
  end_.kind = END;
  end_.position.offset = int32_t(n);
  end_.position.index = int32_t(tokens_.size());
  // A password's value is masked in every echo before the module sees it:
  // a statement refused at an earlier option still shows the rest.
  for (size_t t = 0; t + 2 < tokens_.size(); ++t)
    if (password_keyword(tokens_[t]) && tokens_[t + 1].kind == EQUALS)
      tokens_[t + 2].position.masked = 1;
}

void Statement::advance(size_t count) {
  option_start_ = std::min(option_start_ + count, tokens_.size());
}

Token& Statement::token_for_option(size_t nth) {
  size_t index = option_start_ + nth;
  return index < tokens_.size() ? tokens_[index] : end_;
}

Token* Statement::find(const Position* position) {
  for (Token& t : tokens_)
    if (&t.position == position) return &t;
  return &end_.position == position ? &end_ : nullptr;
}

void Statement::mask(const Position* position) {
  if (Token* t = find(position)) t->position.masked = 1;
}

void Statement::render(std::string* echo, std::string* marks) const {
  size_t copied = 0;
  auto mark_here = [&](size_t width) {
    if (marks->size() < echo->size()) marks->append(echo->size() - marks->size(), ' ');
    marks->append(std::max<size_t>(width, 1), '^');
  };
  for (const Token& t : tokens_) {
    size_t offset = size_t(t.position.offset);
    echo->append(text_, copied, offset - copied);
    copied = offset + size_t(t.position.length);
    std::string shown = text_.substr(offset, size_t(t.position.length));
    if (t.position.masked)
      shown = t.kind == TOKEN_QUOTED ? shown.front() + std::string(MASK) + shown.front()
                                     : std::string(MASK);
    if (t.position.flags & POSITION_ERROR) mark_here(shown.size());
    echo->append(shown);
  }
  echo->append(text_, copied, std::string::npos);
  if (end_.position.flags & POSITION_ERROR) mark_here(1);
}

std::string Statement::echo() const {
  std::string echo, marks;
  render(&echo, &marks);
  return echo;
}

std::string Statement::error_marks() const {
  std::string echo, marks;
  render(&echo, &marks);
  return marks;
}

std::vector<const Token*> Statement::marked() const {
  std::vector<const Token*> out;
  for (const Token& t : tokens_)
    if (t.position.flags & POSITION_ERROR) out.push_back(&t);
  if (end_.position.flags & POSITION_ERROR) out.push_back(&end_);
  return out;
}

}  // namespace host::tokenizer

using host::tokenizer::Statement;
using host::tokenizer::Token;
using host::tokenizer::TOKEN_STARTED;

// yxatoki(token): starts reading one option into the module's token record.
extern "C" int32_t hs_yxatoki(HostToken* token) {
  if (!token) return st::FAILED;
  *token = HostToken{};
  token->host_words[0] = TOKEN_STARTED;
  return st::OK;
}

// yxatok(parse flags, statement, token): the next token of the option.
extern "C" int32_t hs_yxatok(int32_t, void* source, HostToken* token) {
  if (!token || !source || token->host_words[0] != TOKEN_STARTED) return st::FAILED;
  Token& t = static_cast<Statement*>(source)->token_for_option(token->host_words[1]++);
  token->kind = t.kind;
  token->text = t.text.c_str();
  token->length = uint16_t(t.text.size());
  token->position = &t.position;
  return st::OK;
}

// yxatokt(token): the option has been read.
extern "C" int32_t hs_yxatokt(HostToken* token) {
  if (!token || token->host_words[0] != TOKEN_STARTED) return st::FAILED;
  token->host_words[0] = 0;
  return st::OK;
}

// yhqblot(statement, position): the token is masked wherever the statement is echoed.
extern "C" int32_t hs_yhqblot(void* echo_context, void* position) {
  if (!echo_context) return st::FAILED;
  static_cast<Statement*>(echo_context)->mask(static_cast<const host::tokenizer::Position*>(position));
  return st::OK;
}

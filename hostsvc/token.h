// The token record of the host's statement tokenizer (yxatoki, yxatok,
// yxatokt) and the one word of the host's position record that the module
// touches. The module provides the record, the host fills it; both sides use
// this one description.
#pragma once
#include <cstddef>
#include <cstdint>

// Token kinds the module tests. Other kinds (the "=" sign, the end of the
// statement) are the tokenizer's own; the module looks at their text only.
constexpr uint16_t TOKEN_WORD = 2;    // unquoted word (the host upper-cases it)
constexpr uint16_t TOKEN_QUOTED = 3;  // quoted string, delivered with its quotes
constexpr uint16_t TOKEN_NUMBER = 4;  // unsigned decimal number

struct HostToken {        // seven 32-bit words
  uint16_t kind;          // low half of word 0
  uint16_t kind_high;
  const char* text;       // NUL-terminated
  uint16_t length;        // low half of word 2
  uint16_t length_high;
  void* position;         // the host's position record of this token
  uint32_t host_words[3]; // the tokenizer's own state
};
static_assert(sizeof(HostToken) == 28);
static_assert(offsetof(HostToken, kind) == 0);
static_assert(offsetof(HostToken, text) == 4);
static_assert(offsetof(HostToken, length) == 8);
static_assert(offsetof(HostToken, position) == 12);
static_assert(offsetof(HostToken, host_words) == 16);

// A token is marked as the place of an error by setting bit 0 of the 32-bit
// word at this byte offset of its position record.
constexpr int POSITION_FLAGS_OFFSET = 48;
constexpr uint32_t POSITION_ERROR = 0x1;

inline void mark_token_in_error(const HostToken& token) {
  if (!token.position) return;
  auto* flags = reinterpret_cast<uint32_t*>(static_cast<char*>(token.position) +
                                            POSITION_FLAGS_OFFSET);
  *flags |= POSITION_ERROR;
}

// A fixed-width text field as a NUL-terminated string. A value that fills its
// field (a 128-character user id or password) has no terminator of its own,
// so formatting the field itself with %s would run on into the next field.
// The copy is wiped when it goes: it may hold a password.
#pragma once
#include <cstring>

#include "module/allocation.h"

template <size_t N>
class FieldText {
 public:
  explicit FieldText(const char (&field)[N]) {
    size_t n = strnlen(field, N);
    std::memcpy(text_, field, n);
    text_[n] = '\0';
  }
  ~FieldText() { mem::wipe(text_, sizeof text_); }
  FieldText(const FieldText&) = delete;
  FieldText& operator=(const FieldText&) = delete;
  const char* c_str() const { return text_; }

 private:
  char text_[N + 1];
};

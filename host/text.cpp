// Text services: decimal conversion, lower-casing, the 4-character form of a
// value, and encoding names.
#include <cctype>
#include <cstdint>
#include <cstring>

#include "module/status.h"

// wzrlchr(text, length, 0, &aux, &value): decimal text (blanks around it and
// a sign allowed) to a 32-bit number; 0 on success, nonzero when the text is
// not a number or does not fit. The first result word receives the number of
// characters converted.
extern "C" int32_t hs_wzrlchr(const char* text, int32_t length, int32_t, int32_t* aux,
                              int32_t* value) {
  if (aux) *aux = 0;
  if (!text || length <= 0) return st::FAILED;
  int i = 0, end = length;
  while (i < end && text[i] == ' ') ++i;
  while (end > i && (text[end - 1] == ' ' || text[end - 1] == '\0')) --end;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= end) return st::FAILED;
  int64_t n = 0;
  for (; i < end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return st::FAILED;
    n = n * 10 + (text[i] - '0');
    if (n > int64_t(INT32_MAX) + 1) return st::FAILED;
  }
  if (negative) n = -n;
  if (n > INT32_MAX || n < INT32_MIN) return st::FAILED;
  if (value) *value = int32_t(n);
  if (aux) *aux = end;
  return st::OK;
}

extern "C" void hs_wzstrlo(char* text, int32_t length) {
  for (int32_t i = 0; text && i < length; ++i)
    text[i] = char(std::tolower(static_cast<unsigned char>(text[i])));
}

// wzfmhc(&value, 4, 4, 0, buffer): the value as 4 characters of text, used
// when the system has no text for an error number: its last four decimal
// digits, zero-padded ("0104" for 104).
extern "C" int32_t hs_wzfmhc(const void* value, int32_t size, int32_t width, int32_t,
                             char* buffer) {
  if (!value || !buffer || width <= 0) return st::FAILED;
  int32_t v = 0;
  std::memcpy(&v, value, size_t(size < 4 ? size : 4));
  uint32_t u = v < 0 ? uint32_t(-(int64_t)v) : uint32_t(v);
  for (int i = width - 1; i >= 0; --i) {
    buffer[i] = char('0' + u % 10);
    u /= 10;
  }
  return st::OK;
}

namespace {

struct Encoding {
  const char* name;
  int32_t id;
};

// The encodings the host knows, under each of their names. Ids are the
// host's own; 0 is never one (it means "no encoding given").
constexpr Encoding encodings[] = {
    {"UTF-8", 1},       {"UTF8", 1},
    {"ASCII", 2},       {"US-ASCII", 2},    {"ANSI", 2},
    {"LATIN1", 3},      {"ISO-8859-1", 3},  {"ISO8859-1", 3},
    {"LATIN9", 4},      {"ISO-8859-15", 4}, {"ISO8859-15", 4},
    {"WLATIN1", 5},     {"CP1252", 5},      {"WINDOWS-1252", 5},
    {"EBCDIC", 6},      {"CP037", 6},       {"EBCDIC037", 6},
    {"EBCDIC1047", 7},  {"CP1047", 7},      {"OPEN-EDITION", 7},
    {"UTF-16LE", 8},    {"UTF16LE", 8},
    {"UTF-16BE", 9},    {"UTF16BE", 9},
    {"SHIFT-JIS", 10},  {"SJIS", 10},
};

bool same_name(const char* known, const char* name, size_t length) {
  size_t n = std::strlen(known);
  if (length != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != known[i]) return false;
  return true;
}

}  // namespace

// wztxcei(0, name, length, &id): the id of an encoding name (any case,
// trailing blanks ignored); 0 on success, nonzero for a name the host does
// not know, with the id left alone.
extern "C" int32_t hs_wztxcei(int32_t, const char* name, int32_t length, int32_t* id_out) {
  if (!name || length <= 0) return st::FAILED;
  size_t n = strnlen(name, size_t(length));
  while (n > 0 && name[n - 1] == ' ') --n;
  for (const Encoding& e : encodings) {
    if (!same_name(e.name, name, n)) continue;
    if (id_out) *id_out = e.id;
    return st::OK;
  }
  return st::FAILED;
}

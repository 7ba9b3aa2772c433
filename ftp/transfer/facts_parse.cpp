// Reading MDTM times and MLSD lines (see facts_parse.h).
#include "ftp/transfer/facts_parse.h"

namespace {

constexpr int32_t TIME_DIGITS = 14;  // YYYYMMDDHHMMSS
constexpr int64_t SECONDS_PER_DAY = 86400;
// 19 digits may not fit a signed 64-bit number: a size is at most 18.
constexpr int32_t SIZE_DIGITS_MAX = 18;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// `length` digits at `text` as a number; false for anything but digits.
bool digits(const char* text, int32_t length, int64_t* value) {
  if (length < 1) return false;
  int64_t v = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (!is_digit(text[i])) return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

// Days from 1970-01-01 to the date (proleptic Gregorian calendar).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t year_of_era = y - era * 400;
  const int64_t day_of_year = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

bool leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int64_t days_in_month(int64_t y, int64_t m) {
  static const int64_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : days[m - 1];
}

// Whether the `length` bytes at `word` are `known` (lower case), in any case.
bool same_word(const char* word, int32_t length, const char* known) {
  int32_t i = 0;
  for (; i < length && known[i]; ++i)
    if (lower(word[i]) != known[i]) return false;
  return i == length && !known[i];
}

EntryType type_of(const char* value, int32_t length) {
  if (same_word(value, length, "file")) return EntryType::File;
  if (same_word(value, length, "dir")) return EntryType::Directory;
  // cdir and pdir (the listed directory and its parent), OS.unix=symlink,
  // OS.unix=slink:..., devices: nothing to read or descend into.
  return EntryType::Other;
}

void take_fact(const char* fact, int32_t length, MlsdEntry* entry) {
  int32_t equals = 0;
  while (equals < length && fact[equals] != '=') ++equals;
  if (equals == length) return;  // a fact without a value says nothing
  const char* value = fact + equals + 1;
  const int32_t value_length = length - equals - 1;
  if (same_word(fact, equals, "type")) {
    entry->type = type_of(value, value_length);
  } else if (same_word(fact, equals, "size") || same_word(fact, equals, "sizd")) {
    entry->size_known = parse_ftp_size(value, value_length, &entry->size);
  } else if (same_word(fact, equals, "modify")) {
    entry->modified_known = parse_ftp_time(value, value_length, &entry->modified);
  }
}

}  // namespace

bool parse_ftp_size(const char* text, int32_t length, int64_t* size) {
  return length <= SIZE_DIGITS_MAX && digits(text, length, size);
}

bool parse_ftp_time(const char* text, int32_t length, int64_t* seconds) {
  if (length < TIME_DIGITS) return false;
  if (length > TIME_DIGITS) {
    if (text[TIME_DIGITS] != '.') return false;
    for (int32_t i = TIME_DIGITS + 1; i < length; ++i)
      if (!is_digit(text[i])) return false;
  }
  int64_t y, mo, d, h, mi, s;
  if (!digits(text, 4, &y) || !digits(text + 4, 2, &mo) || !digits(text + 6, 2, &d) ||
      !digits(text + 8, 2, &h) || !digits(text + 10, 2, &mi) || !digits(text + 12, 2, &s))
    return false;
  // A leap second (60) is allowed, as the time format allows it.
  if (mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo) || h > 23 || mi > 59 || s > 60)
    return false;
  *seconds = days_from_civil(y, mo, d) * SECONDS_PER_DAY + h * 3600 + mi * 60 + s;
  return true;
}

bool parse_mlsd_line(const char* line, int32_t length, MlsdEntry* entry) {
  *entry = MlsdEntry{};
  int32_t blank = 0;
  while (blank < length && line[blank] != ' ') ++blank;
  if (blank >= length - 1) return false;  // no blank, or nothing after it
  for (int32_t start = 0; start < blank;) {
    int32_t end = start;
    while (end < blank && line[end] != ';') ++end;
    take_fact(line + start, end - start, entry);
    start = end + 1;
  }
  entry->name = line + blank + 1;
  entry->name_length = length - blank - 1;
  return true;
}

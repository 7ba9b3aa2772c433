// The .netrc reader. The file is opened and closed within one lookup; the
// first entry that applies (the machine's, or a default entry) gives the
// login and password.
#include "ftp/reference/netrc.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "hostsvc/hostsvc.h"
#include "module/allocation.h"
#include "module/msgno.h"
#include "module/status.h"

extern "C" int __fxstat64(int version, int fd, struct stat64* status);
__asm__(".symver __fxstat64,__fxstat64@GLIBC_2.2");

extern "C" {
const NetrcKeyword toktab[] = {
    {"default", netrc::DEFAULT},   {"login", netrc::LOGIN},     {"password", netrc::PASSWORD},
    {"passwd", netrc::PASSWORD},   {"account", netrc::ACCOUNT}, {"machine", netrc::MACHINE},
    {"       ", netrc::END},
};
}

namespace {

constexpr char ANONYMOUS[] = "anonymous";
constexpr int PATH_SIZE = 4096;
constexpr mode_t GROUP_OR_OTHERS = 077;
constexpr int STAT_VERSION = 3;  // the i386 Linux layout of struct stat64

bool separator(int c) { return c == ' ' || c == '\t' || c == '\n' || c == ','; }

// Collects the characters of one word, keeping at most the buffer's capacity.
struct Word {
  char* buffer;
  int length = 0;
  void add(int c) {
    if (length < NETRC_WORD_SIZE - 1) buffer[length++] = char(c);
  }
};

// The token value of a word: the first keyword that equals it or begins with it.
int32_t classify(const char* word) {
  size_t n = std::strlen(word);
  for (const NetrcKeyword* k = toktab; k->keyword[0] != ' '; ++k)
    if (std::strncmp(k->keyword, word, n) == 0) return k->value;
  return netrc::WORD;
}

char* copy_text(const char* text) {
  size_t n = std::strlen(text);
  auto* copy = static_cast<char*>(mem::alloc_text(int32_t(n + 1)));
  if (copy) std::memcpy(copy, text, n + 1);
  return copy;
}

// Group or others may read or write the open file. The status comes from
// the C library's oldest 64-bit entry point, which every version since 2.2
// has, rather than fstat64, which older libraries lack as a symbol.
bool readable_by_others(FILE* file) {
  struct stat64 status;
  return __fxstat64(STAT_VERSION, fileno(file), &status) == 0 &&
         (status.st_mode & GROUP_OR_OTHERS) != 0;
}

int32_t close_with(FILE* file, int32_t status) {
  std::fclose(file);
  return status;
}

}  // namespace

extern "C" int32_t token(FILE* file, char* buffer) {
  buffer[0] = '\0';
  if (std::feof(file)) return netrc::END;
  int c;
  while ((c = std::getc(file)) != EOF && separator(c)) {
  }
  if (c == EOF) return netrc::END;
  Word word{buffer};
  if (c == '"') {
    while ((c = std::getc(file)) != EOF && c != '"') {
      if (c == '\\' && (c = std::getc(file)) == EOF) break;
      word.add(c);
    }
  } else {
    word.add(c);
    while ((c = std::getc(file)) != EOF && !separator(c)) {
      if (c == '\\' && (c = std::getc(file)) == EOF) break;
      word.add(c);
    }
  }
  buffer[word.length] = '\0';
  if (word.length == 0) return netrc::END;
  return classify(buffer);
}

extern "C" int32_t ruserpass(const char* machine, char** user, char** password, char* buffer) {
  const char* home = std::getenv("HOME");
  char path[PATH_SIZE];
  int n = std::snprintf(path, sizeof path, "%s/.netrc", home ? home : ".");
  if (n < 0 || n >= PATH_SIZE) return st::OK;
  FILE* file = std::fopen(path, "r");
  if (!file) return st::OK;

  // Find the first entry that applies. The word after "machine" is a name
  // even where it would read as a keyword (a host called "mac" or "def"),
  // and it must be the whole name asked for: an entry for a longer name
  // that merely begins with it (10.0.0.12 for 10.0.0.1) belongs to another
  // server, whose password must not go to this one. An empty machine name
  // matches no machine entry, only a default one.
  for (bool found = false; !found;) {
    switch (token(file, buffer)) {
      case netrc::END:
        return close_with(file, st::OK);
      case netrc::DEFAULT:
        found = true;
        break;
      case netrc::MACHINE:
        found = token(file, buffer) != netrc::END && machine[0] != '\0' &&
                std::strcmp(buffer, machine) == 0;
        break;
      default:
        break;
    }
  }

  // Read the entry up to the next one.
  for (;;) {
    switch (token(file, buffer)) {
      case netrc::END:
      case netrc::DEFAULT:
      case netrc::MACHINE:
        return close_with(file, st::OK);
      case netrc::LOGIN:
        if (token(file, buffer) != netrc::END) {
          char* copy = copy_text(buffer);
          if (!copy) return close_with(file, st::NO_MEMORY);
          mem::release(*user);
          *user = copy;
        }
        break;
      case netrc::PASSWORD:
        if ((!*user || std::strncmp(*user, ANONYMOUS, sizeof ANONYMOUS - 1) != 0) &&
            readable_by_others(file)) {
          ypmlog(msg::GROUP, msg::NETRC_READABLE);
          return close_with(file, st::FAILED);
        }
        if (token(file, buffer) != netrc::END && !*password) {
          *password = copy_text(buffer);
          if (!*password) return close_with(file, st::NO_MEMORY);
        }
        break;
      case netrc::ACCOUNT:
        token(file, buffer);
        break;
      default:
        ypmlog(msg::GROUP, msg::NETRC_BAD_KEYWORD);
        return close_with(file, st::FAILED);
    }
  }
}

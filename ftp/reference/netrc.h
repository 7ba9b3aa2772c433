// Credentials from the user's .netrc file: the keyword table, the word reader
// and the lookup of a machine's login and password.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "module/export.h"

constexpr int NETRC_KEYWORD_SIZE = 12;
constexpr int NETRC_WORD_SIZE = 112;  // 111 characters and a NUL

// Token values of the words of a .netrc file.
namespace netrc {
constexpr int32_t END = 0;        // end of file, or an empty quoted word
constexpr int32_t DEFAULT = 1;
constexpr int32_t LOGIN = 2;
constexpr int32_t PASSWORD = 3;   // "password" and "passwd"
constexpr int32_t ACCOUNT = 4;
constexpr int32_t WORD = 10;      // anything that is not a keyword
constexpr int32_t MACHINE = 11;
}  // namespace netrc

struct NetrcKeyword {
  char keyword[NETRC_KEYWORD_SIZE];  // NUL-padded; a blank first byte ends the table
  int32_t value;
};
static_assert(sizeof(NetrcKeyword) == 16);
static_assert(offsetof(NetrcKeyword, value) == 12);

extern "C" {
// The keyword table, in the order words are matched against it.
extern FTPAM_VISIBLE const NetrcKeyword toktab[];

// Reads the next word of `file` into `buffer` (NETRC_WORD_SIZE bytes) and
// returns its token value. A word longer than the buffer holds is cut to its
// first NETRC_WORD_SIZE - 1 characters; the rest of it is read and dropped.
int32_t token(FILE* file, char* buffer);

// Looks `machine` up in $HOME/.netrc. `user` and `password` (null on entry)
// receive copies from the host memory pool, owned by the caller, of what the
// entry gives. 0 whether or not an entry was found; 0x80000805 for a file
// others can read that holds a non-anonymous password (message 9) or an
// unknown word in the entry (message 10); 0x80000803 without memory.
int32_t ruserpass(const char* machine, char** user, char** password, char* buffer);
}

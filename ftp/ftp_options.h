// The option block of a file reference: what the options of one statement
// said. The host copies it out and back in whole, so its layout is fixed to
// the byte. Text fields hold NUL-terminated text, except that a value of the
// full field width has no terminator; readers take at most the field width.
#pragma once
#include <cstddef>
#include <cstdint>

#include "module/host_records.h"  // RECFM_* bits of recfm_bits

constexpr int32_t FTP_OPTIONS_SIZE = 1336;
constexpr int OPTION_TEXT_SHORT = 128;  // machine, password, user, host
constexpr int OPTION_TEXT_LONG = 256;   // directory, rcmd, lsfile (at most 255 characters)
constexpr int NBYTE_NAME_SIZE = 8;

// context_flags: the block belongs to the host, which releases it.
constexpr uint32_t OPTIONS_HOST_OWNED = 0x10;

// termstr
constexpr int32_t TERMSTR_CRLF = 1;
constexpr int32_t TERMSTR_LF = 2;
constexpr int32_t TERMSTR_NULL = 4;

// option_flags: one bit per flag keyword.
namespace opt {
constexpr uint32_t DEBUG = 0x0001;
constexpr uint32_t PROMPT = 0x0002;
constexpr uint32_t LS = 0x0004;
constexpr uint32_t RHELP = 0x0008;
constexpr uint32_t RSTAT = 0x0010;
constexpr uint32_t S370VS = 0x0020;
constexpr uint32_t S370V = 0x0040;
constexpr uint32_t MOD = 0x0080;
constexpr uint32_t LIST = 0x0100;
constexpr uint32_t BYPASS = 0x0200;
constexpr uint32_t MGET = 0x0400;
constexpr uint32_t MPROMPT = 0x0800;
constexpr uint32_t SAVEUSER = 0x1000;
constexpr uint32_t NOQUIT = 0x2000;
constexpr uint32_t PASV = 0x4000;    // passive data connections (EPSV, then PASV)
constexpr uint32_t TLS_EXPLICIT = 0x8000;   // TLS=EXPLICIT: AUTH TLS on the FTP port
constexpr uint32_t TLS_IMPLICIT = 0x10000;  // TLS=IMPLICIT: TLS from the first byte, port 990
constexpr uint32_t TLS_MODE = TLS_EXPLICIT | TLS_IMPLICIT;
constexpr uint32_t NOVERIFY = 0x20000;      // the server's certificate is not checked
constexpr uint32_t IPV4 = 0x40000;          // the server is reached at an IPv4 address only
constexpr uint32_t IPV6 = 0x80000;          // the server is reached at an IPv6 address only
constexpr uint32_t INET_FAMILY = IPV4 | IPV6;
constexpr uint32_t FACTS = 0x100000;     // SIZE and MDTM before a read; MLSD for MGET
constexpr uint32_t ACTIVE = 0x200000;    // active data connections whatever XXAMPASV says
constexpr uint32_t RECURSIVE = 0x400000; // MGET over MLSD descends into matched directories
}  // namespace opt

struct FtpOptions {
  uint32_t recfm_bits;       // RECFM_F, RECFM_V, RECFM_S OR-ed in, never cleared
  uint32_t rest_offset;      // REST=: the byte a read starts at; 0: the beginning
  int32_t lrecl;             // 0: not given
  int32_t blocksize;         // 0: not given
  uint32_t context_flags;    // OPTIONS_HOST_OWNED from the parse flags
  int32_t termstr;           // TERMSTR_*; 0: not given
  uint32_t option_flags;     // opt::*
  double* nbyte_handle;      // always null here; the open's copy gets the host's handle
  int32_t nbyte_value;       // -1 once NBYTE= is given
  int32_t nbyte_name_len;    // 1 to 8
  char nbyte_name[NBYTE_NAME_SIZE];  // blank-padded, no terminator
  char machine[OPTION_TEXT_SHORT];
  char password[OPTION_TEXT_SHORT];
  char user[OPTION_TEXT_SHORT];
  char host[OPTION_TEXT_SHORT];
  char directory[OPTION_TEXT_LONG];
  char rcmd[OPTION_TEXT_LONG];
  char lsfile[OPTION_TEXT_LONG];
  int32_t encoding;          // 0: not given or refused
  int32_t byte_mode;         // 1 when made; NONBYTE sets 0
};

static_assert(sizeof(FtpOptions) == FTP_OPTIONS_SIZE);
static_assert(offsetof(FtpOptions, recfm_bits) == 0);
static_assert(offsetof(FtpOptions, rest_offset) == 4);
static_assert(offsetof(FtpOptions, lrecl) == 8);
static_assert(offsetof(FtpOptions, blocksize) == 12);
static_assert(offsetof(FtpOptions, context_flags) == 16);
static_assert(offsetof(FtpOptions, termstr) == 20);
static_assert(offsetof(FtpOptions, option_flags) == 24);
static_assert(offsetof(FtpOptions, nbyte_handle) == 28);
static_assert(offsetof(FtpOptions, nbyte_value) == 32);
static_assert(offsetof(FtpOptions, nbyte_name_len) == 36);
static_assert(offsetof(FtpOptions, nbyte_name) == 40);
static_assert(offsetof(FtpOptions, machine) == 48);
static_assert(offsetof(FtpOptions, password) == 176);
static_assert(offsetof(FtpOptions, user) == 304);
static_assert(offsetof(FtpOptions, host) == 432);
static_assert(offsetof(FtpOptions, directory) == 560);
static_assert(offsetof(FtpOptions, rcmd) == 816);
static_assert(offsetof(FtpOptions, lsfile) == 1072);
static_assert(offsetof(FtpOptions, encoding) == 1328);
static_assert(offsetof(FtpOptions, byte_mode) == 1332);

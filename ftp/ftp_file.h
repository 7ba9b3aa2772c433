// The open-file block: one per open of a file reference. Open makes it
// zero-filled (every field starts at zero or null), the defaults routine
// fills what comes from the options, and the protocol engine, the record
// readers and writer, the information items and close all work on it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "module/host_records.h"  // OPEN_* and RECFM_* bits
#include "sock/sock_conn.h"

struct AssignRecord;
struct FtpOptions;

constexpr int FILE_TEXT = 128;   // host, user, password, service, data_host
constexpr int PWD_SIZE = 256;    // at most 255 characters

// data_mode: how the last data connection was made.
constexpr int32_t DATA_NONE = 0;
constexpr int32_t DATA_ACTIVE = 1;  // PORT; the server connected to us
constexpr int32_t DATA_EPSV = 2;    // passive, port from the 229 reply
constexpr int32_t DATA_PASV = 3;    // passive, port from the 227 reply

struct FtpFile {
  FtpFile* next;                 // open list of the method-instance record
  char fileref_name[8];          // translated through host table 2
  void* amec;                    // access-method entry block
  uint32_t open_mode;            // OPEN_*; MOD turns output into append
  uint32_t recfm;                // RECFM_* bits
  int32_t blksize;               // 0: 32768 for the data connection
  int32_t lrecl;                 // default 256
  int32_t lrecl_out;             // pad length of F writes, data record size
  int32_t maxrec;                // lrecl, or lrecl - 1 with carriage control
  void* work_file;               // work utility file (positioning only)
  uint32_t opts;                 // opt::* bits (ftp/ftp_options.h)
  int32_t termstr;               // TERMSTR_* of the data connection
  int32_t reply_code;            // last reply on the control connection
  char host[FILE_TEXT];
  char user[FILE_TEXT];
  char password[FILE_TEXT];
  char service[FILE_TEXT];       // "FTP"
  char data_host[FILE_TEXT];     // host-name buffer of the data connection
  char* cwd;                     // directory text inside an option block, or null
  char* rcmd;                    // raw command inside an option block, or null
  char pwd[PWD_SIZE];            // directory from the PWD reply
  char* info_scratch;            // 100-byte area of the information items
  double* nbyte_handle;          // value of the NBYTE host variable, or null
  int32_t nbyte_value;           // -1 when NBYTE was given
  int32_t nbyte_name_len;        // 1 to 8
  char nbyte_name[8];            // blank-padded
  AssignRecord* assign_record;
  FtpOptions* open_options;      // given with this open, or null
  FtpOptions* assign_options;    // of the assign
  void* reader_vector;           // record-access vector, null until made
  sock_conn* ctl;                // control connection
  sock_conn* data;               // data connection, null until set up
  int32_t spool_pos;             // positioning readers' work-file state
  int32_t spool_note;
  int32_t spool_end;
  int32_t repositioned;          // spooled readers: a work-file failure that lost data, or 0
  uint32_t owner_key;            // sixth word of the host's file-reference record
  void* host_fileref;            // the host's file-reference record
  char* lsfile;                  // LSFILE text inside an option block, or null
  void* mget_current;            // MGET name entry being transferred
  void* mget_pool;               // pool of the MGET name entries
  void* mget_list;               // first MGET name entry
  char* remote_name;             // NUL-terminated copy
  int32_t remote_name_len;
  uint32_t open_options_flags;   // context_flags of open_options, or 0
  int32_t encoding;
  int32_t byte_mode;             // 1 unless NONBYTE was given
  int32_t data_mode;             // DATA_* of the last data connection set up
  uint32_t rest_offset;          // REST= of the options: the byte a read starts at
  uint32_t facts_known;          // FACT_* bits of the two fields below
  int64_t remote_size;           // SIZE of the file being read
  int64_t remote_modified;       // MDTM of it, seconds since 1970 UTC
};

static_assert(sizeof(FtpFile) == 1096);
static_assert(offsetof(FtpFile, next) == 0);
static_assert(offsetof(FtpFile, fileref_name) == 4);
static_assert(offsetof(FtpFile, amec) == 12);
static_assert(offsetof(FtpFile, open_mode) == 16);
static_assert(offsetof(FtpFile, recfm) == 20);
static_assert(offsetof(FtpFile, blksize) == 24);
static_assert(offsetof(FtpFile, lrecl) == 28);
static_assert(offsetof(FtpFile, lrecl_out) == 32);
static_assert(offsetof(FtpFile, maxrec) == 36);
static_assert(offsetof(FtpFile, work_file) == 40);
static_assert(offsetof(FtpFile, opts) == 44);
static_assert(offsetof(FtpFile, termstr) == 48);
static_assert(offsetof(FtpFile, reply_code) == 52);
static_assert(offsetof(FtpFile, host) == 56);
static_assert(offsetof(FtpFile, user) == 184);
static_assert(offsetof(FtpFile, password) == 312);
static_assert(offsetof(FtpFile, service) == 440);
static_assert(offsetof(FtpFile, data_host) == 568);
static_assert(offsetof(FtpFile, cwd) == 696);
static_assert(offsetof(FtpFile, rcmd) == 700);
static_assert(offsetof(FtpFile, pwd) == 704);
static_assert(offsetof(FtpFile, info_scratch) == 960);
static_assert(offsetof(FtpFile, nbyte_handle) == 964);
static_assert(offsetof(FtpFile, nbyte_value) == 968);
static_assert(offsetof(FtpFile, nbyte_name_len) == 972);
static_assert(offsetof(FtpFile, nbyte_name) == 976);
static_assert(offsetof(FtpFile, assign_record) == 984);
static_assert(offsetof(FtpFile, open_options) == 988);
static_assert(offsetof(FtpFile, assign_options) == 992);
static_assert(offsetof(FtpFile, reader_vector) == 996);
static_assert(offsetof(FtpFile, ctl) == 1000);
static_assert(offsetof(FtpFile, data) == 1004);
static_assert(offsetof(FtpFile, spool_pos) == 1008);
static_assert(offsetof(FtpFile, spool_note) == 1012);
static_assert(offsetof(FtpFile, spool_end) == 1016);
static_assert(offsetof(FtpFile, repositioned) == 1020);
static_assert(offsetof(FtpFile, owner_key) == 1024);
static_assert(offsetof(FtpFile, host_fileref) == 1028);
static_assert(offsetof(FtpFile, lsfile) == 1032);
static_assert(offsetof(FtpFile, mget_current) == 1036);
static_assert(offsetof(FtpFile, mget_pool) == 1040);
static_assert(offsetof(FtpFile, mget_list) == 1044);
static_assert(offsetof(FtpFile, remote_name) == 1048);
static_assert(offsetof(FtpFile, remote_name_len) == 1052);
static_assert(offsetof(FtpFile, open_options_flags) == 1056);
static_assert(offsetof(FtpFile, encoding) == 1060);
static_assert(offsetof(FtpFile, byte_mode) == 1064);
static_assert(offsetof(FtpFile, data_mode) == 1068);
static_assert(offsetof(FtpFile, rest_offset) == 1072);
static_assert(offsetof(FtpFile, facts_known) == 1076);
static_assert(offsetof(FtpFile, remote_size) == 1080);
static_assert(offsetof(FtpFile, remote_modified) == 1088);

// The module's own state behind the host's access-method entry block: the
// method-instance record (from the first assign to the last deassign) and one
// assign record per file reference, plus the lookups that open, close and the
// information entries share.
#pragma once
#include <cstddef>
#include <cstdint>

#include "module/export.h"
#include "module/records.h"
#include "sock/sock_conn.h"

struct FtpFile;
struct FtpOptions;

constexpr int BREAK_TEXT_SIZE = 50;  // at most 49 characters and a NUL
constexpr int SAVED_TEXT_SIZE = 128;

struct AssignRecord;

struct MethodInstance {
  AssignRecord* assigns;           // newest first, linked through `next`
  int32_t break_word;              // -1 while open waits; the break handler sets 0 or 1
  BreakRoutine break_handler;      // do_break
  char break_question[BREAK_TEXT_SIZE];  // message 35
  char break_title[BREAK_TEXT_SIZE];     // message 36
  FtpFile* open_files;             // linked through FtpFile::next
};
static_assert(sizeof(MethodInstance) == 116);
static_assert(offsetof(MethodInstance, break_word) == 4);
static_assert(offsetof(MethodInstance, break_handler) == 8);
static_assert(offsetof(MethodInstance, break_question) == 12);
static_assert(offsetof(MethodInstance, break_title) == 62);
static_assert(offsetof(MethodInstance, open_files) == 112);

struct AssignRecord {
  AssignRecord* next;
  char name[8];                    // translated through host table 2
  AccessMethodEntry* amec;
  char* remote_name;               // zero-filled copy of length + 1 bytes, or null
  int32_t remote_name_len;
  FtpOptions* options;             // assign-time options, or null
  int32_t open_count;
  char saved_user[SAVED_TEXT_SIZE];      // SAVEUSER: kept after a good login
  char saved_password[SAVED_TEXT_SIZE];
  uint32_t options_flags;          // context_flags of `options`, or 0
};
static_assert(sizeof(AssignRecord) == 292);
static_assert(offsetof(AssignRecord, name) == 4);
static_assert(offsetof(AssignRecord, amec) == 12);
static_assert(offsetof(AssignRecord, remote_name) == 16);
static_assert(offsetof(AssignRecord, remote_name_len) == 20);
static_assert(offsetof(AssignRecord, options) == 24);
static_assert(offsetof(AssignRecord, open_count) == 28);
static_assert(offsetof(AssignRecord, saved_user) == 32);
static_assert(offsetof(AssignRecord, saved_password) == 160);
static_assert(offsetof(AssignRecord, options_flags) == 288);

// The break word while no break is pending (an open waits); the break
// handler sets 0 (declined) or 1 (confirmed).
constexpr int32_t NO_BREAK_PENDING = -1;

// File-reference names are compared after translation through this host table.
constexpr int32_t NAME_TABLE = 2;

// The longest remote name yxfpnam hands back (its buffer holds one more byte).
constexpr int32_t PHYSICAL_NAME_MAX = 1024;

extern "C" {
// The break handler that open gives the connections as their wait context.
int32_t do_break();

// The entry block the host keeps under this access method's name (yxam2am).
// The host's status; `*entry` may still be null when it is 0.
int32_t find_method_entry(void* context, AccessMethodEntry** entry);

// Finds the assign record of `name`. `entry` (optional) supplies the entry
// block or, when it holds null, receives the one found by name; `record`
// (optional) receives the record. 0, or 0x80001004.
int32_t yxfzl2l(const char* name, AccessMethodEntry** entry, AssignRecord** record,
                void* context);

// Merges the open-time options over the assign-time options
// (`file->assign_options`) and the host's defaults into `file`, and prepares
// its control connection. Always 0. Exported so that the host's tests can
// check the merge before an open exists to drive it.
FTPAM_VISIBLE int32_t yxfzdfa(FtpFile* file, FtpOptions* open_options);
}

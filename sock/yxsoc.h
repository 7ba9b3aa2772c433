// Entry points of the socket layer that the FTP layer and other host
// components call. Each takes a sock_conn block (sock/sock_conn.h) and
// returns a status of module/status.h.
//
//   yxsinit   reads host options XXAMWAIT / XXAMTPRT, fills the break routine
//   yxsterm   does nothing (kept for the caller's symmetry)
//   yxscopn   TCP client;  yxscuop local-socket client;  yxssopn TCP server
//   yxscsoc   bound data socket;  yxslisn listen on it;  yxsacc accept
//   yxsread   next record into `record` / `record_length`
//   yxswrit   sends `staging` (plus the terminator in terminated-line mode)
//   yxsclos   flushes, closes both sockets, releases the block's buffers
//   yxsbrk    ends the breakable wait in progress (called by break routines)
//   yxtzsnb   waits until a descriptor is readable, through the host's waits
#pragma once
#include <cstdint>

#include "module/export.h"
#include "sock/sock_conn.h"

extern "C" {
FTPAM_VISIBLE int32_t yxsinit(BreakRoutine* routine, BreakRoutine* break_routine_out,
                              void* fileref, int32_t* wait_value_out, int32_t* data_port_out);
FTPAM_VISIBLE int32_t yxsterm(BreakRoutine value);
FTPAM_VISIBLE int32_t yxscopn(sock_conn* block);
FTPAM_VISIBLE int32_t yxscuop(sock_conn* block, const char* path, int32_t path_length);
FTPAM_VISIBLE int32_t yxssopn(sock_conn* block);
FTPAM_VISIBLE int32_t yxscsoc(sock_conn* block);
FTPAM_VISIBLE int32_t yxslisn(sock_conn* block);
FTPAM_VISIBLE int32_t yxsacc(sock_conn* block);
FTPAM_VISIBLE int32_t yxsread(sock_conn* block);
FTPAM_VISIBLE int32_t yxswrit(sock_conn* block);
FTPAM_VISIBLE int32_t yxsclos(sock_conn* block);
FTPAM_VISIBLE void yxsbrk(void);
FTPAM_VISIBLE int32_t yxtzsnb(int32_t descriptor_count, uint32_t* bitmap, int32_t* break_word,
                              BreakRoutine break_routine, int32_t wait_value);
}

// The FTP protocol engine: the command exchange on the control connection,
// the data connection set-up, the operations an open starts, MGET, and the
// record readers and writer of an open file. Internal to the module.
#pragma once
#include <cstdint>

#include "ftp/ftp_file.h"
#include "module/failure.h"

extern "C" {
// ---- Command exchange (ftp/control/command_exchange.cpp) ----
// Logs a command under DEBUG (message 13), a password masked.
void sendreply(int32_t length, const char* command, uint32_t opts);
// The code of the reply whose first line was just read into ctl's record;
// reads the further lines of a multi-line reply. 0 when the line has no code.
int32_t putreply(int32_t length, const char* line, uint32_t opts, sock_conn* ctl);
// Hand message 17, or message N, to the host as the reason of a failure.
void codeerr(void);
void puterr(int32_t message_number);
}

// The code in the first three characters of a reply line, or 0 when they are
// not a number.
int32_t reply_code_of(const char* line, int32_t length);
// Reads one reply line into ctl's record. A line longer than the record buffer
// is cut and the rest of it skipped; its code is still in its first three
// characters, so the cut line counts as read.
int32_t read_reply_line(sock_conn* ctl);
// The same, where the server must answer: a hang-up of the control
// connection is a failure that says so, not an end of data.
int32_t read_reply(sock_conn* ctl);
// A server that goes on sending reply lines without a final reply is given
// up: the control connection reads nothing more (its rest would be taken for
// the replies to later commands) and a failure text says how many lines
// came. Returns FAILED.
int32_t give_up_on_replies(sock_conn* ctl, int32_t lines);

// The reply line just read on the control connection, cut to fit a message
// insert.
struct ReplyText {
  char text[SOCK_TEXT];
  explicit ReplyText(const sock_conn* ctl);
};

// Formats a command into the control connection's staging buffer with the
// host formatter (`format` takes at most one text argument), logs it, sends
// it, reads the first reply line and hands it to putreply. Returns a write or
// read failure as is; otherwise 0 with the code in file->reply_code.
int32_t command_exchange(FtpFile* file, const char* format, const char* argument = nullptr);
// The same for a command the caller has already formatted into the staging
// buffer (`length` bytes).
int32_t exchange(FtpFile* file, int32_t length);
// Formats, logs and sends a command without reading a reply (HELP, STAT and
// raw commands, whose reply lines the reply-line reader returns as records).
int32_t command_send(FtpFile* file, const char* format, const char* argument = nullptr);
// A command that would not reach the server as formatted -- it holds a line
// break, which would smuggle further commands onto the connection, or it
// does not fit the staging buffer -- is refused with a failure text; true
// when the `length` bytes in staging can be sent.
bool command_is_sendable(FtpFile* file, int32_t length);
// FEAT: whether the server lists `feature` (upper case) among its
// features; a server without FEAT lists none. Every reply line is logged
// under DEBUG.
int32_t ask_feature(FtpFile* file, const char* feature, bool* listed);
// Reads reply lines on the control connection until one of class 2 or higher
// (or a read failure); the code goes into reply_code. Returns the status of
// the last read; FAILED for a line without a code, and for a server that
// sends preliminary replies without end.
int32_t read_final_reply(FtpFile* file);
// Counts one more preliminary reply a wait has taken (in *replies); false,
// with the connection given up, once there have been too many.
bool preliminary_reply_allowed(FtpFile* file, int32_t* replies);

// ---- FTP over TLS (ftp/control/tls.cpp) ----
// Settles the TLS an open asks for: the TLS= option, else the host option
// XXAMFTPS (EXPLICIT, IMPLICIT or NO), into file->opts; implicit TLS takes
// port 990 unless a port was named. Fails for an XXAMFTPS value it does not
// know, and when TLS is asked for and the TLS library cannot be had.
int32_t choose_tls(FtpFile* file);
// Starts TLS on the connected control connection: AUTH TLS first for
// explicit TLS, then the handshake with the server's certificate checked
// (against the host option XXAMCAFL's file, else the system's store) unless
// the NOVERIFY option or the host option XXAMVRFY=NO says not to, which is
// logged as a warning each time.
int32_t start_tls(FtpFile* file);
// PBSZ 0 and PROT P, both of which must be accepted.
int32_t protect_transfers(FtpFile* file);

extern "C" {
// ---- Data connection and transfers (ftp/transfer/data_connection.cpp,
//      ftp/transfer/transfer_commands.cpp) ----
int32_t initconn(FtpFile* file);
int32_t doretr(FtpFile* file);
int32_t dostor(FtpFile* file);
int32_t dols(FtpFile* file);
// ---- Reply-only operations (ftp/control/reply_commands.cpp) ----
int32_t dohelp(FtpFile* file);
int32_t dostat(FtpFile* file);
int32_t dorcmd(FtpFile* file);
// ---- MGET (ftp/transfer/mget.cpp) ----
int32_t domget(FtpFile* file);
int32_t check_mget(FtpFile* file);
// ---- Open and close (ftp/control/open.cpp, ftp/control/close.cpp) ----
// Abandons a file whose open failed after it entered the open list: no
// protocol exchange, both connections closed, everything released.
void term(FtpFile* file);
}

// Whether the server refused, or never confirmed, an MGET file whose data
// was read before the last one: close then fails.
bool mget_file_failed(const FtpFile* file);

struct MethodInstance;
// The method-instance record behind the module's entry block, or null.
MethodInstance* method_instance(void* context);
// The last step of close, term and owner termination, once the connections
// are closed: lowers the open count, gives back the open options (with
// `options_context` for the host), releases every block hanging off the
// file and the file itself, and takes it out of the open list. Returns the
// status of giving back the options (0 when there was nothing to give back).
int32_t release_open_file(MethodInstance* instance, FtpFile* file, void* options_context);
// Releases the file's own copies of its directory, raw command and listing
// pattern (made by open once the options are merged).
void release_option_texts(FtpFile* file);

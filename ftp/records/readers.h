// The record readers of an open file and what they share: handing a record
// back to the host in place, with its carriage-control character split off.
#pragma once
#include <cstdint>

#include "ftp/ftp_file.h"
#include "module/host_records.h"
#include "module/status.h"

// Hands the record now in `conn`'s record buffer back to the host: a pointer
// into the buffer (one byte on with carriage control), the data length cut to
// maxrec, and the carriage-control character or a blank. `status` is that of
// the read that filled the buffer (0 for data taken from the work file); the
// result is 0x1009 when the data was longer than maxrec, else `status`.
// An empty record in a format with carriage control has no carriage-control
// byte: it comes back empty, with a blank.
int32_t hand_back(const FtpFile* file, const sock_conn* conn, int32_t status, char** record_out,
                  int32_t* length, char* cc_out);

// The same for the n bytes of a record at `data`, which the connection owns
// until its next read (its record buffer, or its read buffer when the record
// lay whole there).
inline int32_t hand_back_at(const FtpFile* file, char* data, int32_t n, int32_t status,
                            char** record_out, int32_t* length, char* cc_out) {
  char cc = ' ';
  if ((file->recfm & RECFM_CC) && n > 0) {
    cc = data[0];
    ++data;
    --n;
  }
  if (n > file->maxrec) {
    n = file->maxrec;
    status = st::TRUNCATED;
  }
  *record_out = data;
  *length = n;
  if (cc_out) *cc_out = cc;
  return status;
}

// The bytes a byte-count read asks for, into `want`: the value of the NBYTE
// variable when the open found one (truncated toward zero; exactly 0 means the
// data connection's record_size), else `asked`. A negative count means whatever
// one network read delivers. A count beyond record_size is refused: message
// 25 and 0x8000101A.
int32_t bytes_wanted(const FtpFile* file, int32_t asked, int32_t* want);

// The data stream has ended (the read of `data` said end of data): MGET's
// next file, or the end. A stream that ends inside a fixed-length, S370V or
// S370VS record -- its length or descriptor word promised more -- is broken,
// not finished: that record is lost, so the read fails (message 215) instead
// of ending quietly.
int32_t end_of_stream(FtpFile* file, const sock_conn* data);
// A text stream whose last line has no terminator: that line is a record
// like the others (text files often lack a final line end), handed back
// before the end is reported.
bool last_line_unterminated(const sock_conn* data);

// Whether a status means end of data (bits 22 to 30 are not looked at).
inline bool is_end_of_data(int32_t status) { return st::condition_of(status) == st::END_OF_DATA; }

extern "C" {
// The readers the record-access vector can name (yxfread is in ftp/methods.h).
int32_t yxfrd(FtpFile* file, char** record_out, int32_t* length, char* cc_out);
int32_t yxfrds(FtpFile* file, char** record_out, int32_t* length, char* cc_out);
int32_t yxfrdr(FtpFile* file, char** record_out, int32_t* length, char* cc_out);
int32_t yxfrdrs(FtpFile* file, char** record_out, int32_t* length, char* cc_out);
// The record reader of yxfread for a host that asked for records in place
// (host option XXAMINPL): a record that lies whole in the read buffer comes
// back from there, not copied into the record buffer.
int32_t yxfrdp(FtpFile* file, char** record_out, int32_t* length, char* cc_out);
}

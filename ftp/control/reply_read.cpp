// The reply-line reader: returns the reply of HELP, STAT or a raw command
// line by line as records, and end of data after the reply's last line.
#include "ftp/protocol.h"
#include "ftp/records/readers.h"
#include "module/status.h"
#include "sock/yxsoc.h"

extern "C" int32_t yxfrd(FtpFile* file, char** record_out, int32_t* length, char* cc_out) {
  if (!file) return st::NO_OPEN_FILE;
  *record_out = nullptr;
  *length = 0;
  sock_conn* ctl = file->ctl;
  int32_t status = yxsread(ctl);
  if (is_end_of_data(status)) return st::condition_of(status);
  if (st::is_failure(status)) return status;

  const char* line = ctl->record;
  int32_t code = reply_code_of(line, ctl->record_length);
  if (file->reply_code == 0) file->reply_code = code;
  // The last line repeats the first line's code followed by a blank (a line
  // of the code alone ends the reply too); the next read then finds end of
  // data without asking the server.
  bool last = code != 0 && code == file->reply_code &&
              (ctl->record_length == 3 || line[3] == ' ');
  if (last) ctl->at_eof = 1;

  // Reply lines have no carriage control.
  int32_t n = ctl->record_length;
  if (n > file->maxrec) {
    n = file->maxrec;
    status = st::TRUNCATED;
  }
  *record_out = ctl->record;
  *length = n;
  if (cc_out) *cc_out = ' ';
  return status;
}

// Writing one record to the data connection (yxfwrit): the record is laid
// out in the connection's staging buffer -- carriage-control byte first when
// the format has one, fixed records padded with blanks -- and the socket
// layer adds the terminator of the line format and sends it. The S370
// formats go out without descriptor words. Where the record fits the free end
// of the connection's write buffer it is laid out there instead of in
// staging, so that its bytes are copied once.
#include <cstring>

#include "ftp/ftp_file.h"
#include "ftp/methods.h"
#include "module/status.h"
#include "sock/in_place.h"
#include "sock/yxsoc.h"
#include "util/util.h"

extern "C" int32_t yxfwrit(FtpFile* file, const char* data, int32_t length, int32_t cc) {
  if (!file) return st::NO_OPEN_FILE;
  sock_conn* conn = file->data;
  if (!conn || length < 0 || (!data && length > 0)) return st::FAILED;
  bool cut = false;
  if (length > file->maxrec) {
    length = file->maxrec > 0 ? file->maxrec : 0;
    cut = true;
  }
  const bool with_cc = file->recfm & RECFM_CC;
  const int32_t cc_length = with_cc ? 1 : 0;
  const int32_t n = (file->recfm & RECFM_F) ? file->lrecl_out : length + cc_length;
  conn->staging_length = n;
  // A connection that cannot hold the record (or does not write) is left to
  // the socket layer to refuse, before anything is copied.
  if (!conn->staging || n > conn->record_size) return yxswrit(conn);
  char* place = sock::write_place(conn, n);
  char* record = place + cc_length;
  if (file->recfm & RECFM_F) vzmp(data, length, record, n - cc_length);
  else if (length > 0) std::memcpy(record, data, size_t(length));
  if (with_cc) place[0] = char(cc & 0xFF);
  int32_t status = sock::send_placed(conn, place, n);
  if (status != st::OK) return status;
  return cut ? st::TRUNCATED : st::OK;
}

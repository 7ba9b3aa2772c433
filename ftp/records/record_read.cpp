// The readers of the data connection: yxfread takes one record of the
// format in force into the record buffer, yxfrds one piece of a byte stream
// (S format). At the end of one file's data both ask MGET whether another
// file follows. For a host that asked for it, yxfrdp hands a record that lies
// whole in the read buffer back from there, valid like any record until the
// next read: the copy into the record buffer is the largest part of a short
// record's cost.
#include <cstdint>

#include "ftp/methods.h"
#include "ftp/protocol.h"
#include "ftp/records/readers.h"
#include "module/status.h"
#include "sock/in_place.h"
#include "sock/yxsoc.h"

namespace {

// One read on the data connection and what follows from it.
int32_t read_data(FtpFile* file, char** record_out, int32_t* length, char* cc_out) {
  int32_t status = yxsread(file->data);
  if (is_end_of_data(status)) {
    if (!last_line_unterminated(file->data)) return end_of_stream(file, file->data);
    status = st::OK;  // handed back; the next read reports the end
  }
  if (st::is_failure(status)) return status;
  return hand_back(file, file->data, status, record_out, length, cc_out);
}

}  // namespace

extern "C" {

// The record-access vector gives an open without a data connection (HELP,
// STAT, a raw command) the reply-line reader; called for such an open anyway,
// this reader has no data to give.
int32_t yxfread(FtpFile* file, char** record_out, int32_t* length, char* cc_out) {
  if (!file) return st::NO_OPEN_FILE;
  *record_out = nullptr;
  *length = 0;
  if (!file->data) return st::END_OF_DATA;
  return read_data(file, record_out, length, cc_out);
}

// The record is not in the record buffer: the block's record_length says 0.
int32_t yxfrdp(FtpFile* file, char** record_out, int32_t* length, char* cc_out) {
  char* record;
  int32_t n;
  if (file && file->data && sock::record_in_place(file->data, &record, &n)) {
    file->data->record_length = 0;
    return hand_back_at(file, record, n, st::OK, record_out, length, cc_out);
  }
  return yxfread(file, record_out, length, cc_out);
}

// *length carries the bytes wanted when no NBYTE variable is in force; a
// negative count takes what one network read delivers.
int32_t yxfrds(FtpFile* file, char** record_out, int32_t* length, char* cc_out) {
  if (!file) return st::NO_OPEN_FILE;
  *record_out = nullptr;
  sock_conn* data = file->data;
  if (!data) return st::END_OF_DATA;
  int32_t wanted = 0;
  int32_t status = bytes_wanted(file, *length, &wanted);
  data->byte_count = wanted;
  if (status != st::OK) return status;
  return read_data(file, record_out, length, cc_out);
}

}  // extern "C"

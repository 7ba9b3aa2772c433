// How many bytes a byte-count read asks for: the NBYTE host variable when the
// open found one, else the count the caller passed. Shared by the byte-count
// reader and the spooled byte-count reader.
#include "ftp/records/readers.h"
#include "hostsvc/hostsvc.h"
#include "module/msgno.h"
#include "module/status.h"

namespace {
// The NBYTE variable's value truncated toward zero; exactly 0 means a whole
// record. A value beyond the 32-bit range (or not a number) counts as too
// large, so the read is refused rather than guessed.
int32_t count_of(double value, int32_t record_size) {
  if (value == 0) return record_size;
  if (value > -2147483649.0 && value < 2147483648.0) return int32_t(value);
  return value < 0 ? -1 : INT32_MAX;
}
}  // namespace

int32_t bytes_wanted(const FtpFile* file, int32_t asked, int32_t* want) {
  int32_t record_size = file->data->record_size;
  int32_t n = file->nbyte_handle ? count_of(*file->nbyte_handle, record_size) : asked;
  *want = n;
  if (n > record_size) {
    ypmlog(msg::GROUP, msg::BYTE_COUNT_TOO_LARGE, n, record_size);
    return st::BYTE_COUNT_TOO_LARGE;
  }
  return st::OK;
}

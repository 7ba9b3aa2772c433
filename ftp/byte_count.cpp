// How many bytes a byte-count read asks for: the NBYTE host variable when the
// open found one, else the count the caller passed. Shared by the byte-count
// reader and the spooled byte-count reader.
#include "ftp/readers.h"
#include "hostsvc/hostsvc.h"
#include "module/msgno.h"
#include "module/status.h"

namespace {
// The NBYTE value truncated toward zero. A value no 32-bit count can hold (or
// not a number) is taken as the largest count, which the size check refuses.
int32_t count_of(double value) {
  if (value > -2147483649.0 && value < 2147483648.0) return int32_t(value);
  return value < 0 ? INT32_MIN : INT32_MAX;
}
}  // namespace

int32_t bytes_wanted(const FtpFile* file, int32_t asked, int32_t* want) {
  int32_t record_size = file->data->record_size;
  int32_t n = asked;
  if (file->nbyte_handle) {
    n = count_of(*file->nbyte_handle);
    if (n == 0) n = record_size;
  }
  *want = n;
  if (n > record_size) {
    ypmlog(msg::GROUP, msg::BYTE_COUNT_TOO_LARGE, n, record_size);
    return st::BYTE_COUNT_TOO_LARGE;
  }
  return st::OK;
}

// Handing a record back to the host in place, and the end of a data stream.
#include "ftp/protocol.h"
#include "ftp/records/readers.h"
#include "module/host_records.h"
#include "module/msgno.h"
#include "module/status.h"

int32_t hand_back(const FtpFile* file, const sock_conn* conn, int32_t status, char** record_out,
                  int32_t* length, char* cc_out) {
  return hand_back_at(file, conn->record, conn->record_length, status, record_out, length, cc_out);
}

namespace {
// The read mode in force: the lowest bit set.
int32_t mode_of(const sock_conn* data) { return data->read_mode & -data->read_mode; }
}  // namespace

bool last_line_unterminated(const sock_conn* data) {
  return data->record_length > 0 && mode_of(data) == READ_TERMINATED;
}

int32_t end_of_stream(FtpFile* file, const sock_conn* data) {
  const int32_t mode = mode_of(data);
  if (data->record_length > 0 &&
      (mode == READ_FIXED || mode == READ_S370V || mode == READ_S370VS)) {
    report_message(msg::RECORD_CUT_OFF);
    return st::FAILED;
  }
  return check_mget(file);
}

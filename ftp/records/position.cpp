// Note and point, and the conversions between a position record and the
// number the host shows and stores. A position is the pair the spooled
// readers keep: the work-file token of the next entry and the logical byte
// position of the next record. Nothing here touches the work file; the next
// spooled read acts on the counters that point leaves behind.
#include "ftp/ftp_file.h"
#include "ftp/methods.h"
#include "module/host_records.h"
#include "module/status.h"

namespace {
// A position number is the token plus one. The numbers taken back in are
// those whose whole part is a token from 0 to INT32_MAX - 1.
constexpr double FIRST_NUMBER = 1.0;
constexpr double PAST_LAST_NUMBER = 2147483648.0;

Position* record_of(void* position) { return static_cast<Position*>(position); }
}  // namespace

extern "C" int32_t yxfnote(FtpFile* file, void* position) {
  if (!file) return st::NO_OPEN_FILE;
  if (!position) return st::FAILED;
  Position* p = record_of(position);
  p->token = file->spool_note;
  p->byte_position = file->spool_pos;
  p->valid = 1;
  return st::OK;
}

extern "C" int32_t yxfpnt(FtpFile* file, void* position) {
  if (!file) return st::NO_OPEN_FILE;
  if (!position) return st::FAILED;
  const Position* p = record_of(position);
  if (p->valid) {
    file->spool_note = p->token;
    file->spool_pos = p->byte_position;
  } else {  // the start of the file
    file->spool_note = 0;
    file->spool_pos = 0;
  }
  return st::OK;
}

extern "C" int32_t yxfp2b(FtpFile* file, double* number_out, void* position) {
  if (!file) return st::NO_OPEN_FILE;
  if (!position || !number_out) return st::FAILED;
  *number_out = double(record_of(position)->token) + 1.0;
  return st::OK;
}

// The byte position cannot be recovered from a number; it becomes 0. A number
// that names no token (below 1, beyond the largest token, not a number) is
// refused rather than turned into a token the work file would misread.
extern "C" int32_t yxfb2p(FtpFile* file, double number, void* position) {
  if (!file) return st::NO_OPEN_FILE;
  if (!position) return st::FAILED;
  if (!(number >= FIRST_NUMBER && number < PAST_LAST_NUMBER)) return st::FAILED;
  Position* p = record_of(position);
  p->token = int32_t(number) - 1;  // truncated toward zero
  p->byte_position = 0;
  p->valid = 1;
  return st::OK;
}

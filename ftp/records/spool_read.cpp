// The spooled readers of an open for positioning. The network stream can only
// be read forwards, so everything read is also kept in the work file, and
// after the host has pointed back the records come from there until the
// reader has caught up with the network again.
//
// Work file contents:
//   record reader      one entry per record: its length (32-bit, native
//                      order), then its bytes as they stood in the record
//                      buffer (carriage-control byte included)
//   byte-count reader  the raw bytes of the stream; tokens are byte offsets
//
// spool_note is the token of the next entry (the next byte) to take, spool_pos
// the logical byte position of the next record, spool_end the record bytes
// spooled so far.
//
// A read whose record came from the network but could not be kept in the
// work file has lost that record: the stream and the work file no longer
// agree. The failure is kept in the block's spare spool word (`repositioned`)
// and every later read of the open returns it, rather than hand back records
// out of order. Failures that lose nothing (reading the work file back,
// pointing in it) are returned and leave the counters as they were.
#include <algorithm>

#include "ftp/protocol.h"
#include "ftp/records/readers.h"
#include "hostsvc/hostsvc.h"
#include "module/status.h"
#include "sock/yxsoc.h"

namespace {

constexpr int32_t WORK_FILE_END = -1;  // xcpoint token of the end of the file

int32_t keep_failure(FtpFile* file, int32_t status) {
  file->repositioned = status;
  return status;
}

// The token of the end of the work file; the file is left positioned there.
int32_t work_file_end(FtpFile* file, int32_t* end) {
  int32_t status = xcpoint(file->work_file, WORK_FILE_END);
  return status != st::OK ? status : xcnote(file->work_file, end);
}

// Reads `length` bytes at `token` into `buffer`; `next` receives the token
// after them.
int32_t read_back(FtpFile* file, int32_t token, void* buffer, int32_t length, int32_t* next) {
  int32_t status = xcpoint(file->work_file, token);
  if (status == st::OK) status = xcread(file->work_file, buffer, length);
  if (status == st::OK) status = xcnote(file->work_file, next);
  return status;
}

// The record reader's next record from the network, appended to the work
// file (which is positioned at its end).
int32_t record_from_network(FtpFile* file, sock_conn* data, char** record_out, int32_t* length,
                            char* cc_out) {
  int32_t read = yxsread(data);
  if (is_end_of_data(read)) {
    if (!last_line_unterminated(data)) return end_of_stream(file, data);
    read = st::OK;  // handed back; the next read reports the end
  }
  if (st::is_failure(read)) return read;
  int32_t n = data->record_length;
  int32_t next = 0;
  int32_t status = xcwrite(file->work_file, &n, sizeof n);
  if (status == st::OK) status = xcwrite(file->work_file, data->record, n);
  if (status == st::OK) status = xcnote(file->work_file, &next);
  if (status != st::OK) return keep_failure(file, status);
  file->spool_note = next;
  file->spool_end += n;
  file->spool_pos = file->spool_end;
  return hand_back(file, data, read, record_out, length, cc_out);
}

// The record reader's next entry replayed from the work file. A length word
// that does not fit the record buffer is not an entry this reader wrote (the
// position does not name one): refused.
int32_t record_from_work_file(FtpFile* file, sock_conn* data, char** record_out, int32_t* length,
                              char* cc_out) {
  void* work = file->work_file;
  int32_t n = 0;
  int32_t next = 0;
  int32_t status = xcpoint(work, file->spool_note);
  if (status == st::OK) status = xcread(work, &n, sizeof n);
  if (status == st::OK && (n < 0 || n > data->record_size)) status = st::FAILED;
  if (status == st::OK) status = xcread(work, data->record, n);
  if (status == st::OK) status = xcnote(work, &next);
  if (status != st::OK) return status;
  data->record_length = n;
  file->spool_note = next;
  file->spool_pos += n;
  return hand_back(file, data, st::OK, record_out, length, cc_out);
}

// Appends pieces of the stream to the work file until it holds `needed`
// bytes or the stream ends (`ended`). Each piece asks for what is still
// missing, at most record_size bytes, or with `one_read` for whatever one
// network read delivers.
int32_t spool_bytes(FtpFile* file, sock_conn* data, int64_t needed, bool one_read, bool* ended) {
  *ended = false;
  while (file->spool_end < needed) {
    data->byte_count =
        one_read ? -1 : int32_t(std::min<int64_t>(needed - file->spool_end, data->record_size));
    int32_t read = yxsread(data);
    if (is_end_of_data(read)) {
      *ended = true;
      return st::OK;
    }
    if (st::is_failure(read)) return read;
    int32_t status = xcpoint(file->work_file, WORK_FILE_END);
    if (status == st::OK) status = xcwrite(file->work_file, data->record, data->record_length);
    if (status != st::OK) return keep_failure(file, status);
    file->spool_end += data->record_length;
  }
  return st::OK;
}

}  // namespace

// Replays from the work file while the next entry is not its end, then
// reads on from the network. (Comparing tokens rather than byte counts keeps
// empty records that follow a position from being skipped.)
extern "C" int32_t yxfrdr(FtpFile* file, char** record_out, int32_t* length, char* cc_out) {
  if (!file) return st::NO_OPEN_FILE;
  *record_out = nullptr;
  *length = 0;
  sock_conn* data = file->data;
  if (!data) return st::END_OF_DATA;  // never routed here without one
  if (file->repositioned != st::OK) return file->repositioned;
  int32_t end = 0;
  int32_t status = work_file_end(file, &end);
  if (status != st::OK) return status;
  if (file->spool_note == end) return record_from_network(file, data, record_out, length, cc_out);
  return record_from_work_file(file, data, record_out, length, cc_out);
}

// The next `want` bytes from spool_note: what the work file lacks is first
// read from the network and appended. A negative count hands back what the
// work file holds from spool_note (at most record_size bytes) or, when it
// holds nothing more, whatever one network read delivers. When the stream
// ends before `want` bytes, the bytes there are come back as a short final
// piece and the next read reports the end.
extern "C" int32_t yxfrdrs(FtpFile* file, char** record_out, int32_t* length, char* cc_out) {
  if (!file) return st::NO_OPEN_FILE;
  *record_out = nullptr;
  sock_conn* data = file->data;
  if (!data) return st::END_OF_DATA;  // never routed here without one
  if (file->repositioned != st::OK) return file->repositioned;
  int32_t want = 0;
  int32_t status = bytes_wanted(file, *length, &want);
  if (status != st::OK) return status;

  int64_t needed = int64_t(file->spool_note) + (want < 0 ? 1 : want);
  bool ended = false;
  status = spool_bytes(file, data, needed, want < 0, &ended);
  data->byte_count = want;
  if (status != st::OK) return status;
  int64_t held = int64_t(file->spool_end) - file->spool_note;
  if (ended && held <= 0) return check_mget(file);
  int32_t n = int32_t(std::min<int64_t>(held, want < 0 ? data->record_size : want));

  int32_t next = 0;
  status = read_back(file, file->spool_note, data->record, n, &next);
  if (status != st::OK) return status;
  file->spool_note = next;
  file->spool_pos += n;
  data->record_length = n;
  return hand_back(file, data, st::OK, record_out, length, cc_out);
}

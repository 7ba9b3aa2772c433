// What a read learns before it starts: with the FACTS option the file's size
// (SIZE) and time of last change (MDTM), both optional -- a server without
// the command, or one that will not say (500, 502, 550), changes nothing --
// and, with REST=, the byte the transfer starts at. yxffact gives the host
// what was learnt.
#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/protocol.h"
#include "ftp/transfer/facts_parse.h"
#include "ftp/transfer/transfer.h"
#include "module/export.h"
#include "module/msgno.h"
#include "module/status.h"
#include "util/util.h"

namespace {

constexpr int32_t FACT_REPLY = 213;
constexpr int32_t REST_ACCEPTED = 350;
constexpr int32_t REPLY_TEXT_OFFSET = 4;  // after the code and its blank
constexpr int32_t OFFSET_TEXT = 12;       // a 32-bit number and its NUL

// The text of the reply line just read, after its code; trailing blanks cut.
const char* reply_text(const sock_conn* ctl, int32_t* length) {
  int32_t n = ctl->record_length - REPLY_TEXT_OFFSET;
  while (n > 0 && ctl->record[REPLY_TEXT_OFFSET + n - 1] == ' ') --n;
  *length = n > 0 ? n : 0;
  return ctl->record + REPLY_TEXT_OFFSET;
}

// One of SIZE and MDTM. Only a 213 with a readable value counts; any other
// answer leaves the fact unknown. A reply without a code fails, as it does
// for every command.
int32_t ask_fact(FtpFile* file, const char* format, uint32_t fact) {
  int32_t status = command_exchange(file, format, file->remote_name);
  if (status != st::OK) return status;
  if (file->reply_code == 0) return st::FAILED;
  if (file->reply_code != FACT_REPLY) return st::OK;
  int32_t length = 0;
  const char* text = reply_text(file->ctl, &length);
  const bool read = fact == FACT_SIZE ? parse_ftp_size(text, length, &file->remote_size)
                                      : parse_ftp_time(text, length, &file->remote_modified);
  if (read) file->facts_known |= fact;
  return st::OK;
}

void decimal(uint32_t value, char (&text)[OFFSET_TEXT]) {
  char reversed[OFFSET_TEXT];
  int32_t n = 0;
  do reversed[n++] = char('0' + value % 10); while ((value /= 10) != 0);
  for (int32_t i = 0; i < n; ++i) text[i] = reversed[n - 1 - i];
  text[n] = '\0';
}

// REST with the offset; the server must answer 350, or the read fails
// saying that the server would not start there (rather than sending the
// file from its beginning, which would be taken for its rest).
int32_t restart_at(FtpFile* file) {
  char offset[OFFSET_TEXT];
  decimal(file->rest_offset, offset);
  int32_t status = command_exchange(file, "REST %s", offset);
  if (status != st::OK) return status;
  if (file->reply_code == REST_ACCEPTED) return st::OK;
  if (file->reply_code == 0) return st::FAILED;
  const sock_conn* ctl = file->ctl;
  char reply[FAILURE_TEXT_MAX + 1];
  const int32_t n = min(ctl->record_length, FAILURE_TEXT_MAX);
  std::memcpy(reply, ctl->record, size_t(n > 0 ? n : 0));
  reply[n > 0 ? n : 0] = '\0';
  return report_message(msg::REST_REFUSED, offset, reply);
}

}  // namespace

int32_t prepare_transfer(FtpFile* file) {
  // A fact an MLSD listing brought is not asked again.
  if (file->opts & opt::FACTS) {
    int32_t status = st::OK;
    if (!(file->facts_known & FACT_SIZE)) status = ask_fact(file, "SIZE %s", FACT_SIZE);
    if (status == st::OK && !(file->facts_known & FACT_MODIFIED))
      status = ask_fact(file, "MDTM %s", FACT_MODIFIED);
    if (status != st::OK) return status;
  }
  if (!file->rest_offset) return st::OK;
  // An offset counts the bytes the server holds: in TYPE A they are not the
  // bytes that arrive; within MGET it would apply to every file; a write
  // that goes on from the server's end appends (APPE).
  const bool single_read = (file->open_mode & OPEN_INPUT) && !file->mget_current;
  if (!binary_type(file) || !single_read) return report_message(msg::REST_NOT_USABLE);
  return restart_at(file);
}

FTPAM_EXPORT int32_t yxffact(FtpFile* file, FileFacts* facts) {
  if (!file) return st::NO_OPEN_FILE;
  *facts = FileFacts{};
  facts->known = file->facts_known;
  if (file->facts_known & FACT_SIZE) facts->size = file->remote_size;
  if (file->facts_known & FACT_MODIFIED) facts->modified = file->remote_modified;
  return st::OK;
}

// MGET: one open reads several remote files one after the other. The names
// come from NLST with the remote name as pattern (MGET option), or from an
// explicit list written as the remote name in parentheses. domget builds the
// list and starts the first file; check_mget, called by the readers at the
// end of each file's data, reads that file's final reply and starts the next.
// With MPROMPT the user is asked before each file. A server that refuses
// NLST with a pattern (many match no patterns) is asked for the directory,
// and the names are matched here with shell rules. With the FACTS option a
// server whose FEAT lists MLST is asked with MLSD instead: only files are
// read (directories, links and special entries are not), their sizes and
// times come with the listing, and with RECURSIVE matched directories are
// read too, file by file, at most MLSD_DEPTH_MAX levels down.
#include <cstddef>
#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/protocol.h"
#include "ftp/records/readers.h"
#include "ftp/transfer/facts_parse.h"
#include "ftp/transfer/glob.h"
#include "ftp/transfer/transfer.h"
#include "hostsvc/hostsvc.h"
#include "module/allocation.h"
#include "module/msgno.h"
#include "module/status.h"
#include "sock/yxsoc.h"
#include "util/util.h"

namespace {

constexpr int32_t NAME_MAX_LENGTH = 1024;
constexpr int32_t NAME_BUFFER = NAME_MAX_LENGTH + 1;
// A listing line holds a name and perhaps the CR of a CR LF line end.
constexpr int32_t LISTING_RECORD = NAME_MAX_LENGTH + 1;
// An MLSD line holds the facts before the name.
constexpr int32_t MLSD_RECORD = LISTING_RECORD + 1024;
constexpr int32_t MLSD_DEPTH_MAX = 8;
constexpr int32_t POOL_SIZE = 1024;
constexpr int32_t PROMPT_TEXT = 200;

// One name; the entry is as long as its name needs.
struct MgetEntry {
  MgetEntry* next;
  int32_t length;               // at most NAME_MAX_LENGTH
  int32_t failed;               // the server refused the file or never confirmed it
  uint32_t facts_known;         // FACT_* of the two below, from an MLSD listing
  int64_t size;
  int64_t modified;
  char name[1];                 // `length` bytes and a NUL
};
static_assert(offsetof(MgetEntry, next) == 0);
static_assert(offsetof(MgetEntry, length) == 4);
static_assert(offsetof(MgetEntry, failed) == 8);
static_assert(offsetof(MgetEntry, facts_known) == 12);
static_assert(offsetof(MgetEntry, size) == 16);
static_assert(offsetof(MgetEntry, modified) == 24);
static_assert(offsetof(MgetEntry, name) == 32);

MgetEntry* entry(void* p) { return static_cast<MgetEntry*>(p); }

// The entry's name becomes the remote name of the open, its facts the
// file's.
void offer(FtpFile* file, const MgetEntry* e) {
  std::memcpy(file->remote_name, e->name, size_t(e->length) + 1);
  file->remote_name_len = e->length;
  file->facts_known = e->facts_known;
  file->remote_size = e->size;
  file->remote_modified = e->modified;
}

int32_t refuse_name(FtpFile* file) {
  wrmksub(2, &file->remote_name_len, 4, file->remote_name, file->remote_name_len);
  return st::FILE_REFUSED;
}

int32_t name_too_long() {
  report_message(msg::MGET_NAME_TOO_LONG, NAME_MAX_LENGTH);
  return st::FAILED;
}

// An entry for the name of `length` bytes, from the open's MGET pool (made
// at the first), linked to nothing yet.
int32_t new_entry(FtpFile* file, const char* text, int32_t length, MgetEntry** made) {
  if (length > NAME_MAX_LENGTH) return name_too_long();
  if (!file->mget_pool) {
    file->mget_pool = ympoolc(0, POOL_SIZE, 0);
    if (!file->mget_pool) return st::NO_MEMORY;
  }
  const int32_t n = length < 0 ? 0 : length;
  auto* e = entry(vmalloc_handler(file->mget_pool, int32_t(offsetof(MgetEntry, name)) + n + 1, 0));
  if (!e) return st::NO_MEMORY;
  std::memcpy(e->name, text, size_t(n));
  e->name[n] = '\0';
  e->length = n;
  e->failed = 0;
  e->facts_known = 0;
  e->next = nullptr;
  *made = e;
  return st::OK;
}

// While the name listing's data connection is set up, the open file takes
// the listing's shape instead of its own: text (TYPE A) in lines ended by LF,
// each up to LISTING_RECORD bytes, whatever the record format, terminator and
// record length of the files themselves.
class ListingShape {
 public:
  explicit ListingShape(FtpFile* file, int32_t record = LISTING_RECORD)
      : file_(file), recfm_(file->recfm), opts_(file->opts), termstr_(file->termstr),
        lrecl_out_(file->lrecl_out) {
    file->recfm = RECFM_V;
    file->opts &= ~(opt::S370V | opt::S370VS);
    file->termstr = TERMSTR_LF;
    file->lrecl_out = record;
  }
  ~ListingShape() {
    file_->recfm = recfm_;
    file_->opts = opts_;
    file_->termstr = termstr_;
    file_->lrecl_out = lrecl_out_;
  }
  ListingShape(const ListingShape&) = delete;
  ListingShape& operator=(const ListingShape&) = delete;

 private:
  FtpFile* file_;
  uint32_t recfm_, opts_;
  int32_t termstr_, lrecl_out_;
};

// The names of a listing that is on its way, each handed to `take` (name,
// length), one a line: a trailing CR is not part of a name, an empty line
// names no file, and a last name without a line end still counts. A line too
// long to be a name fails the MGET rather than end the list.
template <typename Take>
int32_t read_names(FtpFile* file, Take take) {
  sock_conn* data = file->data;
  int32_t status = st::OK;
  for (bool last = false; !last && status == st::OK;) {
    int32_t read = yxsread(data);
    last = is_end_of_data(read);
    if (read == st::TRUNCATED) status = name_too_long();
    else if (!last && read != st::OK) status = read;
    if (status != st::OK) break;
    int32_t n = data->record_length;
    if (n > 0 && data->record[n - 1] == '\r') --n;
    if (n > 0) status = take(data->record, n);
  }
  yxsclos(data);
  const int32_t reply = read_final_reply(file);
  if (status != st::OK) return status;
  if (reply != st::OK) return reply;
  // A listing the server reports as failed may lack names: the MGET does not
  // go on with part of the list.
  if (file->reply_code >= 400) {
    sock_conn* ctl = file->ctl;
    file->reply_code = putreply(ctl->record_length, ctl->record, opt::DEBUG, ctl);
    puterr(msg::TRANSFER_REFUSED);
    return st::FILE_REFUSED;
  }
  return st::OK;
}

// Where the last part of a name (or pattern) starts: after its last '/'.
int32_t last_part(const char* text, int32_t length) {
  while (length > 0 && text[length - 1] != '/') --length;
  return length;
}

bool dot_or_dot_dot(const char* name, int32_t length) {
  return (length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.');
}

// Whether a name the server listed for `pattern` is one the pattern asks for:
// the server's matching is not taken on trust. With wildcards the name's last
// part must match the pattern's last part (a hidden name only a part that
// starts with '.') and a directory before it the pattern's. Without them the
// pattern names a file, or a directory whose files are listed: the name is
// the pattern, or a name that is not hidden, bare or in that directory.
bool asked_for(const char* pattern, int32_t pattern_length, const char* name, int32_t length) {
  const int32_t pattern_base = last_part(pattern, pattern_length);
  const int32_t base = last_part(name, length);
  const char* last = name + base;
  const int32_t last_length = length - base;
  if (last_length == 0 || dot_or_dot_dot(last, last_length)) return false;
  if (glob_has_wildcards(pattern, pattern_length)) {
    const int32_t pattern_folder = pattern_base > 0 ? pattern_base - 1 : 0;
    const bool folder_matches = base == 0 || glob_match(pattern, pattern_folder, name, base - 1);
    return folder_matches &&
           glob_match(pattern + pattern_base, pattern_length - pattern_base, last, last_length);
  }
  if (length == pattern_length && std::memcmp(name, pattern, size_t(length)) == 0) return true;
  int32_t folder = pattern_length;
  while (folder > 1 && pattern[folder - 1] == '/') --folder;
  const bool in_folder =
      base == 0 || (base - 1 == folder && std::memcmp(name, pattern, size_t(folder)) == 0);
  return in_folder && last[0] != '.';
}

// The server refused NLST with the pattern: the whole directory (the part of
// the pattern before its last '/') is listed and its names matched with the
// rest of the pattern. "." and ".." never match; a directory the server puts
// before each name is taken off and the pattern's own put back.
int32_t match_in_directory(FtpFile* file, void** tail) {
  const char* pattern = file->remote_name;
  const int32_t folder = last_part(pattern, file->remote_name_len);
  char directory[NAME_BUFFER];
  if (folder > NAME_MAX_LENGTH) return st::FILE_REFUSED;
  std::memcpy(directory, pattern, size_t(folder));
  directory[folder > 1 ? folder - 1 : folder] = '\0';  // "dir" of "dir/x*", "/" of "/x*"
  int32_t status;
  {
    ListingShape shape(file);
    status = folder ? start_transfer(file, "NLST %s", directory, msg::STORE_REFUSED)
                    : start_transfer(file, "NLST", nullptr, msg::STORE_REFUSED);
  }
  if (status != st::OK) return status;
  const char* name_pattern = pattern + folder;
  const int32_t name_pattern_length = file->remote_name_len - folder;
  return read_names(file, [&](const char* text, int32_t n) {
    const int32_t base = last_part(text, n);
    const char* name = text + base;
    const int32_t length = n - base;
    if (dot_or_dot_dot(name, length)) return st::OK;
    if (!glob_match(name_pattern, name_pattern_length, name, length)) return st::OK;
    if (folder + length > NAME_MAX_LENGTH) return name_too_long();
    char full[NAME_BUFFER];
    std::memcpy(full, pattern, size_t(folder));
    std::memcpy(full + folder, name, size_t(length));
    return domget_build_name(full, folder + length, file, tail);
  });
}

// The files of directory `prefix` (`prefix_length` bytes: empty for the
// current directory, else the directory and its '/') whose names match
// `pattern`, as MLSD lists them, each with its facts. A matched directory is
// read in turn when RECURSIVE asks for it, or when the pattern names it
// alone (as NLST lists a directory's files), `depth` levels down.
int32_t list_mlsd(FtpFile* file, const char* prefix, int32_t prefix_length,
                  const char* pattern, int32_t pattern_length, int32_t depth, void** tail) {
  char directory[NAME_BUFFER];
  std::memcpy(directory, prefix, size_t(prefix_length));
  // "dir" of "dir/", "/" of "/"
  directory[prefix_length > 1 ? prefix_length - 1 : prefix_length] = '\0';
  int32_t status;
  {
    ListingShape shape(file, MLSD_RECORD);
    status = prefix_length ? start_transfer(file, "MLSD %s", directory, msg::STORE_REFUSED)
                           : start_transfer(file, "MLSD", nullptr, msg::STORE_REFUSED);
  }
  if (status != st::OK) return status;
  const bool descend = (file->opts & opt::RECURSIVE) ||
                       (depth == 0 && !glob_has_wildcards(pattern, pattern_length));
  MgetEntry* directories = nullptr;  // to read once this listing has ended
  MgetEntry** directories_tail = &directories;
  status = read_names(file, [&](const char* text, int32_t n) {
    MlsdEntry listed;
    if (!parse_mlsd_line(text, n, &listed)) return st::OK;
    const char* name = listed.name;
    const int32_t length = listed.name_length;
    // A name with a '/' is not one entry of this directory.
    if (std::memchr(name, '/', size_t(length)) || dot_or_dot_dot(name, length)) return st::OK;
    if (!glob_match(pattern, pattern_length, name, length)) return st::OK;
    if (listed.type != EntryType::File && !(listed.type == EntryType::Directory && descend))
      return st::OK;
    if (prefix_length + length + 1 > NAME_MAX_LENGTH) return name_too_long();
    char full[NAME_BUFFER];
    std::memcpy(full, prefix, size_t(prefix_length));
    std::memcpy(full + prefix_length, name, size_t(length));
    if (listed.type == EntryType::Directory) {
      full[prefix_length + length] = '/';
      MgetEntry* d = nullptr;
      int32_t made = new_entry(file, full, prefix_length + length + 1, &d);
      if (made == st::OK) *directories_tail = d, directories_tail = &d->next;
      return made;
    }
    int32_t made = domget_build_name(full, prefix_length + length, file, tail);
    if (made != st::OK) return made;
    MgetEntry* e = entry(*tail);
    e->size = listed.size;
    e->modified = listed.modified;
    e->facts_known = (listed.size_known ? FACT_SIZE : 0) | (listed.modified_known ? FACT_MODIFIED : 0);
    return st::OK;
  });
  for (MgetEntry* d = directories; d && status == st::OK; d = d->next) {
    if (depth + 1 > MLSD_DEPTH_MAX) {
      ypmlog(msg::GROUP, msg::MGET_TOO_DEEP, d->name, MLSD_DEPTH_MAX);
      continue;
    }
    status = list_mlsd(file, d->name, d->length, "*", 1, depth + 1, tail);
  }
  return status;
}

// The names the server lists for the pattern; when it refuses a pattern,
// the names of the directory that match it.
int32_t list_pattern(FtpFile* file, void** tail) {
  if (file->opts & opt::FACTS) {
    bool mlsd = false;
    int32_t status = ask_feature(file, "MLST", &mlsd);
    if (status != st::OK) return status;
    if (mlsd) {
      const int32_t folder = last_part(file->remote_name, file->remote_name_len);
      return list_mlsd(file, file->remote_name, folder, file->remote_name + folder,
                       file->remote_name_len - folder, 0, tail);
    }
  }
  const bool wildcards = glob_has_wildcards(file->remote_name, file->remote_name_len);
  int32_t status;
  {
    ListingShape shape(file);
    status = start_transfer(file, "NLST %s", file->remote_name, msg::STORE_REFUSED, wildcards);
  }
  if (wildcards && status == st::FILE_REFUSED) {
    if (file->reply_code >= 500) return match_in_directory(file, tail);
    puterr(msg::STORE_REFUSED);  // busy (4xx): the refusal as it stands
    return st::FAILED;
  }
  if (status != st::OK) return status;
  return read_names(file, [&](const char* text, int32_t n) {
    if (n > NAME_MAX_LENGTH) return name_too_long();
    if (asked_for(file->remote_name, file->remote_name_len, text, n))
      return domget_build_name(text, n, file, tail);
    char name[NAME_BUFFER];
    std::memcpy(name, text, size_t(n));
    name[n] = '\0';
    ypmlog(msg::GROUP, msg::MGET_NAME_UNASKED, name, file->remote_name);
    return st::OK;
  });
}

// "(a 'b c' \"d\")": names separated by blanks, quoted names may hold blanks.
// A list without its closing parenthesis keeps its last name whole.
int32_t list_explicit(FtpFile* file, void** tail) {
  const char* text = file->remote_name;
  const int32_t end = file->remote_name_len;
  for (int32_t p = 0;;) {
    ++p;
    while (p < end && text[p] == ' ') ++p;
    if (p >= end || text[p] == ')') return st::OK;
    const char* name = text + p;
    int32_t n;
    if (text[p] == '\'' || text[p] == '"') {
      ++name;
      auto* close = static_cast<const char*>(std::memchr(name, text[p], size_t(end - p - 1)));
      if (!close) return st::UNTERMINATED_QUOTE;
      n = int32_t(close - name);
      if (n == 0) {
        report_message(msg::MGET_EMPTY_NAME);
        return st::NO_REMOTE_NAME;
      }
      p = int32_t(close - text) + 1;
    } else if (auto* blank = static_cast<const char*>(std::memchr(name, ' ', size_t(end - p)))) {
      n = int32_t(blank - name);
      p = int32_t(blank - text);
    } else {
      n = end - p - (text[end - 1] == ')' ? 1 : 0);
      p = end;
    }
    int32_t status = domget_build_name(name, n, file, tail);
    if (status != st::OK) return status;
  }
}

}  // namespace

extern "C" {

int32_t domget_build_name(const char* text, int32_t length, FtpFile* file, void** tail) {
  MgetEntry* e = nullptr;
  int32_t status = new_entry(file, text, length, &e);
  if (status != st::OK) return status;
  if (*tail) entry(*tail)->next = e;
  else file->mget_list = e;
  *tail = e;
  return st::OK;
}

int32_t domget_prompt(FtpFile* file) {
  if (!(file->opts & opt::MPROMPT)) return 1;
  char text[PROMPT_TEXT + 1];
  int32_t n = ypmstr(text, PROMPT_TEXT, msg::GROUP, msg::MGET_PROMPT, file->remote_name);
  text[n < 0 ? 0 : min(n, PROMPT_TEXT)] = '\0';
  int32_t answer = 0;
  wurrqst(0, text, "FTP ACCESS METHOD", nullptr, &answer, 0);
  return answer == 0 ? 1 : 0;
}

int32_t domget(FtpFile* file) {
  if (file->remote_name_len == 0) {
    ypmlog(msg::GROUP, msg::NO_OUTPUT_NAME);
    return st::NO_REMOTE_NAME;
  }
  void* tail = nullptr;
  int32_t status = file->remote_name[0] == '(' ? list_explicit(file, &tail)
                                               : list_pattern(file, &tail);
  if (status != st::OK) return status;

  if (file->mget_list) {
    mem::release(file->remote_name);
    file->remote_name_len = 0;
    file->remote_name = static_cast<char*>(mem::alloc_text(NAME_BUFFER));
    if (!file->remote_name) return st::NO_MEMORY;
    file->remote_name_len = NAME_BUFFER - 1;
  }
  for (MgetEntry* e = entry(file->mget_list); e; e = e->next) {
    offer(file, e);
    if (!domget_prompt(file)) continue;
    file->mget_current = e;
    status = doretr(file);
    return is_end_of_data(status) ? st::OK : status;
  }
  return refuse_name(file);
}

// When the next file cannot be started, its refusal was the last reply the
// server will send: the control connection is marked at its end so that
// close sends QUIT at once instead of waiting for a final reply that never
// comes. Once the list has run out, further reads end at once without
// asking about the skipped files again.
int32_t check_mget(FtpFile* file) {
  MgetEntry* current = entry(file->mget_current);
  if (!current) return st::END_OF_DATA;
  MgetEntry* next = current->next;
  for (; next; next = next->next) {
    offer(file, next);
    file->mget_current = next;
    if (domget_prompt(file)) break;
  }
  if (!next) return st::END_OF_DATA;

  // A file the server refused at its end, or never confirmed, may be
  // incomplete: the reply is shown, the next file is read all the same, and
  // close fails for it.
  if (sock_conn* data = file->data) {
    yxsclos(data);
    sock_conn* ctl = file->ctl;
    int32_t status = read_final_reply(file);
    if (status == st::OK && file->reply_code / 100 > 3)
      file->reply_code = putreply(ctl->record_length, ctl->record, opt::DEBUG, ctl);
    if (status != st::OK || file->reply_code / 100 > 3) current->failed = 1;
  }
  int32_t status = doretr(file);
  if (status == st::OK) return st::NEXT_CONNECTION;
  if (file->data) yxsclos(file->data);
  file->ctl->at_eof = 1;
  return status;
}

}  // extern "C"

bool mget_file_failed(const FtpFile* file) {
  for (const MgetEntry* e = entry(file->mget_list); e; e = e->next)
    if (e->failed) return true;
  return false;
}

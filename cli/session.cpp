#include "cli/session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>

#include "cli/exit_status.h"
#include "cli/interrupt.h"
#include "cli/option_syntax.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/references.h"
#include "module/status.h"

namespace cli {

namespace {
std::vector<std::string> g_refusals;

void show_refusals() {
  for (const auto& line : g_refusals) std::fprintf(stderr, "ftpam: %s\n", shown(line).c_str());
  g_refusals.clear();
}

// Prints what the host tells the user about a refused statement.
void report(const host::references::Result& r) {
  std::fprintf(stderr, "ftpam: %s\n", r.message.c_str());
  if (!r.marks.empty()) std::fprintf(stderr, "  %s\n  %s\n", r.echo.c_str(), r.marks.c_str());
}

// The name an MGET file is saved under: the last part of the server's name,
// never a path that leaves the folder.
std::string saved_name(const std::string& remote) {
  std::string name = remote.substr(remote.find_last_of('/') == std::string::npos
                                       ? 0
                                       : remote.find_last_of('/') + 1);
  if (name.empty() || name == "." || name == "..") return "";
  return name;
}

// The path below the save folder that an MGET file of a recursive read is
// saved under: its name less the pattern's folder, every part a plain name
// ("" when one is empty, "." or "..").
std::string saved_path(const std::string& remote, const std::string& pattern_folder) {
  if (remote.compare(0, pattern_folder.size(), pattern_folder) != 0) return "";
  const std::string path = remote.substr(pattern_folder.size());
  for (size_t start = 0;;) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return "";
    if (end == path.size()) return path;
    start = end + 1;
  }
}

// Creates FOLDER/PATH for a saved file, making the folders of PATH that are
// missing; -1 with errno set. Neither a folder nor the file is ever opened
// through a symbolic link, and an existing file is replaced only when
// forced: it is removed first, so that a link is replaced and not followed.
int create_saved(const std::string& folder, const std::string& path, bool force) {
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  size_t start = 0;
  for (size_t slash; dir >= 0 && (slash = path.find('/', start)) != std::string::npos;
       start = slash + 1) {
    const std::string part = path.substr(start, slash - start);
    if (::mkdirat(dir, part.c_str(), 0777) != 0 && errno != EEXIST) break;
    const int next = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(dir);
    dir = next;
  }
  if (dir < 0 || path.find('/', start) != std::string::npos) {
    const int error = errno;
    if (dir >= 0) ::close(dir);
    errno = error;
    return -1;
  }
  const char* name = path.c_str() + start;
  int fd = ::openat(dir, name, flags, 0666);
  if (fd < 0 && errno == EEXIST && force && ::unlinkat(dir, name, 0) == 0)
    fd = ::openat(dir, name, flags, 0666);
  const int error = errno;
  ::close(dir);
  errno = error;
  return fd;
}

// The records cut to the record length, and the first of them.
struct CutRecords {
  long count = 0;
  std::string first;
  void note(int32_t status, long record, const std::string& where = "") {
    if (status != st::TRUNCATED || count++ > 0) return;
    first = "record " + std::to_string(record) + (where.empty() ? "" : " of " + where);
  }
  void report(int32_t lrecl) const {
    if (count) report_cut_records(count, lrecl, first);
  }
};

std::string current_remote_name(host::files::OpenFile* file) {
  std::vector<std::pair<std::string, std::string>> items;
  if (file->items(&items) != st::OK) return "";
  for (const auto& [name, value] : items)
    if (name == "Filename") return value;
  return "";
}
}  // namespace

bool set_file_time(const std::string& path, long long modified) {
  const timespec times[2] = {{time_t(modified), 0}, {time_t(modified), 0}};
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

void report(int32_t status, const std::string& doing) {
  show_refusals();
  classify_failure(doing);
  std::string text = shown(host::messages::describe_failure(status));
  if (doing.empty()) std::fprintf(stderr, "ftpam: %s\n", text.c_str());
  else std::fprintf(stderr, "ftpam: %s: %s\n", doing.c_str(), text.c_str());
}

void note_refusal(const std::string& line) { g_refusals.push_back(line); }

void report_cut_records(long count, int32_t lrecl, const std::string& first) {
  std::fprintf(stderr,
               "ftpam: %ld record%s longer than the record length (%d) and cut; the first was "
               "%s\n",
               count, count == 1 ? " was" : "s were", lrecl, first.c_str());
  note_exit(EXIT_DATA_CHANGED);
}

std::unique_ptr<Session> Session::assign(const std::string& name, const std::string& remote,
                                         const std::vector<std::string>& options) {
  auto r = host::references::assign(name, remote, statement(options),
                                    host::references::PARSE_INPUT);
  if (!r.ok()) {
    report(r);
    note_exit(EXIT_USAGE);
    return nullptr;
  }
  static uint32_t sessions = 0;
  std::unique_ptr<Session> s(new Session);
  s->owner_key_ = ++sessions;
  s->name_ = r.name;
  s->assigned_ = true;
  return s;
}

Session::~Session() {
  if (file_ && file_->is_open()) close();
  if (assigned_) {
    auto r = host::references::deassign(name_);
    if (!r.ok()) report(r);
  }
}

bool Session::open(int32_t mode, const std::vector<std::string>& open_options, int32_t recfm,
                   const std::string& what) {
  host::files::OpenParams params;
  params.mode = mode;
  params.recfm = recfm;
  params.owner_key = owner_key_;
  if (!open_options.empty()) {
    auto r = host::references::parse_options(statement(open_options),
                                             host::references::PARSE_INPUT, &open_options_);
    if (!r.ok()) {
      report(r);
      note_exit(EXIT_USAGE);
      return false;
    }
    params.options = open_options_;
  }
  host::messages::clear_log();
  at_end_ = false;
  reading_ = (mode & OPEN_INPUT) != 0;
  int32_t status = host::files::OpenFile::open(name_, params, &file_);
  if (status != st::OK) {
    report(status, what);
    return false;
  }
  return true;
}

bool Session::read_all(const ReadOptions& options, RecordWriter* out) {
  if (!options.save_folder.empty()) return read_to_folder(options, out);
  Progress progress(true);
  progress.set_total(options.total, options.already);
  int32_t piece = options.piece ? options.piece : file_->request().lrecl;
  const long limit = options.limit < 0 ? LONG_MAX : options.limit;
  const bool check_reply = options.check_reply;
  host::files::OpenFile* file = file_.get();
  long n = 0;
  CutRecords cut;
  bool ok = true;
  while (n < limit) {
    host::files::Record record;
    int32_t status = file->read(&record, piece);
    if (status != st::OK) {
      if (status == st::NEXT_CONNECTION) continue;  // the next MGET file follows
      if (st::condition_of(status) == st::END_OF_DATA) {
        at_end_ = true;
        break;
      }
      if (st::is_failure(status)) {
        progress.clear();
        report(status, "read");
        return false;
      }
      cut.note(status, n + 1);
    }
    if (check_reply && n == 0 && record.length > 0 && (record.data[0] == '4' || record.data[0] == '5'))
      ok = false;  // the server refused the command
    if (!out->write(record.view(), record.cc)) break;
    ++n;
    progress.update(out->records(), out->bytes());
  }
  if (!out->flush()) {
    progress.clear();
    std::fprintf(stderr, "ftpam: %s\n", out->error().c_str());
    note_exit(EXIT_LOCAL_WRITE);
    return false;
  }
  progress.finish(out->records(), out->bytes(), options.summary);
  cut.report(file->request().lrecl);
  if (!ok) note_exit(EXIT_FAILED);
  return ok;
}

// Each MGET file goes to a file of its own, named as the server names it;
// the names saved are listed on `names`. A file that cannot be saved -- its
// name names no file, the folder holds that name already, or an earlier
// file of the run was saved under it -- is read past, reported and counted:
// a run never writes through a link, never replaces a file it found (unless
// forced) and never one it saved itself.
bool Session::read_to_folder(const ReadOptions& options, RecordWriter* names) {
  const int32_t piece = options.piece ? options.piece : file_->request().lrecl;
  std::unique_ptr<RecordWriter> out;         // none while a file is read past
  std::map<std::string, std::string> saved;  // the names saved, and the remote names they hold
  std::string remote, path;
  long not_saved = 0, record = 0;
  FileFacts facts{};
  CutRecords cut;
  auto finish_file = [&]() {
    if (!out) return true;
    bool done = out->close();
    if (!done) {
      std::fprintf(stderr, "ftpam: %s\n", shown(out->error()).c_str());
      note_exit(EXIT_LOCAL_WRITE);
    } else if (options.keep_time && (facts.known & FACT_MODIFIED) &&
               !set_file_time(path, facts.modified)) {
      std::fprintf(stderr, "ftpam: %s: cannot set its time: %s\n", shown(path).c_str(),
                   std::strerror(errno));
    }
    out.reset();
    return done;
  };
  // False when nothing more can be saved.
  auto start_file = [&]() {
    remote = current_remote_name(file_.get());
    record = 0;
    file_->facts(&facts);
    const std::string name = options.keep_folders ? saved_path(remote, options.pattern_folder)
                                                  : saved_name(remote);
    path = options.save_folder + "/" + name;
    auto skip = [&](const std::string& why) {
      std::fprintf(stderr, "ftpam: %s not saved: %s\n", shown(remote).c_str(), shown(why).c_str());
      ++not_saved;
      return true;
    };
    if (name.empty()) return skip("the name names no file");
    if (auto earlier = saved.find(name); earlier != saved.end())
      return skip(path + " holds " + earlier->second + ", saved before in this run");
    int fd = create_saved(options.save_folder, name, options.force);
    if (fd < 0 && errno == EEXIST) return skip(path + " exists (--force replaces it)");
    if (fd < 0) {
      std::fprintf(stderr, "ftpam: cannot save %s: %s\n", shown(path).c_str(),
                   std::strerror(errno));
      note_exit(EXIT_LOCAL_WRITE);
      return false;
    }
    saved[name] = remote;
    out = std::make_unique<RecordWriter>(fd, options.mode, options.show_cc, path);
    names->write(path, ' ');
    return true;
  };
  if (!start_file()) return false;
  for (;;) {
    host::files::Record r;
    int32_t status = file_->read(&r, piece);
    if (status == st::NEXT_CONNECTION) {
      if (!finish_file() || !start_file()) return false;
      continue;
    }
    if (st::condition_of(status) == st::END_OF_DATA) {
      at_end_ = true;
      break;
    }
    if (st::is_failure(status)) {
      finish_file();
      report(status, "read");
      return false;
    }
    cut.note(status, ++record, remote);
    if (out && !out->write(r.view(), r.cc)) break;
  }
  bool ok = finish_file();
  cut.report(file_->request().lrecl);
  if (!names->flush()) {
    std::fprintf(stderr, "ftpam: %s\n", names->error().c_str());
    note_exit(EXIT_LOCAL_WRITE);
    return false;
  }
  if (not_saved) {
    std::fprintf(stderr, "ftpam: %ld file%s not saved\n", not_saved, not_saved == 1 ? "" : "s");
    note_exit(EXIT_LOCAL_WRITE);
    return false;
  }
  return ok;
}

bool Session::write_record(std::string_view data, char cc, bool* cut) {
  int32_t status = file_->write(data, cc);
  if (cut) *cut = status == st::TRUNCATED;
  if (st::is_failure(status)) {
    report(status, "write");
    return false;
  }
  return true;
}

void Session::abandon() { host::files::terminate_owner(owner_key_); }

bool Session::close() {
  if (user_interrupted()) {
    abandon();
    note_exit(EXIT_INTERRUPTED);
    return false;
  }
  // A read broken off before the end: the server answers the early close
  // of the data connection with 426 or 451, which is no failure here.
  const bool broken_off = reading_ && !at_end_;
  int32_t status = file_->close();
  if (status != st::OK) {
    report(status, "close");
    return false;
  }
  // A refusal the module handed over without failing the close: of a read
  // broken off, expected; of an earlier MGET file, a failure.
  auto texts = host::messages::take_failure_texts();
  if (broken_off || texts.empty()) {
    g_refusals.clear();
    return true;
  }
  show_refusals();
  for (const auto& t : texts) std::fprintf(stderr, "ftpam: close: %s\n", shown(t.text).c_str());
  note_exit(EXIT_FAILED);
  return false;
}

}  // namespace cli

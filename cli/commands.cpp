#include "cli/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

#include "cli/exit_status.h"
#include "cli/interrupt.h"
#include "cli/option_syntax.h"
#include "cli/output.h"
#include "cli/prepare.h"
#include "cli/session.h"
#include "host/events.h"
#include "host/files.h"
#include "host/module.h"
#include "module/msgno.h"
#include "module/status.h"

namespace cli {
namespace {

// The reference name every one-operation command uses.
constexpr char REFERENCE[] = "FTPAM";

struct Flags {
  ReadOptions read;
  int32_t recfm = 0;  // the host's record format for the open request
  bool raw_input = false;
  bool long_list = false;
  bool help = false;
  bool piece_given = false;
  std::string save_folder;  // mget --to
  bool force = false;       // mget --to --force
  bool recursive = false;   // mget --to -r
  std::string output_file;  // get -o
  bool output_remote_name = false;  // get -O
  bool resume = false;      // get -o --continue, put --continue
  bool keep_time = true;    // --no-remote-time clears it
  std::vector<std::string> options;  // file-reference options
  std::vector<std::string> operands;
};

void carriage_control_format(Flags* f);

// The file-reference options that stand alone, without a value.
bool is_flag_keyword(std::string word) {
  static const char* const keywords[] = {
      "DEBUG", "PROMPT", "LS", "RHELP", "RSTAT", "S370VS", "S370V", "MOD", "LIST", "BYPASS",
      "MGET", "MPROMPT", "SAVEUSER", "NOQUIT", "PASV", "NONBYTE", "FTP"};
  for (char& c : word) c = char(std::toupper(static_cast<unsigned char>(c)));
  for (const char* k : keywords)
    if (word == k) return true;
  return false;
}

// Splits a command's arguments into its own flags, operands and options.
// Operands come first; the first argument that looks like an option (KEY=...
// or a flag keyword) starts the options. An optional operand is taken only
// when the argument cannot be an option.
bool parse_flags(const std::vector<std::string>& args, int operands, bool optional, Flags* f) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") f->help = true;
    else if (a == "--raw") f->read.mode = OutputMode::RAW, f->raw_input = true;
    else if (a == "--hex") f->read.mode = OutputMode::HEX;
    else if (a == "--cc") f->read.show_cc = true;
    else if (a == "--long") f->long_list = true;
    else if (a == "--force") f->force = true;
    else if (a == "-r" || a == "--recursive") f->recursive = true;
    else if (a == "-O" || a == "--remote-name") f->output_remote_name = true;
    else if (a == "--continue") f->resume = true;
    else if (a == "--no-remote-time") f->keep_time = false;
    else if (a == "--active") f->options.push_back("active");
    else if (a == "-o" || a == "--output") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        std::fprintf(stderr, "ftpam: %s needs a file name\n", a.c_str());
        return false;
      }
      f->output_file = args[++i];
    }
    else if (a == "--piece") {
      char* end = nullptr;
      long n = i + 1 < args.size() ? std::strtol(args[++i].c_str(), &end, 10) : 0;
      if (!end || *end || n < -1 || n == 0 || n > 0x7FFFFFFF) {
        std::fprintf(stderr, "ftpam: --piece needs a number of bytes (or -1)\n");
        return false;
      }
      f->read.piece = int32_t(n);
      f->piece_given = true;
    } else if (a == "--to") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        std::fprintf(stderr, "ftpam: --to needs a folder\n");
        return false;
      }
      f->save_folder = args[++i];
    }
    else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      std::fprintf(stderr, "ftpam: unknown flag %s\n", a.c_str());
      return false;
    } else if (int(f->operands.size()) < operands && f->options.empty() &&
               !(optional && (a.find('=') != std::string::npos || is_flag_keyword(a)))) {
      f->operands.push_back(a);
    }
    else f->options.push_back(a);
  }
  if (f->read.show_cc) carriage_control_format(f);
  return true;
}

// Carriage control is a property of the host's record format, which an
// option's RECFM= would replace: with --cc the format goes into the open
// request, carriage control added, and the option is taken out.
void carriage_control_format(Flags* f) {
  f->recfm = RECFM_V | RECFM_CC;
  for (auto it = f->options.begin(); it != f->options.end(); ++it) {
    std::string key = it->substr(0, 6);
    for (char& c : key) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (key != "RECFM=" || it->size() < 7) continue;
    switch (std::toupper(static_cast<unsigned char>((*it)[6]))) {
      case 'F': f->recfm = RECFM_F | RECFM_CC; break;
      case 'S': f->recfm = RECFM_S | RECFM_CC; break;
      default: break;
    }
    f->options.erase(it);
    return;
  }
}

void print_module(const host::Module& m) {
  const ImageInfo* i = m.image();
  std::printf("release    %s (major %d), build %s of %s, level %s\n", i->release,
              i->major_release, i->build_id, i->build_date, i->level);
  std::printf("notice     %s\n", i->notice);
  std::printf("node       %.12s\n", m.node()->name);
  const AccessMethodEntry* e = m.entry();
  std::printf("entry      %.4s %.8s, %d-slot method vector\n", e->eyecatcher, e->name,
              METHOD_SLOTS);
  void* unsupported = e->vector[host::slot::first_unsupported()].routine;
  for (int s = 0; s < METHOD_SLOTS; ++s) {
    void* r = e->vector[s].routine;
    const char* what = !r ? "(empty)" : r == unsupported ? "not supported" : host::slot::text(s);
    std::printf("  slot %2d  %s\n", s, what);
  }
}

// Assigns the command's reference and opens it: the operand (a remote name
// or URL) and the options are prepared first. Returns 0, or the exit status:
// options the host refuses are a usage error, a failed open a failure.
int assign_and_open(const std::string& operand, const Flags& f, int32_t mode,
                    std::unique_ptr<Session>* session, const std::string& what = "open",
                    Prepared* prepared_out = nullptr) {
  PrepareRequest request;
  request.operand = operand;
  request.options = f.options;
  request.raw_put = f.raw_input && mode == OPEN_OUTPUT;
  request.piece_given = f.piece_given;
  Prepared prepared;
  std::string problem = prepare(request, &prepared);
  if (!problem.empty()) {
    std::fprintf(stderr, "ftpam: %s\n", problem.c_str());
    return EXIT_USAGE;
  }
  *session = Session::assign(REFERENCE, prepared.remote, prepared.assign_options);
  if (!*session) return EXIT_USAGE;
  if (prepared_out) *prepared_out = prepared;
  return (*session)->open(mode, prepared.open_options, f.recfm, what) ? 0 : failure_exit();
}

// Options that give the file a record format.
bool record_options(const Flags& f) {
  for (const auto& o : f.options)
    for (const char* k : {"RECFM", "LRECL", "S370V", "S370VS", "TERMSTR", "NBYTE", "NONBYTE"})
      if (keyword_of(o) == k) return true;
  return false;
}

// Options and flags that ask for records rather than a whole file.
bool records_asked(const Flags& f) {
  return f.recfm || f.piece_given || f.read.mode != OutputMode::LINES || record_options(f);
}

// A file saved whole (get -o, mget --to without records asked for): its
// bytes as the server holds them (TYPE I), in pieces of what each network
// read brings, at most this many bytes, so that no line can be cut.
constexpr int WHOLE_FILE_PIECE = 65536;

void whole_file(Flags& f) {
  for (const char* o : {"recfm=s", "nonbyte"}) f.options.push_back(o);
  f.options.push_back("lrecl=" + std::to_string(WHOLE_FILE_PIECE));
  f.read.piece = -1;
  f.read.mode = OutputMode::RAW;
}

// The size the server told of the open file, for the progress line; -1
// when it did not.
long long remote_size(Session& session) {
  FileFacts facts{};
  session.file()->facts(&facts);
  return (facts.known & FACT_SIZE) ? facts.size : -1;
}

// The last part of a path before a save folder holds it: "" when that part
// names no file.
std::string last_name(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name == "." || name == ".." ? "" : name;
}

// Reads records of an input open to standard output (with --to, to files).
int read_command(const std::string& remote, Flags& f, std::vector<std::string> extra,
                 const std::string& what = "open") {
  for (auto& e : extra) f.options.push_back(std::move(e));
  if (!f.save_folder.empty()) {
    if (access(f.save_folder.c_str(), W_OK) != 0) {
      std::fprintf(stderr, "ftpam: --to %s: %s\n", f.save_folder.c_str(), std::strerror(errno));
      return EXIT_USAGE;
    }
    if (!records_asked(f)) whole_file(f);
    f.read.save_folder = f.save_folder;
    f.read.force = f.force;
    f.read.keep_time = f.keep_time;
  }
  std::unique_ptr<Session> session;
  if (int status = assign_and_open(remote, f, OPEN_INPUT, &session, what)) return status;
  f.read.total = remote_size(*session);
  RecordWriter out(STDOUT_FILENO, f.save_folder.empty() ? f.read.mode : OutputMode::LINES,
                   f.save_folder.empty() && f.read.show_cc);
  bool ok = session->read_all(f.read, &out);
  ok = session->close() && ok;
  return exit_status(ok);
}

// A temporary name beside `path` ("dir/.name.ftpam-PID-N"), created for
// writing; -1 with errno set when none could be made.
int create_temporary(const std::string& path, std::string* temporary) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (int n = 0; n < 100; ++n) {
    *temporary = folder + "." + name + ".ftpam-" + std::to_string(getpid()) + "-" + std::to_string(n);
    int fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

int refuse_resume(const std::string& why) {
  std::fprintf(stderr, "ftpam: cannot resume: %s\n", why.c_str());
  return EXIT_RESUME;
}

// get -o FILE / -O: the file whole (or its records, when asked for) into a
// temporary file beside FILE, renamed to FILE once the transfer has ended
// well, with the server's time of the file unless --no-remote-time. A
// failed transfer leaves FILE as it was. With --continue an existing FILE is
// the start of the file: the read starts at its size (REST) and appends.
int get_to_file(const std::string& operand, Flags& f) {
  std::string path = f.output_file;
  if (f.output_remote_name) {
    std::string remote = operand;
    std::vector<std::string> url;
    parse_url(operand, &url, &remote);
    path = last_name(remote);
    if (path.empty()) {
      std::fprintf(stderr, "ftpam: -O: %s names no file\n", shown(remote).c_str());
      return EXIT_USAGE;
    }
  }
  const bool whole = !records_asked(f);
  if (whole) whole_file(f);
  long long offset = 0;
  struct stat local {};
  if (f.resume && ::lstat(path.c_str(), &local) == 0) {
    if (!whole)
      return refuse_resume("only a file read whole resumes: with record options, the bytes "
                           "written are not the server's");
    if (!S_ISREG(local.st_mode)) return refuse_resume(path + " is not a plain file");
    offset = local.st_size;
    if (offset > 0xFFFFFFFFLL) return refuse_resume(path + " is 4 GiB or more");
    if (offset > 0) f.options.push_back("rest=" + std::to_string(offset));
  }
  std::string temporary;
  const bool appending = offset > 0;
  int fd = appending ? ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC)
                     : create_temporary(path, &temporary);
  const std::string& written = appending ? path : temporary;
  if (fd < 0) {
    const std::string what = appending ? path : path + " (a temporary file beside it)";
    std::fprintf(stderr, "ftpam: %s: %s\n", shown(what).c_str(), std::strerror(errno));
    return EXIT_LOCAL_WRITE;
  }
  RecordWriter out(fd, f.read.mode, f.read.show_cc, written);
  auto fail = [&](int status) {
    out.close();
    if (!appending) ::unlink(temporary.c_str());
    return status;
  };
  std::unique_ptr<Session> session;
  if (int status = assign_and_open(operand, f, OPEN_INPUT, &session)) return fail(status);
  FileFacts facts{};
  session->file()->facts(&facts);
  if ((facts.known & FACT_SIZE) && facts.size < offset) {
    session->abandon();
    return fail(refuse_resume(path + " is longer than the remote file: it is not a cut copy of it"));
  }
  f.read.total = (facts.known & FACT_SIZE) ? facts.size : -1;
  f.read.already = offset;
  bool ok = session->read_all(f.read, &out);
  ok = session->close() && ok;
  if (!ok) return fail(exit_status(false));
  if (!out.close()) {
    std::fprintf(stderr, "ftpam: %s\n", shown(out.error()).c_str());
    note_exit(EXIT_LOCAL_WRITE);
    if (!appending) ::unlink(temporary.c_str());
    return exit_status(false);
  }
  if (f.keep_time && (facts.known & FACT_MODIFIED) && !set_file_time(written, facts.modified))
    std::fprintf(stderr, "ftpam: %s: cannot set its time: %s\n", shown(written).c_str(),
                 std::strerror(errno));
  if (!appending && ::rename(temporary.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "ftpam: cannot rename %s to %s: %s\n", shown(temporary).c_str(),
                 shown(path).c_str(), std::strerror(errno));
    ::unlink(temporary.c_str());
    note_exit(EXIT_LOCAL_WRITE);
    return exit_status(false);
  }
  return exit_status(true);
}

// The fixed record format is asked for (recfm=f, or --cc with it).
bool is_fixed(const Flags& f) {
  if (f.recfm) return (f.recfm & RECFM_F) != 0;
  for (const auto& o : f.options)
    if (keyword_of(o) == "RECFM" && o.size() > 6 && std::toupper(static_cast<unsigned char>(o[6])) == 'F')
      return true;
  return false;
}

// Standard input in large blocks: records are cut from the block in place.
class InputBlocks {
 public:
  static constexpr size_t BLOCK = 256 * 1024;
  InputBlocks() : data_(new char[BLOCK]) {}
  // Reads more after keeping the `keep` bytes at `from`; false at the end of
  // the input, on a read error (error() says which) or on Ctrl-C.
  bool refill(const char* from, size_t keep) {
    if (keep && from != data_.get()) std::memmove(data_.get(), from, keep);
    used_ = keep;
    for (;;) {
      ssize_t n = ::read(STDIN_FILENO, data_.get() + used_, BLOCK - used_);
      if (n > 0) {
        used_ += size_t(n);
        return true;
      }
      if (n == 0) return false;
      if (errno == EINTR && !interrupt_requested()) continue;
      if (errno == EINTR) interrupted_ = true;
      else error_ = std::strerror(errno);
      return false;
    }
  }
  char* begin() { return data_.get(); }
  char* end() { return data_.get() + used_; }
  bool full() const { return used_ == BLOCK; }
  bool interrupted() const { return interrupted_; }
  const std::string& error() const { return error_; }

 private:
  std::unique_ptr<char[]> data_;
  size_t used_ = 0;
  bool interrupted_ = false;
  std::string error_;
};

struct PutCount {
  long records = 0;
  long long bytes = 0;
  long cut = 0;
  long first_cut = 0;  // record number of the first cut record
  size_t padded_from = 0;  // the last fixed record's length before padding; 0: none
};

// Writes one record and counts it; false when the write failed.
bool put_one(Session& session, std::string_view record, char cc, PutCount* count) {
  bool cut = false;
  if (!session.write_record(record, cc, &cut)) return false;
  ++count->records, count->bytes += static_cast<long long>(record.size());
  if (cut && count->cut++ == 0) count->first_cut = count->records;
  return true;
}

// Lines, cut with memchr; a CR before the LF is not part of the line. A line
// longer than a whole block is sent as its first block's worth (the module
// cuts it to the record length anyway) and the rest skipped.
bool put_lines(Session& session, const Flags& f, InputBlocks& in, Progress& progress,
               PutCount* count) {
  // With --cc the line's first character is its carriage control.
  auto put_line = [&](const char* p, const char* end) {
    char cc = ' ';
    if (f.read.show_cc && p < end) cc = *p++;
    return put_one(session, {p, size_t(end - p)}, cc, count);
  };
  char* start = in.begin();
  bool skipping = false;
  for (bool more = in.refill(start, 0);; more = in.refill(start, size_t(in.end() - start))) {
    start = in.begin();
    for (;;) {
      char* end = in.end();
      auto* lf = static_cast<char*>(std::memchr(start, '\n', size_t(end - start)));
      if (!lf) {
        if (!more) {
          if (in.interrupted() || !in.error().empty()) return false;
          // A last line without its LF.
          return start == end || skipping || put_line(start, end);
        }
        if (in.full() && start == in.begin()) {  // a line longer than the block
          if (!skipping && !put_line(start, end)) return false;
          skipping = true;
          start = end;
        }
        break;
      }
      if (!skipping && !put_line(start, lf > start && lf[-1] == '\r' ? lf - 1 : lf)) return false;
      skipping = false;
      start = lf + 1;
      progress.update(count->records, count->bytes);
    }
  }
}

// Records of LRECL bytes, the last one shorter (padded by the module in the
// fixed format, where it is reported).
bool put_raw(Session& session, const Flags& f, InputBlocks& in, Progress& progress,
             PutCount* count) {
  const size_t lrecl = size_t(std::max(1, session.file()->request().lrecl));
  char* start = in.begin();
  for (bool more = in.refill(start, 0);; more = in.refill(start, size_t(in.end() - start))) {
    start = in.begin();
    while (size_t(in.end() - start) >= lrecl) {
      if (!put_one(session, {start, lrecl}, ' ', count)) return false;
      start += lrecl;
      progress.update(count->records, count->bytes);
    }
    if (!more) {
      if (in.interrupted() || !in.error().empty()) return false;
      size_t rest = size_t(in.end() - start);
      if (rest) {
        if (!put_one(session, {start, rest}, ' ', count)) return false;
        if (is_fixed(f)) count->padded_from = rest;
      }
      return true;
    }
  }
}

// Passes over the first `count` bytes of standard input; false when it holds
// fewer (or cannot be read).
bool skip_input(long long count) {
  struct stat input {};
  if (::fstat(STDIN_FILENO, &input) == 0 && S_ISREG(input.st_mode) &&
      ::lseek(STDIN_FILENO, 0, SEEK_CUR) == 0)
    return count <= input.st_size && ::lseek(STDIN_FILENO, off_t(count), SEEK_SET) == count;
  static char scratch[65536];
  while (count > 0) {
    ssize_t n = ::read(STDIN_FILENO, scratch, size_t(std::min<long long>(count, sizeof scratch)));
    if (n < 0 && errno == EINTR && !interrupt_requested()) continue;
    if (n <= 0) return false;
    count -= n;
  }
  return true;
}

int put_command(const std::string& remote, Flags& f) {
  // put --continue: APPE after SIZE, and the input from the byte after the
  // server's last one.
  if (f.resume) {
    if (!f.raw_input || f.recfm || record_options(f))
      return refuse_resume("put --continue sends a byte stream: --raw, without record options");
    for (const char* o : {"mod", "facts"}) f.options.push_back(o);
  }
  std::unique_ptr<Session> session;
  Prepared prepared;
  if (int status = assign_and_open(remote, f, OPEN_OUTPUT, &session, "open", &prepared))
    return status;
  if (f.resume) {
    FileFacts facts{};
    session->file()->facts(&facts);
    if (!(facts.known & FACT_SIZE)) {
      session->abandon();
      return refuse_resume("the server did not tell the size of " + prepared.remote +
                           " (SIZE); without --continue the whole file is sent");
    }
    if (!skip_input(facts.size)) {
      session->abandon();
      return refuse_resume("the input is shorter than the remote file (" +
                           std::to_string(facts.size) + " bytes): it is not a cut copy of it");
    }
  }
  Progress progress(true);
  InputBlocks in;
  PutCount count;
  bool ok = f.raw_input ? put_raw(*session, f, in, progress, &count)
                        : put_lines(*session, f, in, progress, &count);
  progress.finish(count.records, count.bytes, ok);
  if (in.interrupted() || user_interrupted()) {
    // Ctrl-C came while reading the input: the break it requested is not
    // for the waits of ending the file.
    host::events::cancel_break();
    session->abandon();
    std::fprintf(stderr,
                 "ftpam: put interrupted: the remote file %s is incomplete (%ld records, %lld "
                 "bytes sent)\n",
                 prepared.remote.c_str(), count.records, count.bytes);
    return EXIT_INTERRUPTED;
  }
  if (!in.error().empty()) {
    std::fprintf(stderr, "ftpam: reading standard input: %s\n", in.error().c_str());
    session->abandon();
    return EXIT_FAILED;
  }
  const int lrecl = session->file()->request().lrecl;
  ok = session->close() && ok;
  if (count.cut) report_cut_records(count.cut, lrecl, "record " + std::to_string(count.first_cut));
  if (count.padded_from) {
    std::fprintf(stderr, "ftpam: the last record (record %ld) had %zu bytes and was padded\n",
                 count.records, count.padded_from);
    note_exit(EXIT_DATA_CHANGED);
  }
  return exit_status(ok);
}

int info_command(const std::string& remote, Flags& f) {
  std::unique_ptr<Session> session;
  if (int status = assign_and_open(remote, f, OPEN_INPUT, &session)) return status;
  std::fflush(stdout);
  std::vector<std::pair<std::string, std::string>> items;
  int32_t status = session->file()->items(&items);
  if (status != st::OK) report(status, "information items");
  for (const auto& [name, value] : items)
    std::printf("%-22s %s\n", name.c_str(), shown(value, STDOUT_FILENO).c_str());
  // The file's data is not wanted: an orderly close would end the transfer
  // early and the server would answer that it was aborted.
  session->abandon();
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "ftpam: writing standard output: %s\n", std::strerror(errno));
    return EXIT_LOCAL_WRITE;
  }
  return status == st::OK ? EXIT_OK : EXIT_FAILED;
}

// The code of a logged reply line ("<<< 550 No such file."), or 0.
int reply_code(const std::string& line) {
  size_t code = line.find_first_of("0123456789");
  if (code == std::string::npos || line.size() < code + 3) return 0;
  return std::atoi(line.substr(code, 3).c_str());
}

bool g_log_everything = false;  // --log
bool g_transcript = false;      // -v, or --log with the option debug

}  // namespace

void set_log_level(bool everything, bool transcript) {
  g_log_everything = everything;
  g_transcript = transcript;
}

// The module logs every reply when asked to (ftpam always asks, see
// run_command): the refusing ones (4xx, 5xx, with their continuation lines)
// are kept to be shown with a failure, as the server's reason.
void essential_log_line(const host::messages::LogLine& line) {
  static bool in_refusal = false;
  if (g_transcript) {
    std::fprintf(stderr, "ftpam: %s\n", shown(line.text).c_str());
    return;
  }
  // SIZE, MDTM and FEAT ask what a server may not know: a refusal of them
  // is no reason for a failure.
  static bool optional_command = false;
  if (line.group == msg::GROUP) {
    switch (line.number) {
      case msg::REPLY_LINE: {
        const int code = reply_code(line.text);
        if (optional_command) return;
        bool refusal = in_refusal;
        if (code) {
          const size_t at = line.text.find_first_of("0123456789");
          refusal = code >= 400;
          in_refusal = refusal && at + 3 < line.text.size() && line.text[at + 3] == '-';
        }
        if (refusal) note_refusal(line.text);
        return;
      }
      case msg::SERVER_SOCKET_BOUND: case msg::CONNECTION_ACCEPTED:
      case msg::OPEN_COMPLETE: case msg::GREETING:
      case msg::TLS_IN_USE: case msg::TLS_TRUSTED: case msg::TLS_NOT_RESUMED:
        if (g_log_everything) break;
        return;
      case msg::COMMAND_SENT:
        optional_command = false;
        for (const char* verb : {">>> SIZE ", ">>> MDTM ", ">>> FEAT"})
          optional_command = optional_command || line.text.rfind(verb, 0) == 0;
        return;
      default:
        break;
    }
  }
  std::fprintf(stderr, "ftpam: %s\n", shown(line.text).c_str());
}

namespace {

int ls_command(const std::string& operand, Flags& f) {
  std::string pattern = operand;
  if (std::vector<std::string> url; parse_url(operand, &url, &pattern))
    f.options.insert(f.options.begin(), url.begin(), url.end());
  std::vector<std::string> extra = {f.long_list ? "list" : "ls"};
  if (!pattern.empty()) extra.push_back("lsfile=" + pattern);
  std::string what = "listing " + (pattern.empty() ? std::string("the directory") : pattern);
  for (const auto& o : f.options)
    if (keyword_of(o) == "WD" || keyword_of(o) == "CD") what += " in " + o.substr(3);
  return read_command("", f, extra, what);
}

enum class Operand { NONE, ONE, OPTIONAL };

// One command of ftpam: its name, its operand, whether the module is asked
// for its transcript (the refusing replies are shown from it), its line in
// ftpam --help (synopsis and summary; null when another row lists it), its
// own help text and what runs it.
struct Command {
  const char* name;
  Operand operand;
  bool logs_replies;
  const char* synopsis;
  const char* summary;
  const char* help;
  int (*run)(const std::string& operand, Flags& f);
};

const Command commands[] = {
    {"get", Operand::ONE, true, "get REMOTE",
     "read a remote file's records to standard output",
     "usage: ftpam get REMOTE|URL [--raw|--hex] [--cc] [--piece N] [OPTION...]\n"
     "       ftpam get REMOTE|URL -o FILE|-O [--continue] [--no-remote-time] [OPTION...]\n"
     "Reads the records of REMOTE to standard output, one record per line.\n"
     "  -o FILE    save the file whole in FILE instead: the bytes as the server\n"
     "             holds them (its records, with record options), written beside\n"
     "             FILE and renamed to it at the end, so a failed transfer leaves\n"
     "             FILE as it was; FILE takes the server's time of the file (MDTM)\n"
     "  -O         the same, in REMOTE's last name in the current folder\n"
     "  --continue with -o/-O: an existing FILE is the start of the file; the\n"
     "             rest is read from the server (REST) and appended. Exit status\n"
     "             10 when that cannot be (the server refuses REST, record\n"
     "             options, FILE longer than the remote file)\n"
     "  --no-remote-time  FILE keeps the time it was written\n"
     "  --active   active data connections, whatever --passive/XXAMPASV say\n"
     "URL: ftp://[USER[:PASSWORD]@]HOST[:PORT]/PATH stands for the remote name and\n"
     "the options host=, user= and pass=.\n"
     "  --raw      the record bytes back to back, nothing added\n"
     "  --hex      a hex dump of each record\n"
     "  --cc       show each record's carriage-control character first\n"
     "  --piece N  bytes per read for RECFM=S files with nonbyte (default: LRECL;\n"
     "             -1: what the network delivers)\n"
     "Records longer than the record length (lrecl=, default 256) are cut: the\n"
     "count and the first one are reported and the exit status is 7. A failed\n"
     "write of standard output ends the run with exit status 5.\n"
     "examples:\n"
     "  ftpam get lines.txt host=127.0.0.2 user=demo pass=demo\n"
     "  ftpam get fixed.dat host=127.0.0.2 user=demo pass=demo recfm=f lrecl=80\n"
     "  ftpam get records.s370v host=127.0.0.2 user=demo pass=demo s370v --hex\n"
     "  ftpam get ftp://demo@127.0.0.2:2121/lines.txt   (password from $FTPAM_PASSWORD)\n"
     "  ftpam get ftp://demo@[::1]:2121/lines.txt        (a server on IPv6)\n"
     "  ftpam get big.iso host=127.0.0.2 user=demo pass=demo -o big.iso --continue\n",
     [](const std::string& operand, Flags& f) {
       f.read.summary = true;
       f.options.push_back("facts");  // the size for the progress line
       if (!f.output_file.empty() || f.output_remote_name) return get_to_file(operand, f);
       if (f.resume) {
         std::fprintf(stderr, "ftpam: --continue needs -o FILE or -O\n");
         return int(EXIT_USAGE);
       }
       return read_command(operand, f, {});
     }},
    {"put", Operand::ONE, true, "put REMOTE",
     "write records from standard input (STOR; APPE with MOD)",
     "usage: ftpam put REMOTE|URL [--raw [--continue]] [--cc] [OPTION...]\n"
     "Writes records from standard input to REMOTE (STOR; with the option mod, APPE).\n"
     "  --continue  with --raw: REMOTE is the start of the input; its size (SIZE)\n"
     "          of the input is passed over and the rest appended (APPE). Exit\n"
     "          status 10 when the server does not tell the size\n"
     "  --raw   these bytes, exactly: without a record format, a byte stream\n"
     "          (recfm=s nonbyte); with recfm=f, records of LRECL bytes, the last\n"
     "          one padded (reported, exit status 7)\n"
     "  --cc    the first character of each line is its carriage-control character\n"
     "With s370v or s370vs the records go out back to back, without descriptor words.\n"
     "Lines longer than the record length are cut: the count and the first one are\n"
     "reported and the exit status is 7. After Ctrl-C the remote file is incomplete\n"
     "(exit status 130).\n"
     "examples:\n"
     "  printf 'one\\ntwo\\n' | ftpam put new.txt host=127.0.0.2 user=demo pass=demo\n"
     "  ftpam put log.txt host=127.0.0.2 user=demo pass=demo mod < more-lines.txt\n"
     "  ftpam put big.iso --raw --continue host=127.0.0.2 user=demo pass=demo < big.iso\n",
     [](const std::string& operand, Flags& f) {
       return put_command(operand, f);
     }},
    {"ls", Operand::OPTIONAL, true, "ls [PATTERN]",
     "list a remote directory (NLST; --long for LIST)",
     "usage: ftpam ls [PATTERN] [--long] [OPTION...]\n"
     "Lists a remote directory: names only (NLST), or the server's long form (LIST).\n"
     "examples:\n"
     "  ftpam ls host=127.0.0.2 user=demo pass=demo\n"
     "  ftpam ls '*.txt' --long host=127.0.0.2 user=demo pass=demo wd=mget\n",
     [](const std::string& operand, Flags& f) {
       return ls_command(operand, f);
     }},
    {"mget", Operand::ONE, true, "mget PATTERN|'(A B)'",
     "read several remote files as one",
     "usage: ftpam mget PATTERN|'(NAME NAME ...)' [--to DIR [--force] [-r]] [--raw|--hex] [--cc]\n"
     "                  [OPTION...]\n"
     "Reads every file the server lists for PATTERN, or the files named in\n"
     "parentheses, one after the other as one stream of records. With the\n"
     "option mprompt you are asked before each file. A server that does not\n"
     "match patterns itself is asked for the whole directory, and the names are\n"
     "matched here (*, ?, [...]).\n"
     "  --to DIR   save each file in DIR under its own name, whole: the bytes as\n"
     "             the server holds them (with recfm=, lrecl=, termstr=, s370v,\n"
     "             --raw, --hex or --cc: its records instead). The names saved are\n"
     "             listed on standard output. A file of that name in DIR, or one\n"
     "             saved before in the run, is not replaced: the file is not saved,\n"
     "             and the run ends with exit status 5\n"
     "             A server that offers MLSD lists the files: directories, links\n"
     "             and special entries are not read, and saved files take the\n"
     "             server's times (--no-remote-time: not)\n"
     "  --force    with --to: replace a file of that name found in DIR\n"
     "  -r         with --to, on a server with MLSD: the files of matched\n"
     "             directories too, at most 8 levels down, in folders of the same\n"
     "             names made in DIR\n"
     "examples:\n"
     "  ftpam mget '*.txt' host=127.0.0.2 user=demo pass=demo wd=mget\n"
     "  ftpam mget \"(alpha.txt 'gamma.txt')\" host=127.0.0.2 user=demo pass=demo wd=mget\n"
     "  ftpam mget '*.txt' --to saved host=127.0.0.2 user=demo pass=demo wd=mget\n"
     "  ftpam mget 'docs' -r --to saved host=127.0.0.2 user=demo pass=demo\n",
     [](const std::string& operand, Flags& f) {
       f.read.summary = true;
       std::vector<std::string> extra = {"mget"};
       if (!f.save_folder.empty()) extra.push_back("facts");  // MLSD where the server has it
       if (f.recursive) {
         if (f.save_folder.empty()) {
           std::fprintf(stderr, "ftpam: -r needs --to DIR\n");
           return int(EXIT_USAGE);
         }
         extra.push_back("recursive");
         f.read.keep_folders = true;
         std::string pattern = operand;
         std::vector<std::string> url;
         parse_url(operand, &url, &pattern);
         f.read.pattern_folder = pattern.substr(0, pattern.find_last_of('/') + 1);
       }
       return read_command(operand, f, extra);
     }},
    {"help", Operand::NONE, true, "help | stat",
     "the server's HELP or STAT reply, line by line",
     "usage: ftpam help [OPTION...]\n"
     "Shows the server's reply to HELP, one line per record.\n"
     "example:\n"
     "  ftpam help host=127.0.0.2 user=demo pass=demo\n",
     [](const std::string&, Flags& f) {
       return read_command("", f, {"rhelp"});
     }},
    {"stat", Operand::NONE, true, nullptr, nullptr,  // listed with help
     "usage: ftpam stat [OPTION...]\n"
     "Shows the server's reply to STAT, one line per record.\n"
     "example:\n"
     "  ftpam stat host=127.0.0.2 user=demo pass=demo\n",
     [](const std::string&, Flags& f) {
       return read_command("", f, {"rstat"});
     }},
    {"cmd", Operand::ONE, true, "cmd 'COMMAND'",
     "send a raw command and show its reply",
     "usage: ftpam cmd 'COMMAND' [OPTION...]\n"
     "Sends COMMAND to the server as it stands and shows its reply; a refusing\n"
     "reply (4xx, 5xx) ends with exit status 1.\n"
     "example:\n"
     "  ftpam cmd SYST host=127.0.0.2 user=demo pass=demo\n",
     [](const std::string& operand, Flags& f) {
       f.read.check_reply = true;
       return read_command("", f, {"rcmd=" + operand});
     }},
    {"info", Operand::ONE, true, "info REMOTE",
     "open a remote file and show its information items",
     "usage: ftpam info REMOTE [OPTION...]\n"
     "Opens REMOTE for reading and shows its information items (name, directory,\n"
     "hosts and addresses, port, record length and format).\n"
     "example:\n"
     "  ftpam info fixed.dat host=127.0.0.2 user=demo pass=demo recfm=f lrecl=80\n",
     [](const std::string& operand, Flags& f) {
       return info_command(operand, f);
     }},
    {"run", Operand::ONE, false, "run SCRIPT",
     "run a script of statements (assign, open, read, ...)",
     "usage: ftpam run SCRIPT\n"
     "Runs the statements of SCRIPT ('-' for standard input), one per line:\n"
     "  assign NAME REMOTE [OPTION...]     deassign NAME\n"
     "  open NAME input|output|append [positioning] [OPTION...]\n"
     "  read NAME [COUNT|all]              write NAME TEXT\n"
     "  note NAME LABEL                    point NAME LABEL\n"
     "  info NAME                          close NAME\n"
     "Blank lines and lines starting with # are skipped. The script stops at the\n"
     "first statement that fails.\n"
     "example script:\n"
     "  assign IN fixed.dat host=127.0.0.2 user=demo pass=demo recfm=f lrecl=80\n"
     "  open IN input positioning\n"
     "  note IN start\n"
     "  read IN 2\n"
     "  point IN start\n"
     "  read IN all\n"
     "  close IN\n",
     [](const std::string& operand, Flags&) {
       return run_script(operand);
     }},
    {"module", Operand::NONE, false, "module",
     "show what the host finds in the module",
     "usage: ftpam module\nShows what the host finds in the module.\n",
     [](const std::string&, Flags&) {
       print_module(*host::Module::load_default(nullptr));
       return 0;
     }},
};

const Command* command_named(const std::string& name) {
  for (const Command& c : commands)
    if (name == c.name) return &c;
  return nullptr;
}

}  // namespace

std::string command_list() {
  std::string list;
  char line[160];
  for (const Command& c : commands) {
    if (!c.synopsis) continue;
    std::snprintf(line, sizeof line, "  %-20s  %s\n", c.synopsis, c.summary);
    list += line;
  }
  return list;
}

int run_command(const std::string& name, const std::vector<std::string>& args) {
  const Command* command = command_named(name);
  if (!command) {
    std::fprintf(stderr, "ftpam: unknown command %s (see ftpam --help)\n", name.c_str());
    return EXIT_USAGE;
  }
  Flags f;
  const bool optional = command->operand == Operand::OPTIONAL;
  if (!parse_flags(args, command->operand == Operand::NONE ? 0 : 1, optional, &f))
    return EXIT_USAGE;
  if (f.help) {
    std::fputs(command->help, stdout);
    return 0;
  }
  if (command->operand == Operand::ONE && f.operands.empty()) {
    std::fputs(command->help, stderr);
    return EXIT_USAGE;
  }
  const std::string operand = f.operands.empty() ? "" : f.operands[0];
  // The module logs every reply with debug: the refusing ones are shown (the
  // server's reason), the rest only in a transcript.
  bool debug = false;
  for (const auto& o : f.options) debug = debug || keyword_of(o) == "DEBUG";
  if (debug && g_log_everything) g_transcript = true;
  if (!debug && command->logs_replies) f.options.push_back("debug");
  return command->run(operand, f);
}

}  // namespace cli

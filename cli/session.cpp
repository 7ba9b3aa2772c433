#include "cli/session.h"

#include <cstdio>

#include "cli/interrupt.h"
#include "cli/options.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/references.h"
#include "module/status.h"

namespace cli {

void report(int32_t status, const std::string& doing) {
  std::string text = host::messages::describe_failure(status);
  if (doing.empty()) std::fprintf(stderr, "ftpam: %s\n", text.c_str());
  else std::fprintf(stderr, "ftpam: %s: %s\n", doing.c_str(), text.c_str());
}

namespace {
// Prints what the host tells the user about a refused statement.
void report(const host::references::Result& r) {
  std::fprintf(stderr, "ftpam: %s\n", r.message.c_str());
  if (!r.marks.empty()) std::fprintf(stderr, "  %s\n  %s\n", r.echo.c_str(), r.marks.c_str());
}
}  // namespace

std::unique_ptr<Session> Session::assign(const std::string& name, const std::string& remote,
                                         const std::vector<std::string>& options) {
  auto r = host::references::assign(name, remote, statement(options),
                                    host::references::PARSE_INPUT);
  if (!r.ok()) {
    report(r);
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

bool Session::open(int32_t mode, const std::vector<std::string>& open_options, int32_t recfm) {
  host::files::OpenParams params;
  params.mode = mode;
  params.recfm = recfm;
  params.owner_key = owner_key_;
  if (!open_options.empty()) {
    auto r = host::references::parse_options(statement(open_options),
                                             host::references::PARSE_INPUT, &open_options_);
    if (!r.ok()) {
      report(r);
      return false;
    }
    params.options = open_options_;
  }
  int32_t status = host::files::OpenFile::open(name_, params, &file_);
  if (status != st::OK) {
    report(status, "open");
    return false;
  }
  return true;
}

bool Session::read_all(const ReadOptions& options, RecordWriter* out, bool* at_end) {
  Progress progress(true);
  int32_t piece = options.piece ? options.piece : file_->request().lrecl;
  long n = 0, cut = 0;
  if (at_end) *at_end = false;
  while (options.limit < 0 || n < options.limit) {
    host::files::Record record;
    int32_t status = file_->read(&record, piece);
    if (status == st::NEXT_CONNECTION) continue;  // the next MGET file follows
    if (st::condition_of(status) == st::END_OF_DATA) {
      if (at_end) *at_end = true;
      break;
    }
    if (st::is_failure(status)) {
      progress.finish();
      report(status, "read");
      return false;
    }
    if (status == st::TRUNCATED) ++cut;
    out->write(record.view(), record.cc);
    ++n;
    progress.update(out->records(), out->bytes());
  }
  progress.finish();
  if (cut)
    std::fprintf(stderr, "ftpam: %ld record%s longer than the record length and cut\n", cut,
                 cut == 1 ? " was" : "s were");
  return true;
}

bool Session::write_record(const std::string& data, char cc) {
  int32_t status = file_->write(data, cc);
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
    return false;
  }
  int32_t status = file_->close();
  if (status != st::OK) {
    report(status, "close");
    return false;
  }
  // The server's final reply refused the transfer: the close itself went
  // well, but the data did not arrive whole.
  auto texts = host::messages::take_failure_texts();
  for (const auto& t : texts) std::fprintf(stderr, "ftpam: close: %s\n", t.text.c_str());
  return texts.empty();
}

}  // namespace cli

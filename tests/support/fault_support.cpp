#include "tests/support/fault_support.h"

#include <netdb.h>

#include <cerrno>
#include <memory>
#include <set>
#include <sstream>

#include "host/files.h"
#include "host/references.h"
#include "module/status.h"
#include "tests/support/sock_support.h"

namespace ftptest {

using host::files::OpenFile;
using host::files::OpenParams;

namespace {

constexpr const char* REFERENCE = "FAULT";

// Reads records until a status other than 0, 0x1009 or 0x1003.
int32_t read_records(OpenFile& file, int32_t piece, std::vector<std::string>* records) {
  for (int i = 0; i < 1000; ++i) {
    host::files::Record r;
    int32_t status = file.read(&r, piece);
    if (status == st::NEXT_CONNECTION) {
      records->push_back("--next--");
      continue;
    }
    if (status != st::OK && status != st::TRUNCATED) return status;
    records->emplace_back(r.view());
  }
  return st::FAILED;
}

}  // namespace

std::string FlowOutcome::describe() const {
  std::ostringstream out;
  for (const Call& c : calls)
    out << c.entry << "=" << std::hex << c.status << std::dec << "[" << c.attempts_before << ".."
        << c.attempts_after << "] ";
  return out.str();
}

ftptest::Script script_for(const Flow& flow) {
  ftptest::Script script;
  for (ftptest::Step step : flow.steps) {
    step.repeat = true;
    script.step(step);
  }
  script.defaults();
  return script;
}

namespace {

// The flow's calls against the server at `address`, up to the deassign.
FlowOutcome run_calls(const Flow& flow, const std::string& address, Counter counter) {
  FlowOutcome o;
  auto call = [&](const char* entry, auto&& fn) {
    long before = counter();
    int32_t status = fn();
    o.calls.push_back({entry, status, before, counter()});
    return status;
  };
  bool ok = call("assign", [&] {
              return host::references::assign(REFERENCE, flow.remote,
                                              "HOST='" + address + "' USER='u' PASS='p' " +
                                                  flow.options)
                  .status;
            }) == st::OK;
  if (ok) {
    std::unique_ptr<OpenFile> file;
    OpenParams params;
    params.mode = flow.mode;
    params.recfm = flow.recfm;
    ok = call("open", [&] { return OpenFile::open(REFERENCE, params, &file); }) == st::OK;
    if (ok) {
      switch (flow.action) {
        case Action::Read:
          ok = call("read", [&] { return read_records(*file, flow.piece, &o.records); }) ==
               st::END_OF_DATA;
          break;
        case Action::Write:
          for (const std::string& r : flow.records) {
            if (!ok) break;
            ok = call("write", [&] { return file->write(r); }) == st::OK;
          }
          break;
        case Action::Position: {
          // The first record, a note, the rest, a point back and the record again.
          host::files::Record r;
          Position noted{};
          ok = call("read", [&] { return file->read(&r, flow.piece); }) == st::OK;
          if (ok) o.records.emplace_back(r.view());
          ok = ok && call("note", [&] { return file->note(&noted); }) == st::OK;
          ok = ok && call("read", [&] { return read_records(*file, flow.piece, &o.records); }) ==
                         st::END_OF_DATA;
          ok = ok && call("point", [&] { return file->point(noted); }) == st::OK;
          ok = ok && call("read", [&] { return file->read(&r, flow.piece); }) == st::OK;
          if (ok) o.records.emplace_back(r.view());
          break;
        }
      }
      if (flow.items) {
        InfoRecord info;
        bool described = call("info", [&] { return file->info(&info); }) == st::OK;
        std::vector<std::pair<std::string, std::string>> items;
        described = call("items", [&] { return file->items(&items); }) == st::OK && described;
        ok = ok && described;
      }
      ok = call("close", [&] { return file->close(); }) == st::OK && ok;
    }
    ok = call("deassign", [&] { return host::references::deassign(REFERENCE).status; }) ==
             st::OK &&
         ok;
  }
  o.all_ok = ok;
  return o;
}

}  // namespace

FlowOutcome run_flow(const Flow& flow, ftptest::ScriptServer& server, Counter counter) {
  const size_t uploads_before = server.record().uploads.size();
  const std::string host =
      flow.ipv6_by_name ? kDualName + (":" + std::to_string(server.port())) : server.host();
  FlowOutcome o = run_calls(flow, host, counter);
  // The server's side of the session is over before its record is looked at.
  server.wait_until(
      [&](const ftptest::Record& r) { return r.sessions_ended >= r.sessions_started; }, 5000);
  ftptest::Record record = server.record();
  if (record.uploads.size() > uploads_before) {
    o.finished_upload = true;
    o.upload = record.uploads.back();
  }
  return o;
}

FlowOutcome run_flow(const Flow& flow, ftptest::TlsScriptServer& server, Counter counter) {
  if (flow.action == Action::Write) server.write_file(flow.remote, "");
  FlowOutcome o = run_calls(flow, server.address(), counter);
  if (flow.action == Action::Write) {
    o.upload = server.read_file(flow.remote);
    o.finished_upload = !o.upload.empty();
  }
  return o;
}

namespace {

long g_nth = 0;
long g_calls = 0;
SysFault g_kind = SysFault::Fail;
bool g_installed = false;
SockSyscalls g_saved{};
std::set<int> g_sockets;  // descriptors the module made and has not closed

// True when this call is the one to fail (stalls only hit poll).
bool strikes(bool is_poll) {
  if (g_nth == 0) return false;
  if (g_kind == SysFault::Stall && !is_poll) return false;
  return ++g_calls == g_nth;
}

int f_socket(int d, int t, int p) {
  if (strikes(false)) return errno = EMFILE, -1;
  int s = ftptest::original().socket(d, t, p);
  if (s >= 0) g_sockets.insert(s);
  return s;
}
int f_connect(int fd, const sockaddr* a, socklen_t l) {
  if (strikes(false)) return errno = ECONNREFUSED, -1;
  return ftptest::original().connect(fd, a, l);
}
int f_bind(int fd, const sockaddr* a, socklen_t l) {
  if (strikes(false)) return errno = EADDRINUSE, -1;
  return ftptest::original().bind(fd, a, l);
}
int f_listen(int fd, int backlog) {
  if (strikes(false)) return errno = EADDRINUSE, -1;
  return ftptest::original().listen(fd, backlog);
}
int f_accept(int fd, sockaddr* a, socklen_t* l) {
  if (strikes(false)) return errno = ECONNABORTED, -1;
  int s = ftptest::original().accept(fd, a, l);
  if (s >= 0) g_sockets.insert(s);
  return s;
}
int f_getsockname(int fd, sockaddr* a, socklen_t* l) {
  if (strikes(false)) return errno = ENOBUFS, -1;
  return ftptest::original().getsockname(fd, a, l);
}
int f_poll(pollfd* entries, nfds_t count, int timeout_ms) {
  if (strikes(true)) {
    if (g_kind == SysFault::Fail) return errno = ENOMEM, -1;
    // Nothing ready: a server that has gone quiet.
    for (nfds_t i = 0; i < count; ++i) entries[i].revents = 0;
    return 0;
  }
  return ftptest::original().poll(entries, count, timeout_ms);
}
ssize_t f_read(int fd, void* b, size_t l) {
  if (strikes(false)) return errno = ECONNRESET, -1;
  return ftptest::original().read(fd, b, l);
}
ssize_t f_recv(int fd, void* b, size_t l, int flags) {
  if (strikes(false)) return errno = ECONNRESET, -1;
  return ftptest::original().recv(fd, b, l, flags);
}
ssize_t f_write(int fd, const void* b, size_t l) {
  if (strikes(false)) return errno = EPIPE, -1;
  return ftptest::original().write(fd, b, l);
}
int f_close(int fd) {
  g_sockets.erase(fd);
  return ftptest::original().close(fd);
}
hostent* f_gethostbyname(const char* name) {
  if (strikes(false)) return nullptr;
  return ftptest::original().gethostbyname(name);
}
// Passes on to the resolver in place before the wrappers (a test's own).
int f_getaddrinfo(const char* name, const char* service, const addrinfo* hints,
                  addrinfo** result) {
  if (strikes(false)) return EAI_AGAIN;
  return g_saved.getaddrinfo(name, service, hints, result);
}

}  // namespace

void install_syscall_wrappers() {
  ftptest::original();  // the C library's routines, taken before anything is wrapped
  SockSyscalls& table = ftptest::syscalls();
  if (!g_installed) g_saved = table;
  g_installed = true;
  g_sockets.clear();
  table.socket = f_socket;
  table.connect = f_connect;
  table.bind = f_bind;
  table.listen = f_listen;
  table.accept = f_accept;
  table.getsockname = f_getsockname;
  table.poll = f_poll;
  table.read = f_read;
  table.recv = f_recv;
  table.write = f_write;
  table.close = f_close;
  table.gethostbyname = f_gethostbyname;
  table.getaddrinfo = f_getaddrinfo;
}

void remove_syscall_wrappers() {
  if (g_installed) ftptest::syscalls() = g_saved;
  g_installed = false;
  g_nth = 0;
}

void arm_syscall_fault(long nth, SysFault kind) {
  g_nth = nth;
  g_calls = 0;
  g_kind = kind;
}

int module_sockets() { return int(g_sockets.size()); }

long syscalls_since_armed() { return g_calls; }

}  // namespace ftptest

// The scripted FTP server of the protocol tests: one thread, one session at a
// time, every wait bounded and ended early by stop().
#include "tests/support/ftp_script_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

namespace ftptest {

// ------------------------------------------------------------------ script

Writes::Writes(std::string text) {
  if (!text.empty()) chunks.push_back({std::move(text), 0});
}

Writes Writes::split(const std::string& text, std::size_t size, int delay_ms) {
  Writes w;
  for (std::size_t at = 0; at < text.size(); at += size)
    w.chunks.push_back({text.substr(at, size), at == 0 ? 0 : delay_ms});
  return w;
}

Writes Writes::delayed(int delay_ms, std::string text) { return {{std::move(text), delay_ms}}; }

std::string Writes::bytes() const {
  std::string all;
  for (const Chunk& c : chunks) all += c.bytes;
  return all;
}

Data Data::sending(Writes writes, bool reset) {
  Data d;
  d.kind = Kind::Send;
  d.send = std::move(writes);
  d.reset = reset;
  return d;
}

Data Data::receiving(std::size_t limit, bool reset) {
  Data d;
  d.kind = Kind::Receive;
  d.receive_limit = limit;
  d.reset = reset;
  return d;
}

Script& Script::step(Step s) {
  for (char& c : s.verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  steps.push_back(std::move(s));
  return *this;
}

Script& Script::on(std::string verb, Writes reply, Then then) {
  return step({std::move(verb), std::move(reply), {}, {}, then, false});
}

Script& Script::always(std::string verb, Writes reply) {
  return step({std::move(verb), std::move(reply), {}, {}, Then::Auto, true});
}

Script& Script::transfer(std::string verb, Writes preliminary, Data data, Writes final_reply) {
  return step({std::move(verb), std::move(preliminary), std::move(data), std::move(final_reply),
               Then::Auto, false});
}

Script& Script::defaults() {
  always("USER", "331 Password required.\r\n");
  always("PASS", "230 Logged in.\r\n");
  always("PORT", "200 PORT command successful.\r\n");
  always("EPRT", "200 EPRT command successful.\r\n");
  always("EPSV", "229 Entering Extended Passive Mode (|||{port}|)\r\n");
  always("PASV", "227 Entering Passive Mode ({h},{p1},{p2})\r\n");
  always("TYPE", "200 Type set.\r\n");
  always("CWD", "250 Directory changed.\r\n");
  always("PWD", "257 \"/\" is the current directory.\r\n");
  always("ABOR", "225 No transfer to abort.\r\n");
  return always("QUIT", "221 Goodbye.\r\n");
}

std::string mask_port(const std::string& line) {
  if (line.compare(0, 5, "EPRT ") == 0 && line.size() > 6) {
    // EPRT |2|address|port|: the port is the field before the last delimiter.
    const std::size_t last = line.rfind(line[5]);
    const std::size_t before = last == 0 ? std::string::npos : line.rfind(line[5], last - 1);
    if (before == std::string::npos || before <= 5) return line;
    return line.substr(0, before + 1) + "*" + line.substr(last);
  }
  if (line.size() < 5 || line.compare(0, 5, "PORT ") != 0) return line;
  std::size_t at = 5;
  for (int commas = 0; commas < 4; ++commas) {
    at = line.find(',', at);
    if (at == std::string::npos) return line;
    ++at;
  }
  return line.substr(0, at) + "*,*";
}

// ----------------------------------------------------------------- session

struct ScriptServer::Session {
  Fd control;
  Fd data;
  Fd passive;       // listening on the port the last passive reply offered
  Fd queue_filler;  // Script::passive_never_accepts: the connection that fills the queue
  std::string pending;    // bytes received and not yet taken as command lines
  std::string port_host;  // the last PORT's address, "" when none or unusable
  int port_port = 0;
};

namespace {

std::string verb_of(const std::string& line) {
  std::string verb;
  for (char c : line) {
    if (c == ' ' || c == '\r' || c == '\n') break;
    verb += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return verb;
}

}  // namespace

ScriptServer::ScriptServer(Script script, Timeouts timeouts)
    : script_(std::move(script)), timeouts_(timeouts), used_(script_.steps.size(), false) {}

ScriptServer::~ScriptServer() { stop(); }

bool ScriptServer::start(std::string* error, const std::string& address, int port) {
  if (thread_.joinable() || listener_) {
    if (error) *error = "the server was started already";
    return false;
  }
  address_ = address;
  listener_ = address.empty() ? listen_on_own_loopback(port, &address_, error)
                              : listen_tcp(address, port, error);
  if (!listener_) return false;
  port_ = local_port(listener_.get());
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    if (error) *error = "pipe2 failed";
    listener_.reset();
    return false;
  }
  stop_read_.reset(pipe_fds[0]);
  stop_write_.reset(pipe_fds[1]);
  thread_ = std::thread([this] { run(); });
  return true;
}

void ScriptServer::stop() {
  if (stop_write_) {
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_write_.get(), &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  listener_.reset();
  stop_read_.reset();
  stop_write_.reset();
}

void ScriptServer::note(std::function<void(Record&)> change) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    change(record_);
  }
  changed_.notify_all();
}

void ScriptServer::problem(const std::string& text) {
  note([&](Record& r) { r.problems.push_back(text); });
}

Record ScriptServer::record() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return record_;
}

std::string ScriptServer::transcript() const {
  std::string text;
  for (const std::string& line : record().commands) text += mask_port(line) + "\n";
  return text;
}

testing::AssertionResult ScriptServer::wait_until(const std::function<bool(const Record&)>& done,
                                                  int timeout_ms, const std::string& what) const {
  std::unique_lock<std::mutex> lock(mutex_);
  if (changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return done(record_); }))
    return testing::AssertionSuccess();
  auto failure = testing::AssertionFailure();
  failure << "the scripted server on " << address_ << " waited " << timeout_ms << " ms for "
          << (what.empty() ? "an event that did not come" : what) << "; sessions started "
          << record_.sessions_started << ", ended " << record_.sessions_ended << "; commands:";
  for (const std::string& command : record_.commands) failure << " [" << command << "]";
  for (const std::string& problem : record_.problems) failure << "\nproblem: " << problem;
  return failure;
}

testing::AssertionResult ScriptServer::wait_sessions_ended(int count, int timeout_ms) const {
  return wait_until([count](const Record& r) { return r.sessions_ended >= count; }, timeout_ms,
                    std::to_string(count) + " session(s) to end");
}

void ScriptServer::run() {
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeouts_.lifetime_ms);
  for (int served = 0; script_.max_sessions == 0 || served < script_.max_sessions; ++served) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    Wait w =
        wait_for(listener_.get(), POLLIN, std::max<int>(0, int(left.count())), stop_read_.get());
    if (w == Wait::Timeout) problem("the server's lifetime ended");
    if (w != Wait::Ready) break;
    Session session;
    session.control = accept_within(listener_.get(), 0);
    if (!session.control) continue;
    note([](Record& r) { ++r.sessions_started; });
    serve(session);
    drain(session);
    note([](Record& r) { ++r.sessions_ended; });
  }
  listener_.reset();  // later clients are refused, not left waiting
}

void ScriptServer::serve(Session& s) {
  int ctl = s.control.get();
  if (!write(ctl, script_.greeting)) return;
  if (script_.after_greeting == Then::Reset) s.control.reset_connection();
  if (script_.after_greeting == Then::Close || script_.after_greeting == Then::Reset) return;

  for (;;) {
    std::string line;
    if (!next_line(s, &line)) {
      Wait w = wait_for(ctl, POLLIN, timeouts_.idle_ms, stop_read_.get());
      if (w == Wait::Timeout)
        problem("no command within " + std::to_string(timeouts_.idle_ms) + " ms");
      if (w != Wait::Ready) return;
      std::string got;
      if (receive_some(ctl, got, 0) <= 0) return;  // the client closed or reset the connection
      note([&](Record& r) { r.control_bytes += got; });
      s.pending += got;
      continue;
    }
    std::string verb = verb_of(line);
    if (verb == "PORT") handle_port(s, line);
    if (verb == "EPRT") handle_eprt(s, line);

    const Step* step = match(verb, line);
    if (!step) {
      note([&](Record& r) { r.unscripted.push_back(line); });
      if (!write(ctl, script_.fallback)) return;
      continue;
    }
    Writes reply = step->reply;
    if (!offer_passive(s, &reply)) return;
    if (!write(ctl, reply)) return;
    bool whole = true;
    if (step->data.kind != Data::Kind::None) whole = transfer_data(s, step->data);
    if ((whole || !step->quiet_when_broken_off) && !write(ctl, step->after)) return;
    Then then = step->then;
    if (then == Then::Auto) then = verb == "QUIT" ? Then::Close : Then::Continue;
    if (then == Then::Reset) s.control.reset_connection();
    if (then != Then::Continue) return;
  }
}

// Takes the next complete command line out of `pending` and records it.
bool ScriptServer::next_line(Session& s, std::string* line) {
  std::size_t end = s.pending.find('\n');
  if (end == std::string::npos) return false;
  *line = s.pending.substr(0, end);
  s.pending.erase(0, end + 1);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  note([&](Record& r) { r.commands.push_back(*line); });
  return true;
}

// At the end of a session (also on stop): records whatever the client had
// already sent, an unterminated last line included.
void ScriptServer::drain(Session& s) {
  std::string got;
  while (receive_some(s.control.get(), got, 0) > 0) {
  }
  note([&](Record& r) { r.control_bytes += got; });
  s.pending += got;
  for (std::string line; next_line(s, &line);) {
  }
  if (!s.pending.empty()) {
    problem("unterminated command at the end: " + s.pending);
    note([&](Record& r) { r.commands.push_back(s.pending); });
    s.pending.clear();
  }
}

const Step* ScriptServer::match(const std::string& verb, const std::string& line) {
  auto fits = [&](const Step& st) { return st.verb.empty() || st.verb == verb; };
  for (std::size_t i = 0; i < script_.steps.size(); ++i) {
    const Step& st = script_.steps[i];
    if (st.repeat || used_[i]) continue;
    if (fits(st)) {
      used_[i] = true;
      return &st;
    }
    if (script_.strict) {
      problem("expected " + st.verb + ", got: " + line);
      break;
    }
  }
  for (const Step& st : script_.steps)
    if (st.repeat && fits(st)) return &st;
  return nullptr;
}

void ScriptServer::handle_port(Session& s, const std::string& line) {
  unsigned h[4], p[2];
  char extra;
  s.data.reset();  // a new PORT replaces any earlier data connection
  s.passive.reset();
  s.port_host.clear();
  if (std::sscanf(line.c_str() + 4, " %u,%u,%u,%u,%u,%u%c", &h[0], &h[1], &h[2], &h[3], &p[0],
                  &p[1], &extra) != 6 ||
      std::max({h[0], h[1], h[2], h[3], p[0], p[1]}) > 255) {
    problem("unusable PORT: " + line);
    return;
  }
  s.port_host = std::to_string(h[0]) + "." + std::to_string(h[1]) + "." + std::to_string(h[2]) +
                "." + std::to_string(h[3]);
  s.port_port = int(p[0] * 256 + p[1]);
  note([&](Record& r) { r.ports.push_back(s.port_host + ":" + std::to_string(s.port_port)); });
  if (script_.connect_at_port) connect_data(s);
}

void ScriptServer::handle_eprt(Session& s, const std::string& line) {
  s.data.reset();
  s.passive.reset();
  s.port_host.clear();
  // EPRT |family|address|port| with any delimiter.
  std::vector<std::string> fields;
  if (line.size() > 6) {
    const char d = line[5];
    std::size_t at = 6;
    for (std::size_t next; (next = line.find(d, at)) != std::string::npos; at = next + 1)
      fields.push_back(line.substr(at, next - at));
  }
  const bool usable = fields.size() == 3 && (fields[0] == "1" || fields[0] == "2") &&
                      !fields[1].empty() && fields[2].find_first_not_of("0123456789") ==
                                                std::string::npos && !fields[2].empty();
  if (!usable) {
    problem("unusable EPRT: " + line);
    return;
  }
  s.port_host = fields[1];
  s.port_port = std::stoi(fields[2]);
  note([&](Record& r) { r.ports.push_back("[" + s.port_host + "]:" + fields[2]); });
  if (script_.connect_at_port) connect_data(s);
}

std::string ScriptServer::host() const { return host_value(address_, port_); }

bool ScriptServer::connect_data(Session& s) {
  if (s.port_host.empty()) {
    problem("a data connection without a usable PORT");
    return false;
  }
  std::string error;
  s.data = connect_tcp(s.port_host, s.port_port, timeouts_.data_ms, &error, address_);
  if (!s.data) problem("data connection to the PORT address: " + error);
  return bool(s.data);
}

namespace {

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

bool names_passive_port(const Writes& reply) {
  for (const char* mark : {"{port}", "{p1}", "{p2}", "{h}"})
    if (reply.bytes().find(mark) != std::string::npos) return true;
  return false;
}

}  // namespace

// False only when the passive port cannot be made (a problem is recorded).
bool ScriptServer::offer_passive(Session& s, Writes* reply) {
  if (!names_passive_port(*reply)) return true;
  s.data.reset();  // a new passive port replaces any earlier data connection
  s.queue_filler.reset();
  std::string error;
  s.passive = listen_tcp(address_, 0, &error);
  if (!s.passive) {
    problem("passive port: " + error);
    return false;
  }
  const int port = local_port(s.passive.get());
  if (script_.passive_never_accepts) {
    // A queue of one, taken by a connection of our own: later SYNs are dropped.
    ::listen(s.passive.get(), 0);
    s.queue_filler = connect_tcp(address_, port, timeouts_.data_ms, &error);
    if (!s.queue_filler) problem("passive queue filler: " + error);
  }
  std::string host = address_;
  std::replace(host.begin(), host.end(), '.', ',');
  for (Chunk& c : reply->chunks) {
    replace_all(c.bytes, "{port}", std::to_string(port));
    replace_all(c.bytes, "{p1}", std::to_string(port / 256));
    replace_all(c.bytes, "{p2}", std::to_string(port % 256));
    replace_all(c.bytes, "{h}", host);
  }
  return true;
}

bool ScriptServer::accept_passive(Session& s) {
  s.data = accept_within(s.passive.get(), timeouts_.data_ms, stop_read_.get());
  s.passive.reset();
  if (!s.data) {
    problem("no data connection to the passive port");
    return false;
  }
  note([](Record& r) { ++r.passive_connections; });
  return true;
}

bool ScriptServer::transfer_data(Session& s, const Data& data) {
  if (!s.data && !(s.passive ? accept_passive(s) : connect_data(s))) return true;
  int fd = s.data.get();
  bool whole = true;
  if (data.kind == Data::Kind::Send) {
    for (const Chunk& c : data.send.chunks) {
      if (!pause_unless_stopped(c.delay_ms, stop_read_.get())) break;
      if (!send_all(fd, c.bytes, timeouts_.data_ms, stop_read_.get())) {
        problem("data not sent (the client closed, or did not read in time)");
        whole = false;
        break;
      }
    }
  } else {
    note([](Record& r) { r.uploads.emplace_back(); });
    for (std::size_t got = 0; got < data.receive_limit;) {
      std::string bytes;
      long n = receive_some(fd, bytes, timeouts_.data_ms, stop_read_.get(),
                            std::min<std::size_t>(65536, data.receive_limit - got));
      if (n < 0)
        problem("data: nothing received within " + std::to_string(timeouts_.data_ms) + " ms");
      if (n <= 0) break;
      got += std::size_t(n);
      note([&](Record& r) { r.uploads.back() += bytes; });
    }
  }
  if (data.reset)
    s.data.reset_connection();
  else
    s.data.reset();
  return whole;
}

bool ScriptServer::write(int fd, const Writes& writes) {
  for (const Chunk& c : writes.chunks) {
    if (!pause_unless_stopped(c.delay_ms, stop_read_.get())) return false;
    if (!send_all(fd, c.bytes, timeouts_.data_ms, stop_read_.get())) {
      problem("reply not written: " + c.bytes);
      return false;
    }
  }
  return true;
}

}  // namespace ftptest

#include "host/prompt.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "module/status.h"

namespace host::prompt {
namespace {

Responder g_responder;
std::vector<Request> g_asked;

// A byte read from `fd` when poll says it is there; 0 at the end of the
// terminal, -1 when `cancel_fd` became readable first.
int next_byte(int fd, int cancel_fd, char* c) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {cancel_fd, POLLIN, 0}};
    int ready = poll(fds, cancel_fd >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (cancel_fd >= 0 && fds[1].revents)) return -1;
    ssize_t n = read(fd, c, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 ? 1 : 0;
  }
}

// Reads one line from the terminal, without echo when asked to.
std::optional<std::string> read_terminal(const std::string& shown, bool echo, int cancel_fd) {
  int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  termios saved{};
  bool restore = false;
  if (!echo && tcgetattr(fd, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    restore = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
  }
  (void)!write(fd, shown.data(), shown.size());
  std::string line;
  char c;
  bool got = false;
  bool cancelled = false;
  for (int n; (n = next_byte(fd, cancel_fd, &c)) != 0;) {
    if (n < 0) {
      cancelled = true;
      break;
    }
    got = true;
    if (c == '\n') break;
    line += c;
  }
  if (restore) {
    tcsetattr(fd, TCSAFLUSH, &saved);
    (void)!write(fd, "\n", 1);
  }
  close(fd);
  if (!got || cancelled) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

bool is_yes(const std::string& answer) {
  std::string a;
  for (char c : answer)
    if (!std::isspace(static_cast<unsigned char>(c))) a += char(std::tolower(static_cast<unsigned char>(c)));
  return a == "y" || a == "yes";
}

void set_responder(Responder responder) { g_responder = std::move(responder); }

Responder terminal_responder(int cancel_fd) {
  return [cancel_fd](const Request& r) -> std::optional<std::string> {
    std::string shown = r.kind == QUESTION ? r.title + ": " + r.text + " (y/n) "
                                           : r.title + " " + r.text + " ";
    return read_terminal(shown, r.kind != PASSWORD, cancel_fd);
  };
}

Responder scripted_responder(std::vector<std::string> answers) {
  auto queue = std::make_shared<std::vector<std::string>>(std::move(answers));
  auto next = std::make_shared<size_t>(0);
  return [queue, next](const Request&) -> std::optional<std::string> {
    if (*next >= queue->size()) return std::nullopt;
    return (*queue)[(*next)++];
  };
}

const std::vector<Request>& asked() { return g_asked; }
void clear_asked() { g_asked.clear(); }

}  // namespace host::prompt

using namespace host::prompt;

// wurrqst(kind, prompt, title, answer buffer, out, maximum). Kinds 3 and 4
// write the answer text (at most `maximum` characters, not terminated) and its
// length through `out`. Kind 0 stores the answer word through `out`: it stays 0
// for "yes" and becomes 1 for "no" or when nobody can be asked.
extern "C" int32_t hs_wurrqst(int32_t kind, const char* text, const char* title, char* answer,
                              int32_t* out, int32_t maximum) {
  Request request{kind, text ? text : "", title ? title : "", maximum};
  g_asked.push_back(request);
  std::optional<std::string> reply = g_responder ? g_responder(request) : std::nullopt;
  if (kind == QUESTION) {
    if (out) *out = reply && is_yes(*reply) ? 0 : 1;
    return st::OK;
  }
  std::string value = reply.value_or("");
  if (maximum < 0) maximum = 0;
  if (value.size() > size_t(maximum)) value.resize(size_t(maximum));
  if (answer && !value.empty()) std::memcpy(answer, value.data(), value.size());
  if (out) *out = int32_t(value.size());
  return st::OK;
}

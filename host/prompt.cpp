#include "host/prompt.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>

#include "module/status.h"

namespace host::prompt {
namespace {

Responder g_responder;
std::vector<Request> g_asked;

// Reads one line from the terminal, without echo when asked to.
std::optional<std::string> read_terminal(const std::string& shown, bool echo) {
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
  while (read(fd, &c, 1) == 1) {
    got = true;
    if (c == '\n') break;
    line += c;
  }
  if (restore) {
    tcsetattr(fd, TCSAFLUSH, &saved);
    (void)!write(fd, "\n", 1);
  }
  close(fd);
  if (!got) return std::nullopt;
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

Responder terminal_responder() {
  return [](const Request& r) -> std::optional<std::string> {
    std::string shown = r.kind == QUESTION ? r.title + ": " + r.text + " (y/n) "
                                           : r.title + " " + r.text + " ";
    return read_terminal(shown, r.kind != PASSWORD);
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

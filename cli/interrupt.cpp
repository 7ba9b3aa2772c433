#include "cli/interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/output.h"
#include "host/events.h"
#include "host/messages.h"
#include "host/prompt.h"
#include "module/msgno.h"

namespace cli {
namespace {

using host::prompt::Request;

volatile std::sig_atomic_t g_prompting = 0;  // a question is being read from the terminal
int g_cancel[2] = {-1, -1};  // Ctrl-C at a question writes a byte here, which ends the read
bool g_user_interrupted = false;
volatile std::sig_atomic_t g_interrupt_requested = 0;

void end_by_signal() {
  std::signal(SIGINT, SIG_DFL);
  std::raise(SIGINT);
}

void on_interrupt(int) {
  g_interrupt_requested = 1;
  if (g_prompting) {
    char byte = 1;
    (void)!write(g_cancel[1], &byte, 1);
    return;
  }
  if (host::events::break_pending()) {
    end_by_signal();
    return;
  }
  host::events::request_break();
}

bool is_break_question(const Request& r) {
  const char* question = host::messages::catalog_text(msg::GROUP, msg::BREAK_QUESTION);
  return r.kind == host::prompt::QUESTION && question && r.text == question;
}

// Takes the bytes of Ctrl-C at a question; true when there were any.
bool take_cancel() {
  char bytes[16];
  bool any = false;
  while (read(g_cancel[0], bytes, sizeof bytes) > 0) any = true;
  return any;
}

std::optional<std::string> ask(const host::prompt::Responder& terminal, const Request& r) {
  take_cancel();
  clear_progress();
  g_prompting = 1;
  Request on_terminal = r;  // an MGET question holds the server's name
  on_terminal.text = escape_controls(r.text);
  std::optional<std::string> answer = terminal(on_terminal);
  g_prompting = 0;
  bool interrupted = take_cancel();
  if (interrupted) std::fputs("\n", stderr);  // the question's line stays open
  if (is_break_question(r)) {
    if (interrupted || !answer) answer = "yes";
    if (host::prompt::is_yes(*answer)) g_user_interrupted = true;
    else g_interrupt_requested = 0;  // declined: the transfer goes on
  } else if (interrupted) {
    end_by_signal();
  }
  return answer;
}

}  // namespace

void install_interrupt_handling() {
  if (pipe2(g_cancel, O_NONBLOCK | O_CLOEXEC) != 0) g_cancel[0] = g_cancel[1] = -1;
  host::prompt::set_responder([terminal = host::prompt::terminal_responder(g_cancel[0])](
                                  const Request& r) { return ask(terminal, r); });
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

bool user_interrupted() { return g_user_interrupted; }

bool interrupt_requested() { return g_interrupt_requested != 0; }

}  // namespace cli

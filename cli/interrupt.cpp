#include "cli/interrupt.h"

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "host/events.h"
#include "host/messages.h"
#include "host/prompt.h"
#include "module/msgno.h"

namespace cli {
namespace {

using host::prompt::Request;

volatile std::sig_atomic_t g_prompting = 0;         // a question is being read from the terminal
volatile std::sig_atomic_t g_prompt_interrupted = 0;  // Ctrl-C came while it was
bool g_user_interrupted = false;

void end_by_signal() {
  std::signal(SIGINT, SIG_DFL);
  std::raise(SIGINT);
}

// The handler has no SA_RESTART: a Ctrl-C at a question ends the read of the
// terminal with EINTR, and the responder sees the flag.
void on_interrupt(int) {
  if (g_prompting) {
    g_prompt_interrupted = 1;
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

std::optional<std::string> ask(const host::prompt::Responder& terminal, const Request& r) {
  g_prompt_interrupted = 0;
  g_prompting = 1;
  std::optional<std::string> answer = terminal(r);
  g_prompting = 0;
  if (g_prompt_interrupted) std::fputs("\n", stderr);  // the question's line stays open
  if (is_break_question(r)) {
    if (g_prompt_interrupted || !answer) answer = "yes";
    if (host::prompt::is_yes(*answer)) g_user_interrupted = true;
  } else if (g_prompt_interrupted) {
    end_by_signal();
  }
  return answer;
}

}  // namespace

void install_interrupt_handling() {
  host::prompt::set_responder(
      [terminal = host::prompt::terminal_responder()](const Request& r) { return ask(terminal, r); });
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

bool user_interrupted() { return g_user_interrupted; }

}  // namespace cli

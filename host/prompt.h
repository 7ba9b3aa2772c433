// Questions to the user (wurrqst): the user id (kind 3), the password (kind 4,
// never echoed) and yes/no questions (kind 0). Who answers is set by the
// program: the CLI answers from the terminal, tests from a script.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace host::prompt {

enum Kind { QUESTION = 0, USER_ID = 3, PASSWORD = 4 };

struct Request {
  int kind;
  std::string text;   // "Userid:", "Password:", or the question
  std::string title;  // the dialog's title
  int maximum;        // longest answer accepted (kinds 3 and 4)
};

// An answer: for kinds 3 and 4 the text (cut to the maximum); for a question
// "yes" or "no" (also "y"/"n", any case). No answer (nullopt) means the user
// could not be asked: the text stays empty and a question counts as "no".
using Responder = std::function<std::optional<std::string>(const Request&)>;

void set_responder(Responder responder);
// An answer that means "yes" to a question: "y" or "yes", any case, blanks
// ignored.
bool is_yes(const std::string& answer);
// Answers from the controlling terminal (no echo for passwords); when there is
// no terminal, nobody is asked. A byte becoming readable on `cancel_fd` (when
// it is not -1) ends a question being read with no answer; the byte stays for
// the caller to take. Signals do not end a read.
Responder terminal_responder(int cancel_fd = -1);
// Answers in order from a list; when the list runs out, nobody is asked.
Responder scripted_responder(std::vector<std::string> answers);

// Every request since the last clear (tests check what was asked).
const std::vector<Request>& asked();
void clear_asked();

}  // namespace host::prompt

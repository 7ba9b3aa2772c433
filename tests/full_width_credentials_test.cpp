// User ids and passwords of the full 128 characters, which fill their fields
// without a terminator: each goes out as exactly those characters in its own
// command, shows whole in messages and the saved log-in, and no password
// byte ever leaves in anything but PASS.
#include <gtest/gtest.h>

#include <string>

#include "host/messages.h"
#include "host/prompt.h"
#include "host/references.h"
#include "host/variables.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Script;
using ftptest::OpenFile;

const std::string USER128(128, 'u');
const std::string PASS128 = std::string(120, 'p') + "SECRETPW";

class FullWidthCredentials : public ftptest::SessionTest {
 protected:
  void serve_refusing_pass() {
    Script script;
    script.defaults().on("PASS", "530 Not this time.\r\n");
    serve(script);
  }
  // The argument of every command with `verb`, in order.
  std::vector<std::string> sent(const std::string& verb) {
    std::vector<std::string> args;
    for (const auto& c : server().record().commands)
      if (c.rfind(verb + " ", 0) == 0) args.push_back(c.substr(verb.size() + 1));
    return args;
  }
  void expect_secret_nowhere_but_pass() {
    for (const auto& c : server().record().commands) {
      if (c.rfind("PASS ", 0) != 0) {
        EXPECT_EQ(c.find("SECRETPW"), std::string::npos) << "sent: " << c;
      }
    }
    for (const auto& line : host::messages::log())
      EXPECT_EQ(line.text.find("SECRETPW"), std::string::npos) << "logged: " << line.text;
  }
};

TEST_F(FullWidthCredentials, GoOutWholeAndOnlyInTheirOwnCommands) {
  serve(Script().defaults());
  assign("F", "", "USER='" + USER128 + "' PASS='" + PASS128 + "' SAVEUSER DEBUG RHELP");
  for (int open_count = 0; open_count < 2; ++open_count) {  // the second logs in with the saved pair
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open("F", &file), st::OK);
    EXPECT_EQ(file->close(), st::OK);
  }
  EXPECT_EQ(sent("USER"), std::vector<std::string>(2, USER128));
  EXPECT_EQ(sent("PASS"), std::vector<std::string>(2, PASS128));
  auto complete = logged(msg::OPEN_COMPLETE);
  ASSERT_FALSE(complete.empty());
  EXPECT_NE(complete.front().find(USER128), std::string::npos) << complete.front();
  expect_secret_nowhere_but_pass();
}

TEST_F(FullWidthCredentials, ARefusedLogInNamesTheWholeUserAndNoPassword) {
  serve_refusing_pass();
  assign("F", "f", "USER='" + USER128 + "' PASS='" + PASS128 + "'");
  std::unique_ptr<OpenFile> file;
  EXPECT_TRUE(st::is_failure(open("F", &file)));
  auto texts = failure_texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find(USER128), std::string::npos) << texts[0];
  EXPECT_EQ(texts[0].find("SECRETPW"), std::string::npos) << texts[0];
  expect_secret_nowhere_but_pass();
}

// A host may terminate the answer it writes at answer[maximum]: asked with
// the interface's 127, it stays inside the 128-byte field.
TEST_F(FullWidthCredentials, PromptedAnswersAreAskedForWithTheInterfacesMaximum) {
  serve(Script().defaults());
  host::prompt::set_responder(host::prompt::scripted_responder({USER128, PASS128}));
  assign("F", "", "PROMPT RHELP");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::OK);
  if (file) {
    EXPECT_EQ(file->close(), st::OK);
  }
  for (const auto& request : host::prompt::asked()) EXPECT_EQ(request.maximum, 127);
  EXPECT_EQ(sent("USER"), std::vector<std::string>{USER128.substr(0, 127)});
  EXPECT_EQ(sent("PASS"), std::vector<std::string>{PASS128.substr(0, 127)});
}

TEST_F(FullWidthCredentials, AHostVariableOfTheFullWidthIsTheUserId) {
  serve(Script().defaults());
  host::variables::set("FTPUSER", USER128);
  assign("F", "", "PASS='" + PASS128 + "' RHELP");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::OK);
  if (file) {
    EXPECT_EQ(file->close(), st::OK);
  }
  host::variables::clear();
  EXPECT_EQ(sent("USER"), std::vector<std::string>{USER128});
  expect_secret_nowhere_but_pass();
}

}  // namespace

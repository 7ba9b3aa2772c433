// Passwords stay secret: they never appear in a log line (DEBUG shows X for
// them), a message, a failure text or the echo of a refused statement, and
// no block the module gives back to the host still holds one -- every freed
// block is scanned as it goes (host::memory::set_free_inspector). Covered:
// the PASS option, SAVEUSER's saved copy, a prompted password, a .netrc
// password, a refused log-in and a refused statement.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "host/memory.h"
#include "host/messages.h"
#include "host/prompt.h"
#include "host/references.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::OpenFile;

constexpr const char* SECRET = "Zq7-hush-9Xw";

class Secrets : public ftptest::SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    host::memory::set_free_inspector([this](const void* block, int32_t size) {
      ++freed_;
      if (size >= int32_t(std::strlen(SECRET)) &&
          memmem(block, size_t(size), SECRET, std::strlen(SECRET)))
        holding_.push_back(size);
    });
  }
  void TearDown() override {
    SessionTest::TearDown();  // deassigns what is left: those blocks are scanned too
    host::memory::set_free_inspector(nullptr);
    EXPECT_TRUE(holding_.empty()) << "freed blocks still holding the password, sizes "
                                  << testing::PrintToString(holding_);
    EXPECT_GT(freed_, 0);
    for (const auto& line : host::messages::log())
      EXPECT_EQ(line.text.find(SECRET), std::string::npos) << "logged: " << line.text;
  }

  Script willing() {
    ftptest::Step retr;
    retr.verb = "RETR";
    retr.reply = "150 Here.\r\n";
    retr.data = Data::sending("a\r\n");
    retr.after = "226 Done.\r\n";
    retr.repeat = true;
    Script script;
    script.defaults().step(retr);
    return script;
  }
  // Opens F, reads it through and closes it; the open's status.
  int32_t read_once() {
    std::unique_ptr<OpenFile> file;
    int32_t status = open("F", &file);
    if (status == st::OK) {
      int32_t end = 0;
      read_all(*file, &end);
      EXPECT_EQ(file->close(), st::OK);
    }
    for (const auto& t : failure_texts())
      EXPECT_EQ(t.find(SECRET), std::string::npos) << "failure text: " << t;
    return status;
  }
  std::string sent_password() {
    for (const auto& c : server().record().commands)
      if (c.rfind("PASS ", 0) == 0) return c.substr(5);
    return "";
  }

  int freed_ = 0;
  std::vector<int32_t> holding_;
};

TEST_F(Secrets, TheOptionAndTheSavedCopyGoWithoutATrace) {
  serve(willing());
  assign("F", "f", std::string("USER='u' PASS='") + SECRET + "' SAVEUSER DEBUG");
  EXPECT_EQ(read_once(), st::OK);
  EXPECT_EQ(read_once(), st::OK);  // with the password SAVEUSER kept
  EXPECT_TRUE(host::references::deassign("F").ok());
  EXPECT_EQ(sent_password(), SECRET);
  bool masked = false;
  for (const auto& line : logged(msg::COMMAND_SENT))
    masked = masked || line.find("PASS XXXX") != std::string::npos;
  EXPECT_TRUE(masked) << "DEBUG shows the PASS command with its password masked";
}

TEST_F(Secrets, ARefusedLogInSaysNothingOfThePassword) {
  Script script;
  script.defaults().on("PASS", std::string("530 Password ") + "refused.\r\n");
  serve(script);
  assign("F", "f", std::string("USER='u' PASS='") + SECRET + "' DEBUG");
  EXPECT_TRUE(st::is_failure(read_once()));
}

TEST_F(Secrets, APromptedPasswordIsForgottenWithTheFile) {
  serve(willing());
  host::prompt::set_responder(host::prompt::scripted_responder({SECRET}));
  assign("F", "f", "USER='u' PROMPT DEBUG");
  EXPECT_EQ(read_once(), st::OK);
  EXPECT_EQ(sent_password(), SECRET);
}

TEST_F(Secrets, ARefusedStatementEchoesThePasswordMasked) {
  auto r = host::references::assign("F", "f", std::string("PASS='") + SECRET + "' NOSUCHOPTION");
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.echo.find(SECRET), std::string::npos) << r.echo;
  EXPECT_EQ(r.message.find(SECRET), std::string::npos) << r.message;
}

TEST_F(Secrets, ANetrcPasswordLeavesNoCopyBehind) {
  char dir[] = "/tmp/ftpam-secrets-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string netrc = std::string(dir) + "/.netrc";
  std::ofstream(netrc) << "machine secrethost login u password " << SECRET << "\n";
  chmod(netrc.c_str(), 0600);
  const char* old = std::getenv("HOME");
  const std::string old_home = old ? old : "";
  setenv("HOME", dir, 1);
  serve(willing());
  // MACH names the .netrc entry; HOST (after it) still says where to connect.
  auto r = host::references::assign(
      "F", "f", "MACH='secrethost' HOST='" + server().address() + "' DEBUG");
  if (old) setenv("HOME", old_home.c_str(), 1);
  else unsetenv("HOME");
  unlink(netrc.c_str());
  rmdir(dir);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(read_once(), st::OK);
  EXPECT_EQ(sent_password(), SECRET);
}

}  // namespace

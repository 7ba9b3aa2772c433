// The control connection against a scripted server: open with greeting and
// log-in, the prompts, saved credentials, the DEBUG transcript, multi-line
// replies, HELP, STAT and raw commands read as records, close with QUIT,
// owner termination, breaks, and commands that must never be sent.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "ftp/ftp_file.h"
#include "ftp/reference/method_instance.h"
#include "host/events.h"
#include "host/memory.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/prompt.h"
#include "host/spool.h"
#include "host/variables.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/loaded_module.h"
#include "tests/support/loopback.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Script;
using ftptest::Then;
using ftptest::Writes;
using ftptest::OpenFile;
using ftptest::OpenParams;
using Lines = std::vector<std::string>;

MethodInstance* instance() { return ftptest::module().entry()->instance; }

std::vector<FtpFile*> open_list() {
  std::vector<FtpFile*> files;
  for (FtpFile* f = instance() ? instance()->open_files : nullptr; f; f = f->next)
    files.push_back(f);
  return files;
}

class ControlConnection : public ftptest::SessionTest {
 protected:
  // Opens `name`, expecting `status`; returns the file (null on failure).
  std::unique_ptr<OpenFile> open_expecting(const std::string& name, int32_t status,
                                           OpenParams params = {}) {
    std::unique_ptr<OpenFile> file;
    EXPECT_EQ(open(name, &file, params), status) << host::messages::describe_failure(status);
    return file;
  }
  // A willing server (Script::defaults) that answers `verb` once with `reply`.
  void serve_willing(const char* verb, Writes reply) {
    Script script;
    script.defaults().on(verb, std::move(reply));
    serve(script);
  }
  std::string transcript_after_close(int sessions = 1) {
    EXPECT_TRUE(server().wait_sessions_ended(sessions, 5000));
    return server().transcript();
  }
};

// ---- Log-in -------------------------------------------------------------

struct LoginCase {
  const char* name;
  Writes greeting;
  Writes user_reply;
  Writes pass_reply;  // "" with pass_then Close: the server hangs up instead
  Then pass_then;
  int32_t status;
  const char* transcript;
  Lines texts;  // failure texts handed over
};

class Login : public ControlConnection, public testing::WithParamInterface<LoginCase> {};

TEST_P(Login, RepliesDecideTheOutcome) {
  const LoginCase& c = GetParam();
  Script script;
  script.greeting = c.greeting;
  script.on("USER", c.user_reply).on("PASS", c.pass_reply, c.pass_then).defaults();
  script.on("HELP", "214 ok\r\n");
  serve(script);
  assign("LOGIN", "", "USER='bob' PASS='pw' RHELP");
  auto file = open_expecting("LOGIN", c.status);
  EXPECT_EQ(failure_texts(), c.texts);
  if (file) {
    EXPECT_EQ(file->handle()->reply_code, 0);
    EXPECT_EQ(logged(msg::OPEN_COMPLETE), Lines{"Logged in as bob on " + server().address() +
                                                "; the file is open."});
    file->close();
  } else {
    EXPECT_TRUE(open_list().empty());
    EXPECT_TRUE(logged(msg::OPEN_COMPLETE).empty());
  }
  EXPECT_EQ(transcript_after_close(), c.transcript);
}

const LoginCase login_cases[] = {
    {"PasswordAccepted", "220 hi\r\n", "331 pw?\r\n", "230 in\r\n", Then::Auto, st::OK,
     "USER bob\nPASS pw\nHELP\nQUIT\n", {}},
    {"BusyGreetingStillLogsIn", "421 busy, but try\r\n", "331 pw?\r\n", "230 in\r\n",
     Then::Auto, st::OK, "USER bob\nPASS pw\nHELP\nQUIT\n", {}},
    {"UserAloneLogsIn", "220 hi\r\n", "230 no password needed\r\n", "230 in\r\n", Then::Auto,
     st::OK, "USER bob\nHELP\nQUIT\n", {}},
    {"PasswordRefused", "220 hi\r\n", "331 pw?\r\n", "530 wrong\r\n", Then::Auto, st::FAILED,
     "USER bob\nPASS pw\n", {"The server did not accept the password of user bob."}},
    {"NoReplyToPassword", "220 hi\r\n", "331 pw?\r\n", "", Then::Close, st::FAILED,
     "USER bob\nPASS pw\n", {"The server did not answer the password."}},
    {"UserRefused", "220 hi\r\n", "530 not you\r\n", "230 in\r\n", Then::Auto, st::FAILED,
     "USER bob\n", {"The server did not accept user bob."}},
    {"UserReplyWithoutCode", "220 hi\r\n", "hello there\r\n", "230 in\r\n", Then::Auto,
     st::FAILED, "USER bob\n", {"The server's reply has no reply code."}},
    {"GreetingWithoutCode", "welcome\r\n", "331 pw?\r\n", "230 in\r\n", Then::Auto, st::FAILED,
     "", {"The server's reply has no reply code."}},
    // Foreign middle lines are skipped: the reply ends at its own code and a blank.
    {"MultiLineRepliesWithForeignMiddleLines",
     "220-Welcome\r\n230 not the end\r\nno code at all\r\n220-still going\r\n220 ready\r\n",
     "331-more\r\n331-needed\r\n200 nope\r\n331 Password please\r\n", "230 in\r\n", Then::Auto,
     st::OK, "USER bob\nPASS pw\nHELP\nQUIT\n", {}},
};
INSTANTIATE_TEST_SUITE_P(Replies, Login, testing::ValuesIn(login_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlConnection, GreetingIsAlwaysLogged) {
  Script script;
  script.greeting = "220-Hello\r\n220 there\r\n";
  script.defaults().on("STAT", "211 fine\r\n");
  serve(script);
  assign("GREET", "", "USER='u' PASS='p' RSTAT");
  auto file = open_expecting("GREET", st::OK);
  EXPECT_EQ(logged(msg::GREETING), Lines{"Server: 220-Hello"});
  EXPECT_TRUE(logged(msg::REPLY_LINE).empty()) << "replies are only shown with DEBUG";
  EXPECT_TRUE(logged(msg::COMMAND_SENT).empty());
}

TEST_F(ControlConnection, PromptsAskForUserAndPasswordWithTheirKindsAndTitles) {
  serve_willing("HELP", "214 ok\r\n");
  assign("ASK", "", "PROMPT RHELP");
  host::prompt::set_responder(host::prompt::scripted_responder({"alice", "secret"}));
  auto file = open_expecting("ASK", st::OK);
  const auto& asked = host::prompt::asked();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].kind, host::prompt::USER_ID);
  EXPECT_EQ(asked[0].text, "Userid:");
  EXPECT_EQ(asked[0].title, "FTP ACCESS METHOD");
  EXPECT_EQ(asked[0].maximum, 127);  // a host may terminate the answer after it
  EXPECT_EQ(asked[1].kind, host::prompt::PASSWORD);
  EXPECT_EQ(asked[1].text, "Password:");
  EXPECT_EQ(asked[1].title, "FTP Access Method");
  EXPECT_EQ(asked[1].maximum, 127);
  file->close();
  EXPECT_EQ(transcript_after_close(), "USER alice\nPASS secret\nHELP\nQUIT\n");
}

TEST_F(ControlConnection, WithoutPromptNobodyIsAsked) {
  serve_willing("HELP", "214 ok\r\n");
  assign("NOASK", "", "USER='u' RHELP");
  auto file = open_expecting("NOASK", st::OK);
  EXPECT_TRUE(host::prompt::asked().empty());
  file->close();
  EXPECT_EQ(transcript_after_close(), "USER u\nPASS \nHELP\nQUIT\n");
}

TEST_F(ControlConnection, SaveuserLetsTheNextOpenLogInWithTheSavedPair) {
  Script script;
  script.defaults().always("HELP", "214 ok\r\n");
  serve(script);
  assign("SAVED", "", "PROMPT SAVEUSER RHELP");
  host::prompt::set_responder(host::prompt::scripted_responder({"carol", "pw1"}));
  open_expecting("SAVED", st::OK)->close();
  host::prompt::clear_asked();
  open_expecting("SAVED", st::OK)->close();
  EXPECT_TRUE(host::prompt::asked().empty()) << "the saved pair needs no prompt";
  EXPECT_EQ(transcript_after_close(2),
            "USER carol\nPASS pw1\nHELP\nQUIT\nUSER carol\nPASS pw1\nHELP\nQUIT\n");
}

// ---- DEBUG ----------------------------------------------------------------

TEST_F(ControlConnection, DebugShowsCommandsWithThePasswordMaskedAndEveryReplyLine) {
  std::string long_reply = "214-" + std::string(296, 'r');  // 300 characters
  std::string long_middle = std::string(400, 'm');
  Script script;
  script.greeting = "220 hi\r\n";
  script.defaults().on("HELP", long_reply + "\r\n" + long_middle + "\r\n214 end\r\n");
  serve(script);
  assign("DBG", "", "USER='u' PASS='secret' RHELP DEBUG");
  auto file = open_expecting("DBG", st::OK);
  EXPECT_EQ(logged(msg::COMMAND_SENT), (Lines{">>> USER u", ">>> PASS XXXXXX", ">>> HELP"}));
  EXPECT_EQ(logged(msg::REPLY_LINE),
            (Lines{"<<< 220 hi", "<<< 331 Password required.", "<<< 230 Logged in."}));
  int32_t end = 0;
  auto lines = read_all(*file, &end);
  EXPECT_EQ(end, st::END_OF_DATA);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], long_reply.substr(0, 256)) << "records are cut to LRECL";
  host::messages::clear_log();
  file->close();
  EXPECT_EQ(logged(msg::COMMAND_SENT), Lines{">>> QUIT"});
}

TEST_F(ControlConnection, DebugCutsAFirstReplyLineTo256CharactersButNotTheLinesAfterIt) {
  std::string first = "331-" + std::string(296, 'a');
  std::string middle = std::string(300, 'b');
  Script script;
  script.defaults().on("USER", first + "\r\n" + middle + "\r\n331 go on\r\n");
  script.on("STAT", "211 ok\r\n");
  serve(script);
  assign("CUT", "", "USER='u' PASS='p' RSTAT DEBUG");
  auto file = open_expecting("CUT", st::OK);
  Lines replies = logged(msg::REPLY_LINE);
  ASSERT_GE(replies.size(), 4u);
  EXPECT_EQ(replies[1], "<<< " + first.substr(0, 256));
  EXPECT_EQ(replies[2], "<<< " + middle);
  EXPECT_EQ(replies[3], "<<< 331 go on");
}

TEST_F(ControlConnection, WithoutDebugNothingIsEchoed) {
  serve_willing("STAT", "211 ok\r\n");
  assign("QUIET", "", "USER='u' PASS='p' RSTAT");
  open_expecting("QUIET", st::OK)->close();
  EXPECT_TRUE(logged(msg::COMMAND_SENT).empty());
  EXPECT_TRUE(logged(msg::REPLY_LINE).empty());
}

// ---- Replies read as records -------------------------------------------------

struct ReplyOnlyCase {
  const char* name;
  const char* options;
  const char* verb;
  const char* command;  // as the server sees it
};

class ReplyOnly : public ControlConnection, public testing::WithParamInterface<ReplyOnlyCase> {};

TEST_P(ReplyOnly, LinesUpToTheLastReplyLineThenEndOfDataThenQuitAtOnce) {
  const ReplyOnlyCase& c = GetParam();
  Script script;
  script.strict = true;
  script.on("USER", "331 pw\r\n").on("PASS", "230 ok\r\n");
  script.on(c.verb, "211-First line\r\n 211 not the end\r\n211-nor this\r\n211 End\r\n");
  script.on("QUIT", "221 bye\r\n");
  serve(script);
  assign("REPLY", "", std::string("USER='u' PASS='p' ") + c.options);
  auto file = open_expecting("REPLY", st::OK);
  EXPECT_EQ(file->handle()->data, nullptr);
  int32_t end = 0;
  Lines lines = read_all(*file, &end);
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(lines, (Lines{"211-First line", " 211 not the end", "211-nor this", "211 End"}));
  host::files::Record record;
  EXPECT_EQ(file->read(&record), st::END_OF_DATA) << "end of data stays";
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_EQ(transcript_after_close(), std::string("USER u\nPASS p\n") + c.command + "\nQUIT\n");
  EXPECT_TRUE(server().record().problems.empty());
}

const ReplyOnlyCase reply_only_cases[] = {
    {"Help", "RHELP", "HELP", "HELP"},
    {"Stat", "RSTAT", "STAT", "STAT"},
    {"RawCommand", "RCMD='SYST'", "SYST", "SYST"},
    {"RawCommandWithArguments", "RCMD='SITE CHMOD 644 x'", "SITE", "SITE CHMOD 644 x"},
};
INSTANTIATE_TEST_SUITE_P(Commands, ReplyOnly, testing::ValuesIn(reply_only_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlConnection, ASingleLineReplyIsOneRecord) {
  serve_willing("SYST", "215 UNIX Type: L8\r\n");
  assign("SYST", "", "USER='u' PASS='p' RCMD='SYST'");
  auto file = open_expecting("SYST", st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_all(*file, &end), Lines{"215 UNIX Type: L8"});
  EXPECT_EQ(end, st::END_OF_DATA);
}

TEST_F(ControlConnection, NoquitStillSendsQuit) {
  serve_willing("STAT", "211 ok\r\n");
  assign("NOQ", "", "USER='u' PASS='p' RSTAT NOQUIT");
  open_expecting("NOQ", st::OK)->close();
  EXPECT_EQ(transcript_after_close(), "USER u\nPASS p\nSTAT\nQUIT\n");
}

// ---- Open checks -----------------------------------------------------------------

struct ModeCase {
  const char* name;
  const char* options;
  int32_t mode;
  int32_t recfm;
  int message;
};

class OpenMode : public ControlConnection, public testing::WithParamInterface<ModeCase> {};

TEST_P(OpenMode, IsRefusedBeforeAnyConnection) {
  const ModeCase& c = GetParam();
  Script script;
  script.defaults();
  serve(script);
  assign("MODE", "/f", std::string("USER='u' PASS='p' ") + c.options);
  OpenParams params;
  params.mode = c.mode;
  params.recfm = c.recfm;
  open_expecting("MODE", st::OPEN_FAILED, params);
  EXPECT_EQ(logged(c.message).size(), 1u);
  EXPECT_EQ(instance()->assigns->open_count, 0);
  EXPECT_TRUE(open_list().empty());
  stop_server();
  EXPECT_EQ(server().record().sessions_started, 0);
}

const ModeCase mode_cases[] = {
    {"NoModeBit", "", 0, 0, msg::NO_OPEN_MODE},
    {"ListingForOutput", "LS", OPEN_OUTPUT, 0, msg::INPUT_ONLY},
    {"HelpForAppend", "RHELP", OPEN_APPEND, 0, msg::INPUT_ONLY},
    {"StatWithModTurnsOutputIntoAppend", "RSTAT MOD", OPEN_OUTPUT, 0, msg::INPUT_ONLY},
    {"PositioningForOutput", "", OPEN_OUTPUT | OPEN_POSITIONING, 0, msg::NO_POSITIONING},
    {"PositioningWithHostBit40WithoutS", "", OPEN_INPUT | OPEN_POSITIONING, RECFM_HOST_0X40,
     msg::NO_POSITIONING},
};
INSTANTIATE_TEST_SUITE_P(Checks, OpenMode, testing::ValuesIn(mode_cases),
                         [](const auto& info) { return std::string(info.param.name); });

struct NbyteCase {
  const char* name;
  const char* assign_options;
  const char* open_options;
  bool variable_set;
  int32_t status;
};

class Nbyte : public ControlConnection, public testing::WithParamInterface<NbyteCase> {
 protected:
  void TearDown() override {
    host::variables::unset("NB");
    ControlConnection::TearDown();
  }
};

TEST_P(Nbyte, AByteStreamInputNeedsAUsableVariable) {
  const NbyteCase& c = GetParam();
  serve_willing("HELP", "214 ok\r\n");
  assign("NBYTE", "", std::string("USER='u' PASS='p' RHELP ") + c.assign_options);
  host::variables::set_number("NB", 12);  // NBYTE= names a variable that exists
  OpenParams params;
  params.options = open_options(c.open_options);
  if (!c.variable_set) host::variables::unset("NB");
  auto file = open_expecting("NBYTE", c.status, params);
  if (file) {
    ASSERT_NE(file->handle()->nbyte_handle, nullptr);
    EXPECT_EQ(*file->handle()->nbyte_handle, 12.0);
  } else {
    EXPECT_EQ(logged(msg::NBYTE_UNUSABLE).size(), 1u);
    EXPECT_EQ(transcript_after_close(), "") << "refused once connected, before the log-in";
  }
}

const NbyteCase nbyte_cases[] = {
    {"NoVariableNamed", "RECFM=S", "LRECL=80", false, st::OPEN_FAILED},
    {"VariableGoneByTheOpen", "RECFM=S", "NBYTE=NB", false, st::OPEN_FAILED},
    {"VariableSet", "RECFM=S", "NBYTE=NB", true, st::OK},
};
INSTANTIATE_TEST_SUITE_P(Opens, Nbyte, testing::ValuesIn(nbyte_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlConnection, NonbyteNeedsNoNbyteVariable) {
  serve_willing("HELP", "214 ok\r\n");
  assign("NONB", "", "USER='u' PASS='p' RHELP RECFM=S NONBYTE");
  auto file = open_expecting("NONB", st::OK);
  EXPECT_EQ(file->handle()->nbyte_handle, nullptr);
}

TEST_F(ControlConnection, PositioningOpensAWorkFileThatEndsWithTheFile) {
  serve_willing("HELP", "214 ok\r\n");
  assign("POS", "", "USER='u' PASS='p' RHELP");
  OpenParams params;
  params.mode = OPEN_INPUT | OPEN_POSITIONING;
  int before = host::spool::open_files();
  auto file = open_expecting("POS", st::OK, params);
  EXPECT_NE(file->handle()->work_file, nullptr);
  EXPECT_EQ(host::spool::open_files(), before + 1);
  file->close();
  EXPECT_EQ(host::spool::open_files(), before);
}

TEST_F(ControlConnection, AWorkFileThatCannotBeOpenedFailsTheOpenBeforeAnyConnection) {
  serve_willing("HELP", "214 ok\r\n");
  assign("POS", "", "USER='u' PASS='p' RHELP");
  OpenParams params;
  params.mode = OPEN_INPUT | OPEN_POSITIONING;
  host::spool::fail_operation(1);
  std::unique_ptr<OpenFile> file;
  int32_t status = open("POS", &file, params);
  host::spool::fail_operation(0);
  EXPECT_TRUE(st::is_failure(status));
  EXPECT_TRUE(open_list().empty());
  stop_server();
  EXPECT_EQ(server().record().sessions_started, 0);
}

TEST_F(ControlConnection, AnUnassignedNameIsNotOpened) {
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("NOSUCH", &file), st::NOT_ASSIGNED);
}

TEST_F(ControlConnection, NoServerListeningFailsTheOpenAndLeavesNothing) {
  // A port bound but never listened on refuses connections, on an address
  // of this process's own.
  std::string error;
  const std::string address = ftptest::claim_loopback_address(&error);
  ASSERT_FALSE(address.empty()) << error;
  int blocker = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(blocker, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(21);
  where.sin_addr.s_addr = inet_addr(address.c_str());
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
  assign("DEAD", "", "USER='u' PASS='p' RHELP", address);
  std::unique_ptr<OpenFile> file;
  int32_t status = open("DEAD", &file);
  EXPECT_TRUE(st::is_failure(status));
  EXPECT_FALSE(failure_texts().empty());
  EXPECT_EQ(instance()->assigns->open_count, 0);
  EXPECT_TRUE(open_list().empty());
  close(blocker);
}

TEST_F(ControlConnection, EveryAllocationFailureEndsTheOpenCleanly) {
  Script script;
  script.defaults().always("HELP", "214 ok\r\n");
  serve(script);
  assign("OOM", "/remote/name", "USER='u' PASS='p' RHELP");
  int32_t status = st::NO_MEMORY;
  int failures = 0;
  for (long nth = 1; nth < 100 && status != st::OK; ++nth) {
    host::memory::fail_allocation(nth);
    std::unique_ptr<OpenFile> file;
    status = open("OOM", &file, {});
    host::memory::fail_allocation(0);
    if (status == st::OK) break;
    ++failures;
    EXPECT_TRUE(st::is_failure(status)) << nth;
    EXPECT_TRUE(open_list().empty()) << nth;
    EXPECT_EQ(instance()->assigns->open_count, 0) << nth;
    failure_texts();
  }
  EXPECT_EQ(status, st::OK);
  EXPECT_GE(failures, 3) << "the file block, the control block and the name copy at least";
}

TEST_F(ControlConnection, CloseWithoutAFileIsRefused) {
  EXPECT_EQ(ftptest::module().call(host::slot::CLOSE,
                                                      static_cast<FtpFile*>(nullptr)),
            st::NO_OPEN_FILE);
}

TEST_F(ControlConnection, ReplyLinesLongerThanLreclAreCutAndACodeAloneEndsTheReply) {
  serve_willing("STAT", "211-" + std::string(20, 's') + "\r\n211\r\n");
  assign("CUTREC", "", "USER='u' PASS='p' RSTAT");
  OpenParams params;
  params.lrecl = 10;
  auto file = open_expecting("CUTREC", st::OK, params);
  host::files::Record record;
  EXPECT_EQ(file->read(&record), st::TRUNCATED);
  EXPECT_EQ(record.view(), "211-ssssss");
  EXPECT_EQ(file->read(&record), st::OK);
  EXPECT_EQ(record.view(), "211");
  EXPECT_EQ(file->read(&record), st::END_OF_DATA);
}

// ---- Several opens ------------------------------------------------------------------

TEST_F(ControlConnection, ASecondFailingOpenLeavesTheFirstInTheOpenList) {
  Script willing;
  willing.defaults().on("HELP", "214 ok\r\n");
  serve(willing);
  Script refusing;
  refusing.on("PASS", "530 no\r\n").defaults();
  ftptest::ScriptServer& other = serve(refusing);
  assign("TWICE", "", "USER='u' PASS='p' RHELP");
  auto first = open_expecting("TWICE", st::OK);
  OpenParams second;
  second.options = open_options("HOST='" + other.address() + "'");
  open_expecting("TWICE", st::FAILED, second);
  EXPECT_EQ(open_list(), std::vector<FtpFile*>{first->handle()});
  EXPECT_EQ(first->handle()->next, nullptr);
  EXPECT_EQ(instance()->assigns->open_count, 1);
  int32_t end = 0;
  EXPECT_EQ(read_all(*first, &end), Lines{"214 ok"}) << "the first file still works";
  EXPECT_EQ(first->close(), st::OK);
  EXPECT_EQ(instance()->assigns->open_count, 0);
}

TEST_F(ControlConnection, OwnerTerminationEndsExactlyTheFilesOfItsKey) {
  Script script;
  script.defaults().on("STAT", "211 ok\r\n");
  ftptest::ScriptServer* servers[3] = {&serve(script), &serve(script), &serve(script)};
  assign("OWNED", "", "USER='u' PASS='p' RSTAT");
  std::unique_ptr<OpenFile> files[3];
  const uint32_t keys[3] = {7, 9, 7};
  for (int i = 0; i < 3; ++i) {
    OpenParams params;
    params.owner_key = keys[i];
    params.options = open_options("HOST='" + servers[i]->address() + "'");
    ASSERT_EQ(open("OWNED", &files[i], params), st::OK);
  }
  host::files::terminate_owner(42);
  EXPECT_EQ(open_list().size(), 3u) << "a key no file has changes nothing";
  host::files::terminate_owner(7);
  EXPECT_EQ(open_list(), std::vector<FtpFile*>{files[1]->handle()});
  EXPECT_FALSE(files[0]->is_open());
  EXPECT_FALSE(files[2]->is_open());
  EXPECT_EQ(instance()->assigns->open_count, 1);
  // Termination hangs up without a word; the file closed in order says QUIT.
  for (int i : {0, 2}) {
    ASSERT_TRUE(servers[i]->wait_sessions_ended(1, 5000));
    EXPECT_EQ(servers[i]->transcript(), "USER u\nPASS p\nSTAT\n");
  }
  EXPECT_EQ(files[1]->close(), st::OK);
  ASSERT_TRUE(servers[1]->wait_sessions_ended(1, 5000));
  EXPECT_EQ(servers[1]->transcript(), "USER u\nPASS p\nSTAT\nQUIT\n");
}

// ---- Breaks --------------------------------------------------------------------

class Breaks : public ControlConnection {
 protected:
  void TearDown() override {
    if (breaker_.joinable()) breaker_.join();
    ControlConnection::TearDown();
  }
  // Asks for a break once the server has taken the connection: the open is
  // then waiting for the greeting, or about to (a break asked for before the
  // wait is delivered when it starts).
  void break_soon() {
    breaker_ = std::thread([this] {
      if (server().wait_until([](const ftptest::Record& r) { return r.sessions_started > 0; },
                               ftptest::kEventWaitMs))
        host::events::request_break();
      else
        ADD_FAILURE() << "no session started within " << ftptest::kEventWaitMs << " ms";
    });
  }
  std::thread breaker_;
};

TEST_F(Breaks, AConfirmedBreakDuringTheGreetingEndsTheOpen) {
  Script script;
  script.greeting = Writes::delayed(3000, "220 late\r\n");
  script.defaults();
  serve(script);
  assign("BRK", "", "USER='u' PASS='p' RHELP");
  host::prompt::set_responder(host::prompt::scripted_responder({"yes"}));
  break_soon();
  open_expecting("BRK", st::FAILED);
  EXPECT_EQ(failure_texts(), Lines{"The wait for the FTP server was interrupted."});
  ASSERT_EQ(host::prompt::asked().size(), 1u);
  EXPECT_EQ(host::prompt::asked()[0].kind, host::prompt::QUESTION);
  EXPECT_EQ(host::prompt::asked()[0].text, "Interrupt the wait for the FTP server?");
  EXPECT_EQ(host::prompt::asked()[0].title, "FTP Access Method");
  EXPECT_EQ(instance()->break_word, 1);
  EXPECT_TRUE(open_list().empty());
  EXPECT_EQ(instance()->assigns->open_count, 0);
}

TEST_F(Breaks, ADeclinedBreakLetsTheWaitGoOn) {
  Script script;
  script.greeting = Writes::delayed(1500, "220 late\r\n");
  script.defaults().on("HELP", "214 ok\r\n");
  serve(script);
  assign("BRK", "", "USER='u' PASS='p' RHELP");
  host::prompt::set_responder(host::prompt::scripted_responder({"no"}));
  int delivered = host::events::breaks_delivered();
  break_soon();
  auto file = open_expecting("BRK", st::OK);
  EXPECT_EQ(host::events::breaks_delivered(), delivered + 1);
  EXPECT_EQ(host::prompt::asked().size(), 1u);
  EXPECT_TRUE(failure_texts().empty());
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_EQ(instance()->break_word, -1);
  EXPECT_EQ(transcript_after_close(), "USER u\nPASS p\nHELP\nQUIT\n");
}

// ---- Commands that would smuggle others in ----------------------------------------

struct InjectionCase {
  const char* name;
  const char* options;
  Lines answers;  // prompt answers
  const char* transcript;
  const char* text;
};

class LineBreaks : public ControlConnection,
                   public testing::WithParamInterface<InjectionCase> {};

TEST_P(LineBreaks, AreRefusedBeforeTheCommandIsSent) {
  const InjectionCase& c = GetParam();
  Script script;
  script.defaults().always("SYST", "215 UNIX\r\n").always("DELE", "250 deleted\r\n");
  serve(script);
  assign("INJ", "", c.options);
  host::prompt::set_responder(host::prompt::scripted_responder(c.answers));
  open_expecting("INJ", st::FAILED);
  EXPECT_EQ(failure_texts(), Lines{c.text});
  EXPECT_TRUE(open_list().empty());
  EXPECT_EQ(transcript_after_close(), c.transcript);
  EXPECT_EQ(server().record().control_bytes.find("DELE"), std::string::npos);
}

const InjectionCase injection_cases[] = {
    {"UserId", "PROMPT RHELP", {"bob\r\nDELE x", "pw"}, "",
     "The USER command was not sent: its text holds a line break or is too long."},
    {"Password", "PROMPT RHELP", {"bob", "pw\nDELE x"}, "USER bob\n",
     "The PASS command was not sent: its text holds a line break or is too long."},
    {"RawCommand", "USER='u' PASS='p' RCMD='SYST\r\nDELE x'", {}, "USER u\nPASS p\n",
     "The SYST command was not sent: its text holds a line break or is too long."},
    {"RawCommandWithALoneLineFeed", "USER='u' PASS='p' RCMD='SYST\nDELE x'", {},
     "USER u\nPASS p\n",
     "The SYST command was not sent: its text holds a line break or is too long."},
};
INSTANTIATE_TEST_SUITE_P(Commands, LineBreaks, testing::ValuesIn(injection_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// An information-item list the host never gave back goes with the file when
// it is closed (the fixture checks that no pool block is left).
TEST_F(ControlConnection, CloseReleasesAnItemListNeverGivenBack) {
  Script script;
  script.defaults().on("HELP", "214 ok\r\n");
  serve(script);
  assign("ITEMS", "", "USER='u' PASS='p' RHELP");
  auto file = open_expecting("ITEMS", st::OK);
  void* list = nullptr;
  ASSERT_EQ(ftptest::module().call(host::slot::INFO_ITEMS, file->handle(),
                                                      &list),
            st::OK);
  ASSERT_NE(file->handle()->info_scratch, nullptr);
  // The list itself is the host's to free; only the module's text area is
  // tied to the file.
  host::memory::heap()->free(host::memory::heap(), list, 0, 4);
  EXPECT_EQ(file->close(), st::OK);
}

// Data transfers against the scripted server: the commands that set up the
// data connection and their order, PORT's address and port (XXAMBIND),
// the transfer type by format, BYPASS, refused transfers, a server that
// answers on the control connection instead of connecting, waits bounded by
// XXAMWAIT or a break, commands with line breaks that must never be sent,
// listings, and close after a transfer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <thread>

#include "ftp/ftp_file.h"
#include "host/events.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/options.h"
#include "host/prompt.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/loaded_module.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::Step;
using ftptest::Writes;
using ftptest::OpenFile;
using ftptest::OpenParams;

constexpr const char* LOGIN = "USER u\nPASS p\n";
constexpr const char* SETUP = "PORT 127,0,0,1,*,*\nTYPE A\nPWD\n";

Step retr_step(Writes preliminary, Data data, Writes final_reply, bool repeat = false) {
  Step s;
  s.verb = "RETR";
  s.reply = std::move(preliminary);
  s.data = std::move(data);
  s.after = std::move(final_reply);
  s.repeat = repeat;
  return s;
}

class DataTransfer : public ftptest::SessionTest {
 protected:
  // Opens `name`, reads it to the end and closes it; the records and the
  // status that ended the reading.
  std::vector<std::string> read_file(const std::string& name, int32_t* end, OpenParams params = {}) {
    std::unique_ptr<OpenFile> file;
    *end = open(name, &file, params);
    if (*end != st::OK) return {};
    auto records = read_all(*file, end);
    EXPECT_EQ(file->close(), st::OK);
    return records;
  }
  std::string transcript_after_close() {
    EXPECT_TRUE(server().wait_sessions_ended(1, 5000));
    return server().transcript();
  }
};

TEST_F(DataTransfer, SetUpCommandsComeInOrderBeforeTheTransfer) {
  Script script;
  script.defaults()
      .on("PWD", "257 \"/home/u\" is current.\r\n")
      .on("SITE", "200 SITE done.\r\n")
      .on("STAT", "211-status\r\n connected\r\n211 End.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("one\r\ntwo\r\n"), "226 Done.\r\n");
  serve(script);
  assign("F", "data.txt", "USER='u' PASS='p' WD='sub dir' RCMD='SITE UMASK 022'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  EXPECT_STREQ(file->handle()->pwd, "\"/home/u\" is current.");
  int32_t end = 0;
  EXPECT_EQ(read_all(*file, &end), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_EQ(transcript_after_close(),
            std::string(LOGIN) +
                "PORT 127,0,0,1,*,*\nTYPE A\nCWD sub dir\nPWD\nSITE UMASK 022\nSTAT\n"
                "RETR data.txt\nQUIT\n");
}

TEST_F(DataTransfer, PortAnnouncesTheListeningAddressAndPort) {
  Script script;
  script.defaults().step(retr_step("150 Here.\r\n", Data::sending("x\r\n"), "226 Done.\r\n"));
  serve(script);
  assign("F", "f", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  const FtpFile* f = file->handle();
  const unsigned char* local = f->ctl->local_sockaddr + 4;
  const std::string expected = std::to_string(local[0]) + "." + std::to_string(local[1]) + "." +
                               std::to_string(local[2]) + "." + std::to_string(local[3]) + ":" +
                               std::to_string(uint32_t(f->data->service_portno) >> 16);
  EXPECT_EQ(server().record().ports, std::vector<std::string>{expected});
  EXPECT_EQ(file->close(), st::OK);
}

TEST_F(DataTransfer, XxambindNamesTheAddressOfPort) {
  Script script;
  script.defaults().step(retr_step("150 Here.\r\n", Data::sending("x\r\n"), "226 Done.\r\n"));
  serve(script);
  // The data socket listens on every local address, so the server reaches
  // it at the one announced.
  host::options::set("XXAMBIND", "127.0.0.9");
  assign("F", "f", "USER='u' PASS='p'");
  int32_t end = 0;
  EXPECT_EQ(read_file("F", &end), std::vector<std::string>{"x"});
  auto ports = server().record().ports;
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].substr(0, 10), "127.0.0.9:");
  bool logged = false;
  for (const auto& line : host::messages::log())
    logged |= line.group == 0 && line.text.find("Using 127.0.0.9 for PORT command") != std::string::npos;
  EXPECT_TRUE(logged);
}

TEST_F(DataTransfer, XxambindThatIsNotAnAddressIsRefusedBeforePort) {
  Script script;
  script.defaults();
  serve(script);
  for (const char* value : {"ftp.example", "255.255.255.255"}) {
    host::options::set("XXAMBIND", value);
    host::messages::clear_log();
    assign("F", "f", "USER='u' PASS='p'");
    std::unique_ptr<OpenFile> file;
    EXPECT_EQ(open("F", &file), st::FAILED) << value;
    bool logged = false;
    for (const auto& line : host::messages::log())
      logged |= line.text.find("XXAMBIND must be IP addr in dotted form") != std::string::npos;
    EXPECT_TRUE(logged) << value;
  }
  stop_server();
  EXPECT_EQ(server().transcript(), std::string(LOGIN) + LOGIN);
}

TEST_F(DataTransfer, TransferTypeFollowsTheFormat) {
  struct Case {
    const char* options;
    int32_t recfm;
    const char* type;
  };
  const Case cases[] = {
      {"RECFM=F LRECL=4", 0, "TYPE I"},      {"RECFM=S NONBYTE", 0, "TYPE I"},
      {"S370V", 0, "TYPE I"},                {"S370VS", 0, "TYPE I"},
      {"RECFM=V", 0, "TYPE A"},              {"", 0, "TYPE A"},
      {"", RECFM_V | RECFM_CC, "TYPE A"},    {"", RECFM_F, "TYPE I"},
  };
  Script script;
  script.defaults().step(retr_step("150 Here.\r\n", Data::sending(""), "226 Done.\r\n", true));
  serve(script);
  for (const Case& c : cases) {
    assign("F", "f", std::string("USER='u' PASS='p' ") + c.options);
    OpenParams params;
    params.recfm = c.recfm;
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open("F", &file, params), st::OK) << c.options;
    EXPECT_EQ(file->close(), st::OK);
    auto commands = server().record().commands;
    auto type = std::find_if(commands.rbegin(), commands.rend(),
                             [](const std::string& line) { return line.rfind("TYPE", 0) == 0; });
    ASSERT_NE(type, commands.rend());
    EXPECT_EQ(*type, c.type) << c.options << " recfm " << c.recfm;
  }
}

TEST_F(DataTransfer, BypassGoesOnWhateverTheSetUpRepliesSay) {
  Script script;
  script.defaults()
      .on("PORT", "500 No.\r\n")
      .on("TYPE", "500 No.\r\n")
      .on("CWD", "500 No.\r\n")
      .on("PWD", "500 No.\r\n")
      .step(retr_step("150 Here.\r\n", Data::sending("a\r\n"), "226 Done.\r\n"));
  serve(script);
  assign("F", "f", "USER='u' PASS='p' WD='d' BYPASS");
  int32_t end = 0;
  EXPECT_EQ(read_file("F", &end), std::vector<std::string>{"a"});
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(transcript_after_close(),
            std::string(LOGIN) + "PORT 127,0,0,1,*,*\nTYPE A\nCWD d\nPWD\nRETR f\nQUIT\n");
}

TEST_F(DataTransfer, RefusedSetUpCommandsEndTheOpenWithTheirMessage) {
  struct Case {
    const char* verb;
    int message;
  };
  for (const Case& c : {Case{"PORT", msg::PORT_REFUSED}, Case{"TYPE", msg::TRANSFER_REFUSED},
                        Case{"CWD", msg::CWD_REFUSED}, Case{"PWD", msg::PWD_REFUSED}}) {
    Script script;
    script.defaults().on(c.verb, "500 No.\r\n");
    ftptest::ScriptServer& server = serve(script);
    assign("F", "f", "USER='u' PASS='p' WD='d'", server.address());
    std::unique_ptr<OpenFile> file;
    EXPECT_EQ(open("F", &file), st::FAILED) << c.verb;
    EXPECT_EQ(failure_texts(),
              std::vector<std::string>{host::messages::catalog_text(msg::GROUP, c.message)})
        << c.verb;
    server.stop();
    EXPECT_TRUE(server.record().unscripted.empty());
  }
}

TEST_F(DataTransfer, FileNotFoundHandsOverTheRemoteName) {
  Script script;
  script.defaults()
      .on("RETR", "550 No such file.\r\n")
      .on("LIST", "550 No such directory.\r\n");
  serve(script);
  assign("F", "missing.txt", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::FILE_REFUSED);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"missing.txt"});

  // A listing names the reference's remote name too, not its LSFILE.
  assign("L", "remote", "USER='u' PASS='p' LIST LSFILE='*.txt'");
  EXPECT_EQ(open("L", &file), st::FILE_REFUSED);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"remote"});
}

TEST_F(DataTransfer, MissingRemoteNameIsRefusedBeforeAnyTransferCommand) {
  Script script;
  script.defaults();
  serve(script);
  assign("F", "", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::NO_REMOTE_NAME);
  EXPECT_EQ(logged(msg::NO_INPUT_NAME).size(), 1u);
  OpenParams out;
  out.mode = OPEN_OUTPUT;
  EXPECT_EQ(open("F", &file, out), st::NO_REMOTE_NAME);
  EXPECT_EQ(logged(msg::NO_OUTPUT_NAME).size(), 1u);
  stop_server();
  EXPECT_EQ(server().transcript(), std::string(LOGIN) + LOGIN);
}

TEST_F(DataTransfer, TransferAnsweredWithAFinalReplyIsRefused) {
  Script script;
  script.defaults().on("RETR", "226 Nothing to send.\r\n").on("STOR", "452 Disk full.\r\n");
  serve(script);
  assign("F", "f", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::FAILED);
  EXPECT_EQ(failure_texts(),
            std::vector<std::string>{host::messages::catalog_text(msg::GROUP, msg::TRANSFER_REFUSED)});
  OpenParams out;
  out.mode = OPEN_OUTPUT;
  EXPECT_EQ(open("F", &file, out), st::FAILED);
  EXPECT_EQ(failure_texts(),
            std::vector<std::string>{host::messages::catalog_text(msg::GROUP, msg::STORE_REFUSED)});
}

// The server says why it does not connect instead of connecting: the wait
// ends with that reply, also when it comes with the preliminary one or the
// server hangs up.
TEST_F(DataTransfer, ServerThatAnswersInsteadOfConnectingEndsTheWait) {
  struct Case {
    const char* name;
    Writes preliminary;
    Writes after;
    ftptest::Then then;
  };
  const Case cases[] = {
      {"later reply", "150 Opening.\r\n", Writes::delayed(300, "425 Cannot open.\r\n"),
       ftptest::Then::Continue},
      {"same write", "150 Opening.\r\n426 Broken.\r\n", "", ftptest::Then::Continue},
      {"hang-up", "150 Opening.\r\n", "", ftptest::Then::Close},
      {"second preliminary", "150 Opening.\r\n",
       Writes{{"125 Still opening.\r\n", 100}, {"425 Cannot open.\r\n", 100}},
       ftptest::Then::Continue},
  };
  for (const Case& c : cases) {
    Script script;
    Step step = retr_step(c.preliminary, Data{}, c.after);
    step.then = c.then;
    script.defaults().step(step);
    ftptest::ScriptServer& server = serve(script);
    assign("F", "f", "USER='u' PASS='p'", server.address());
    std::unique_ptr<OpenFile> file;
    EXPECT_EQ(open("F", &file), st::FAILED) << c.name;
    EXPECT_EQ(failure_texts(),
              std::vector<std::string>{host::messages::catalog_text(msg::GROUP, msg::TRANSFER_REFUSED)})
        << c.name;
    server.stop();
  }
}

TEST_F(DataTransfer, XxamwaitBoundsTheWaitForAServerThatNeverConnects) {
  Script script;
  script.defaults().on("RETR", "550 No such file.\r\n");
  serve(script);
  host::events::set_idle_limit(0);  // the host's limit is XXAMWAIT
  host::options::set("XXAMWAIT", "1");
  assign("F", "f", "USER='u' PASS='p' BYPASS");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::FAILED);
  EXPECT_EQ(failure_texts(),
            std::vector<std::string>{"The FTP server sent nothing for 1 seconds."});
}

TEST_F(DataTransfer, BreakEndsTheWaitForTheDataConnection) {
  Script script;
  script.defaults().step(retr_step("150 Opening.\r\n", Data{}, ""));
  serve(script);
  host::prompt::set_responder(host::prompt::scripted_responder({"yes"}));
  assign("F", "f", "USER='u' PASS='p'");
  // The break comes once RETR has arrived: the open then waits for the data
  // connection, or is about to (a break asked for before the wait is
  // delivered when it starts).
  std::thread breaker([this] {
    if (server().wait_until(
            [](const ftptest::Record& r) {
              return std::find(r.commands.begin(), r.commands.end(), "RETR f") != r.commands.end();
            },
            ftptest::kEventWaitMs))
      host::events::request_break();
    else
      ADD_FAILURE() << "no RETR within " << ftptest::kEventWaitMs << " ms";
  });
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::FAILED);
  breaker.join();
  EXPECT_EQ(failure_texts(),
            std::vector<std::string>{host::messages::catalog_text(msg::GROUP, msg::WAIT_BROKEN)});
}

// A line break in anything that goes into a command would send further
// commands of the user's making: nothing of it reaches the server.
TEST_F(DataTransfer, LineBreaksInCommandTextsAreRefusedBeforeSending) {
  struct Case {
    const char* name;
    std::string remote;
    std::string options;
    int32_t mode;
    const char* sent_after_login;
  };
  const Case cases[] = {
      // Names and the directory are refused before the set-up sends anything.
      {"RETR name", "a\r\nDELE b", "", OPEN_INPUT, ""},
      {"STOR name", "a\nDELE b", "", OPEN_OUTPUT, ""},
      {"LSFILE", "", "LS LSFILE='*\r\nDELE b'", OPEN_INPUT, ""},
      {"WD", "f", "WD='d\rDELE b'", OPEN_INPUT, ""},
      {"RCMD", "f", "RCMD='SITE X\r\nDELE b'", OPEN_INPUT, SETUP},
      {"MGET name", "(a\r\nDELE b)", "", OPEN_INPUT, ""},
  };
  for (const Case& c : cases) {
    Script script;
    script.defaults();
    ftptest::ScriptServer& server = serve(script);
    assign("F", c.remote, "USER='u' PASS='p' " + c.options, server.address());
    OpenParams params;
    params.mode = c.mode;
    std::unique_ptr<OpenFile> file;
    EXPECT_EQ(open("F", &file, params), st::FAILED) << c.name;
    auto texts = failure_texts();
    ASSERT_EQ(texts.size(), 1u) << c.name;
    server.stop();
    EXPECT_EQ(server.transcript(), std::string(LOGIN) + c.sent_after_login) << c.name;
    EXPECT_EQ(server.record().control_bytes.find("DELE"), std::string::npos) << c.name;
  }
}

TEST_F(DataTransfer, ListingsSendTheVerbAloneWithoutLsfile) {
  Script script;
  script.defaults()
      .transfer("NLST", "150 Here.\r\n", Data::sending("a.txt\r\nb.txt\r\n"), "226 Done.\r\n")
      .transfer("LIST", "150 Here.\r\n", Data::sending("-rw a.txt\r\n"), "226 Done.\r\n");
  serve(script);
  assign("N", "", "USER='u' PASS='p' LS");
  assign("L", "", "USER='u' PASS='p' LIST LSFILE='*.txt'");
  int32_t end = 0;
  EXPECT_EQ(read_file("N", &end), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(read_file("L", &end), std::vector<std::string>{"-rw a.txt"});
  ASSERT_TRUE(server().wait_sessions_ended(2, 5000));
  EXPECT_EQ(server().transcript(), std::string(LOGIN) + SETUP + "NLST\nQUIT\n" + LOGIN + SETUP +
                                       "LIST *.txt\nQUIT\n");
  EXPECT_EQ(server().record().control_bytes.find("NLST \r\n"), std::string::npos);
}

// A reading data connection starts with a small read buffer of the host's
// pool and grows it as its stream goes on: a short file and a listing keep
// the small one, a long transfer soon reads in large blocks (up to the larger
// of BLOCKSIZE and 512 KiB).
TEST_F(DataTransfer, TheReadBufferStartsSmallAndGrowsWithALongTransfer) {
  std::string long_file;
  while (long_file.size() < (2u << 20)) long_file += std::string(78, 'x') + "\r\n";
  Script script;
  script.defaults()
      .step(retr_step("150 Here.\r\n", Data::sending("a\r\n"), "226 Done.\r\n"))
      .transfer("NLST", "150 Here.\r\n", Data::sending("a.txt\r\nb.txt\r\n"), "226 Done.\r\n")
      .step(retr_step("150 Here.\r\n", Data::sending(long_file), "226 Done.\r\n"));
  serve(script);
  struct Case {
    const char* name;
    const char* remote;
    const char* options;
    int32_t lowest, highest;  // the read buffer's size at the end
  };
  const Case cases[] = {
      {"short file", "f", "", 8192, 8192},
      {"listing", "", "LS", 8192, 8192},
      {"long file", "f", "", 512 * 1024, 512 * 1024},
  };
  for (const Case& c : cases) {
    assign("F", c.remote, std::string("USER='u' PASS='p' ") + c.options);
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open("F", &file), st::OK) << c.name;
    EXPECT_EQ(file->handle()->data->read_buffer_size, 8192) << c.name;
    int32_t end = 0;
    read_all(*file, &end);
    EXPECT_EQ(end, st::END_OF_DATA) << c.name;
    EXPECT_GE(file->handle()->data->read_buffer_size, c.lowest) << c.name;
    EXPECT_LE(file->handle()->data->read_buffer_size, c.highest) << c.name;
    EXPECT_EQ(file->close(), st::OK);
  }
}

TEST_F(DataTransfer, ModAppendsInsteadOfStoring) {
  Script script;
  script.defaults()
      .transfer("STOR", "150 Send.\r\n", Data::receiving(), "226 Stored.\r\n")
      .transfer("APPE", "150 Send.\r\n", Data::receiving(), "226 Appended.\r\n");
  serve(script);
  assign("S", "out.txt", "USER='u' PASS='p'");
  assign("A", "out.txt", "USER='u' PASS='p' MOD");
  OpenParams out;
  out.mode = OPEN_OUTPUT;
  for (const char* name : {"S", "A"}) {
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open(name, &file, out), st::OK) << name;
    EXPECT_EQ(file->write(name), st::OK);
    EXPECT_EQ(file->close(), st::OK);
  }
  ASSERT_TRUE(server().wait_sessions_ended(2, 5000));
  EXPECT_EQ(server().transcript(), std::string(LOGIN) + SETUP + "STOR out.txt\nQUIT\n" + LOGIN +
                                       SETUP + "APPE out.txt\nQUIT\n");
  EXPECT_EQ(server().record().uploads, (std::vector<std::string>{"S\r\n", "A\r\n"}));
}

// The record-access vector gives a reply-only open the reply-line reader;
// the data reader called for it anyway has nothing to give.
TEST_F(DataTransfer, DataReaderWithoutADataConnectionReportsTheEnd) {
  Script script;
  script.defaults().on("STAT", "211 Fine.\r\n");
  serve(script);
  assign("F", "", "USER='u' PASS='p' RSTAT");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  char* data = reinterpret_cast<char*>(1);
  int32_t length = 5;
  EXPECT_EQ(ftptest::module().call(host::slot::READ, file->handle(), &data,
                                                      &length, static_cast<char*>(nullptr)),
            st::END_OF_DATA);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(file->close(), st::OK);
}

// The server says the transfer failed after all the data came: what was read
// may be incomplete, so the close fails (it still ends everything).
TEST_F(DataTransfer, CloseReportsAFailedFinalReplyAndFails) {
  Script script;
  script.defaults().step(retr_step("150 Here.\r\n", Data::sending("a\r\n"), "451 Local error.\r\n"));
  serve(script);
  assign("F", "f", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_all(*file, &end), std::vector<std::string>{"a"});
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(file->close(), st::FAILED);
  EXPECT_EQ(logged(msg::REPLY_LINE), std::vector<std::string>{"<<< 451 Local error."});
  EXPECT_EQ(failure_texts(),
            std::vector<std::string>{host::messages::catalog_text(msg::GROUP, msg::TRANSFER_REFUSED)});
  EXPECT_EQ(transcript_after_close(), std::string(LOGIN) + SETUP + "RETR f\nQUIT\n");
}

// A read the host breaks off and closes ends cleanly: the server's 426 for
// the data it could not send is the expected answer, not a failure, and
// leaves no failure text behind for the host to show. A server that says
// nothing about a transfer broken off until it hears ABOR (pure-ftpd) is
// told at once, and close reads ABOR's reply -- after the transfer's own,
// when one comes first -- instead of waiting for the end of a transfer that
// never ends.
TEST_F(DataTransfer, AReadBrokenOffEndsCleanlyWhateverTheServerSays) {
  // More lines than the sockets hold, still coming long after the close.
  std::string lines;
  while (lines.size() < (12u << 20)) lines += std::string(78, 'x') + "\r\n";
  const Writes endless = Writes::split(lines, 65536, 50);
  struct Case {
    const char* name;
    Writes data;
    Writes final_reply;
    bool quiet;          // no final reply for the transfer broken off
    Writes abort_reply;  // the answer to ABOR
    std::vector<std::string> replies;  // the reply lines close reads
  };
  const Case cases[] = {
      {"426 at once", "a\r\nb\r\n", "426 Connection closed.\r\n", false, "", {}},
      {"nothing until ABOR", endless, "226 Done.\r\n", true,
       "226 Since you see this ABOR must've succeeded\r\n",
       {"<<< 226 Since you see this ABOR must've succeeded"}},
      {"426, then ABOR's own reply", endless, "226 Done.\r\n", true,
       "426 Transfer aborted.\r\n226 Abort successful.\r\n",
       {"<<< 426 Transfer aborted.", "<<< 226 Abort successful."}},
  };
  limit_waits(5);  // a close that waited for the transfer's end would fail
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Step transfer = retr_step("150 Here.\r\n", Data::sending(c.data), c.final_reply);
    transfer.quiet_when_broken_off = c.quiet;
    Script script;
    script.defaults().step(transfer);
    if (!c.abort_reply.chunks.empty()) script.on("ABOR", c.abort_reply);
    ftptest::ScriptServer& server = serve(script);
    assign("F", "f", "USER='u' PASS='p' DEBUG", server.address());
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open("F", &file), st::OK);
    host::files::Record r;
    ASSERT_EQ(file->read(&r), st::OK);
    host::messages::clear_log();  // from here: the replies close reads
    EXPECT_EQ(file->close(), st::OK);
    EXPECT_TRUE(failure_texts().empty()) << testing::PrintToString(failure_texts());
    server.stop();
    if (c.quiet) {
      EXPECT_EQ(logged(msg::REPLY_LINE), c.replies);
      EXPECT_EQ(server.transcript(), std::string(LOGIN) + SETUP + "RETR f\nABOR\nQUIT\n");
    }
  }
}

TEST_F(DataTransfer, NoquitClosesWithoutWaitingForTheFinalReply) {
  Script script;
  // The final reply would come long after every limit of this test.
  script.defaults().step(
      retr_step("150 Here.\r\n", Data::sending("a\r\n"), Writes::delayed(10000, "226 Done.\r\n")));
  serve(script);
  assign("F", "f", "USER='u' PASS='p' NOQUIT");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_all(*file, &end), std::vector<std::string>{"a"});
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_TRUE(logged(msg::REPLY_LINE).empty());
  stop_server();
  EXPECT_EQ(server().transcript(), std::string(LOGIN) + SETUP + "RETR f\nQUIT\n");
}

}  // namespace

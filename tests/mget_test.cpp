// MGET against the scripted server: names from an explicit list (quotes,
// an unclosed quote) or from NLST, MPROMPT skipping and declining files,
// long names, empty listings, and a next file that cannot be started.
#include <gtest/gtest.h>

#include "ftp/ftp_file.h"
#include "host/messages.h"
#include "host/prompt.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::OpenFile;

constexpr const char* LOGIN = "USER u\nPASS p\n";
constexpr const char* SETUP = "PORT 127,0,0,1,*,*\nTYPE A\nPWD\n";

// A server whose every RETR sends one line.
Script serving_every_name() {
  Script script;
  script.defaults();
  ftptest::Step step;
  step.verb = "RETR";
  step.reply = "150 Here.\r\n";
  step.data = Data::sending("x\r\n");
  step.after = "226 Done.\r\n";
  step.repeat = true;
  script.step(step);
  return script;
}

class Mget : public ftptest::SessionTest {
 protected:
  // Reads to the end; each 0x1003 appears in the result as "--next--".
  std::vector<std::string> read_files(OpenFile& file, int32_t* end) {
    std::vector<std::string> out;
    for (int i = 0; i < 1000; ++i) {
      host::files::Record r;
      int32_t status = file.read(&r);
      if (status == st::NEXT_CONNECTION) {
        out.push_back("--next--");
        continue;
      }
      if (status != st::OK) {
        *end = status;
        return out;
      }
      out.emplace_back(r.view());
    }
    return out;
  }
  std::string transcript_after_close() {
    EXPECT_TRUE(server().wait_sessions_ended(1, 5000));
    return server().transcript();
  }
};

Script three_files() {
  Script script;
  script.defaults()
      .transfer("RETR", "150 Here.\r\n", Data::sending("a1\r\na2\r\n"), "226 Done.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("b1\r\n"), "226 Done.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("c1\r\n"), "226 Done.\r\n");
  return script;
}

TEST_F(Mget, ExplicitListWithQuotedNames) {
  serve(three_files());
  assign("F", "(a.txt 'b c.txt' \"d\")", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_files(*file, &end),
            (std::vector<std::string>{"a1", "a2", "--next--", "b1", "--next--", "c1"}));
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_EQ(transcript_after_close(), std::string(LOGIN) + SETUP + "RETR a.txt\n" + SETUP +
                                          "RETR b c.txt\n" + SETUP + "RETR d\nQUIT\n");
}

TEST_F(Mget, ListWithoutClosingParenthesisKeepsItsLastName) {
  serve(three_files());
  assign("F", "(a bc", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_files(*file, &end), (std::vector<std::string>{"a1", "a2", "--next--", "b1"}));
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_EQ(transcript_after_close(),
            std::string(LOGIN) + SETUP + "RETR a\n" + SETUP + "RETR bc\nQUIT\n");
}

// A listed name is one file even when it reads like a list, and the CR of a
// CR LF listing read with TERMSTR=LF is not part of it.
TEST_F(Mget, ListedNamesAreSingleFiles) {
  Script script = serving_every_name();
  script.steps.insert(script.steps.begin(), {"NLST", "150 Here.\r\n",
                                             Data::sending("(odd name)\r\n"), "226 Done.\r\n"});
  serve(script);
  assign("F", "*", "USER='u' PASS='p' MGET TERMSTR=LF");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  read_files(*file, &end);  // to the end: a close before it would be an ABOR
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_EQ(transcript_after_close(), std::string(LOGIN) + SETUP + "NLST *\n" + SETUP +
                                          "RETR (odd name)\nQUIT\n");
}

TEST_F(Mget, UnclosedQuoteFailsBeforeAnyCommand) {
  Script script;
  script.defaults();
  serve(script);
  assign("F", "(a.txt 'b c.txt)", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::UNTERMINATED_QUOTE);
  stop_server();
  EXPECT_EQ(server().transcript(), LOGIN);
}

TEST_F(Mget, PatternTakesTheNamesFromNlst) {
  Script script;
  // The listing is read as lines whatever the files' format is.
  script.defaults()
      .transfer("NLST", "150 Here.\r\n", Data::sending("x.txt\r\n\r\ny.txt\r\n"), "226 Done.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("abcdefghijkl"), "226 Done.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("mnopqr"), "226 Done.\r\n");
  serve(script);
  assign("F", "*.txt", "USER='u' PASS='p' MGET RECFM=F LRECL=6 WD='sub'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_files(*file, &end),
            (std::vector<std::string>{"abcdef", "ghijkl", "--next--", "mnopqr"}));
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(file->close(), st::OK);
  const std::string setup_i = "PORT 127,0,0,1,*,*\nTYPE I\nPWD\n";
  // The session stays in the folder it changed to once: a relative WD would
  // fail if it were changed to again.
  EXPECT_EQ(transcript_after_close(),
            std::string(LOGIN) + "PORT 127,0,0,1,*,*\nTYPE A\nCWD sub\nPWD\nNLST *.txt\n" +
                setup_i + "RETR x.txt\n" + setup_i + "RETR y.txt\nQUIT\n");
}

// The server's matching is not taken on trust: a name it lists that the
// pattern does not ask for is not read, and the module says so.
TEST_F(Mget, NamesTheServerListsMustMatchThePattern) {
  struct Case {
    const char* pattern;
    const char* listing;
    std::vector<std::string> read;
    std::vector<std::string> refused;
  };
  const Case cases[] = {
      {"*.txt", "a.txt\r\n.profile\r\nb.dat\r\nsub/c.txt\r\n../d.txt\r\n..\r\n",
       {"a.txt"}, {".profile", "b.dat", "sub/c.txt", "../d.txt", ".."}},
      {".*", ".profile\r\n.\r\nx\r\n", {".profile"}, {".", "x"}},
      {"sub/*.txt", "sub/a.txt\r\nb.txt\r\nother/c.txt\r\nsub/.d.txt\r\n",
       {"sub/a.txt", "b.txt"}, {"other/c.txt", "sub/.d.txt"}},
      // A pattern without wildcards names a file, or a folder the server lists.
      {"sub", "sub/a\r\nb\r\nsub/.c\r\n.d\r\nelse/e\r\n", {"sub/a", "b"},
       {"sub/.c", ".d", "else/e"}},
      {".profile", ".profile\r\n", {".profile"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    Script script = serving_every_name();
    script.steps.insert(script.steps.begin(),
                        {"NLST", "150 Here.\r\n", Data::sending(c.listing), "226 Done.\r\n"});
    ftptest::ScriptServer& server = serve(script);
    host::messages::clear_log();
    assign("F", c.pattern, "USER='u' PASS='p' MGET", server.address());
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open("F", &file), st::OK);
    int32_t end = 0;
    read_files(*file, &end);
    EXPECT_EQ(end, st::END_OF_DATA);
    EXPECT_EQ(file->close(), st::OK);
    server.stop();
    std::vector<std::string> read;
    for (const auto& command : server.record().commands)
      if (command.rfind("RETR ", 0) == 0) read.push_back(command.substr(5));
    EXPECT_EQ(read, c.read);
    std::vector<std::string> refused;
    for (const auto& line : logged(msg::MGET_NAME_UNASKED)) refused.push_back(line);
    ASSERT_EQ(refused.size(), c.refused.size()) << testing::PrintToString(refused);
    for (size_t i = 0; i < refused.size(); ++i)
      EXPECT_EQ(refused[i].rfind("The server listed " + c.refused[i] + ", which ", 0), 0u)
          << refused[i];
  }
}

// A listing the server reports as failed may have lost names: the MGET must
// not go on with what came as if it were the whole list.
TEST_F(Mget, ANameListingRefusedAtItsEndFailsTheOpen) {
  Script script;
  script.defaults()
      .transfer("NLST", "150 Here.\r\n", Data::sending("x.txt\r\n"), "451 Listing aborted.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("abc\r\n"), "226 Done.\r\n");
  serve(script);
  assign("F", "*.txt", "USER='u' PASS='p' MGET");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::FILE_REFUSED);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{host::messages::catalog_text(
                                 msg::GROUP, msg::TRANSFER_REFUSED)});
  EXPECT_EQ(logged(msg::REPLY_LINE), std::vector<std::string>{"<<< 451 Listing aborted."});
  EXPECT_EQ(transcript_after_close().find("RETR"), std::string::npos);
}

TEST_F(Mget, MpromptSkipsTheFilesDeclined) {
  serve(three_files());
  host::prompt::set_responder(host::prompt::scripted_responder({"yes", "no", "yes"}));
  assign("F", "(a b c)", "USER='u' PASS='p' MPROMPT");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_files(*file, &end), (std::vector<std::string>{"a1", "a2", "--next--", "b1"}));
  EXPECT_EQ(end, st::END_OF_DATA);
  // Reading on after the end asks nothing more.
  host::files::Record r;
  EXPECT_EQ(file->read(&r), st::END_OF_DATA);
  const auto& asked = host::prompt::asked();
  ASSERT_EQ(asked.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(asked[i].kind, host::prompt::QUESTION);
    EXPECT_EQ(asked[i].title, "FTP ACCESS METHOD");
    EXPECT_NE(asked[i].text.find(std::string(1, char('a' + i))), std::string::npos);
  }
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_EQ(transcript_after_close(),
            std::string(LOGIN) + SETUP + "RETR a\n" + SETUP + "RETR c\nQUIT\n");
}

TEST_F(Mget, DecliningEveryFileNamesTheLastOne) {
  Script script;
  script.defaults();
  serve(script);
  host::prompt::set_responder(host::prompt::scripted_responder({"no", "no"}));
  assign("F", "(first last)", "USER='u' PASS='p' MPROMPT");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::FILE_REFUSED);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"last"});
}

TEST_F(Mget, EmptyListingStartsNoFile) {
  Script script;
  script.defaults().transfer("NLST", "150 Here.\r\n", Data::sending(""), "226 Done.\r\n");
  serve(script);
  assign("F", "*.none", "USER='u' PASS='p' MGET");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::FILE_REFUSED);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"*.none"});
}

// The listing is read as lines of its own whatever the files' format,
// terminator and record length: names up to 1024 characters, a last name
// without its line end, a CR before the LF dropped.
TEST_F(Mget, ListedNamesComeWholeWhateverTheFileFormat) {
  const std::string long_name(1024, 'n');
  struct Case {
    const char* options;
    std::string listing;
  };
  const Case cases[] = {
      {"LRECL=100", long_name + "\r\nshort"},
      {"TERMSTR=NULL", long_name + "\nshort\n"},
      {"RECFM=F LRECL=10", long_name + "\r\nshort\r\n"},
      {"S370V", long_name + "\nshort"},
  };
  for (const Case& c : cases) {
    Script script;  // every file is empty, a whole file in any format
    script.defaults()
        .transfer("NLST", "150 Here.\r\n", Data::sending(c.listing), "226 Done.\r\n")
        .transfer("RETR", "150 Here.\r\n", Data::sending(""), "226 Done.\r\n")
        .transfer("RETR", "150 Here.\r\n", Data::sending(""), "226 Done.\r\n");
    ftptest::ScriptServer& server = serve(script);
    assign("F", "*", std::string("USER='u' PASS='p' MGET ") + c.options, server.address());
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open("F", &file), st::OK) << c.options;
    EXPECT_EQ(std::string(file->handle()->remote_name), long_name) << c.options;
    int32_t end = 0;
    read_files(*file, &end);
    EXPECT_EQ(end, st::END_OF_DATA) << c.options;
    file->close();
    server.stop();
    const std::string transcript = server.transcript();
    EXPECT_NE(transcript.find("NLST *\nPORT"), std::string::npos) << c.options;
    EXPECT_NE(transcript.find("TYPE A\nPWD\nNLST *\n"), std::string::npos)
        << c.options << ": the listing is text";
    EXPECT_NE(transcript.find("\nRETR " + long_name + "\n"), std::string::npos) << c.options;
    EXPECT_NE(transcript.find("\nRETR short\n"), std::string::npos) << c.options;
  }
}

TEST_F(Mget, ANameLongerThan1024CharactersFailsTheMget) {
  Script script = serving_every_name();
  script.steps.insert(script.steps.begin(),
                      {"NLST", "150 Here.\r\n", Data::sending(std::string(1025, 'n') + "\r\nb\r\n"),
                       "226 Done.\r\n"});
  serve(script);
  assign("F", "*", "USER='u' PASS='p' MGET");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::FAILED);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"A name for MGET is longer than 1024 characters."});
  EXPECT_EQ(server().record().commands.back().rfind("RETR", 0), std::string::npos)
      << "no file is read from a listing that lost a name";
}

TEST_F(Mget, AnEmptyQuotedNameIsNamedAsSuch) {
  Script script;
  script.defaults();
  serve(script);
  assign("F", "(a '' b)", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  EXPECT_TRUE(st::is_failure(open("F", &file)));
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"The MGET list holds an empty name."});
  EXPECT_TRUE(logged(msg::NO_INPUT_NAME).empty());
}

// The refusal of the next file is the last thing the server says about it:
// close sends QUIT at once.
TEST_F(Mget, NextFileRefusedEndsTheReadingAndCloseGoesOn) {
  Script script;
  script.defaults()
      .transfer("RETR", "150 Here.\r\n", Data::sending("a1\r\n"), "226 Done.\r\n")
      .on("RETR", "550 Gone.\r\n");
  serve(script);
  assign("F", "(a b)", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_files(*file, &end), std::vector<std::string>{"a1"});
  EXPECT_EQ(end, st::FILE_REFUSED);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"b"});
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_EQ(transcript_after_close(),
            std::string(LOGIN) + SETUP + "RETR a\n" + SETUP + "RETR b\nQUIT\n");
}

TEST_F(Mget, FailedFinalReplyOfOneFileIsReportedAndTheNextFollows) {
  Script script;
  script.defaults()
      .transfer("RETR", "150 Here.\r\n", Data::sending("a1\r\n"), "451 Aborted.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("b1\r\n"), "226 Done.\r\n");
  serve(script);
  assign("F", "(a b)", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_files(*file, &end), (std::vector<std::string>{"a1", "--next--", "b1"}));
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(logged(msg::REPLY_LINE), std::vector<std::string>{"<<< 451 Aborted."});
  // File a may be incomplete: close says so, as for a single file.
  EXPECT_EQ(file->close(), st::FAILED);
  EXPECT_EQ(failure_texts(),
            std::vector<std::string>{host::messages::catalog_text(msg::GROUP, msg::TRANSFER_REFUSED)});
}

// A server that hangs up between files ends the MGET with a failure that
// says so, not with an end of data.
TEST_F(Mget, AHangUpBetweenFilesFails) {
  Script script;
  script.defaults().transfer("RETR", "150 Here.\r\n", Data::sending("a1\r\n"), "226 Done.\r\n");
  script.steps.back().then = ftptest::Then::Close;
  serve(script);
  assign("F", "(a b c)", "USER='u' PASS='p'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_files(*file, &end), std::vector<std::string>{"a1"});
  EXPECT_EQ(end, st::FAILED);
  EXPECT_FALSE(failure_texts().empty());  // the hang-up, or the reset it became
  file->close();
  failure_texts();
}

}  // namespace

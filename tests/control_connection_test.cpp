// The control connection against a scripted server: open with greeting and
// log-in, the prompts, saved credentials, the DEBUG transcript, multi-line
// replies, HELP, STAT and raw commands read as records, close with QUIT,
// owner termination, breaks, and commands that must never be sent.
#include <gtest/gtest.h>

#include "ftp/ftp_file.h"
#include "module/msgno.h"
#include "module/status.h"
#include "support/session_support.h"

namespace {

using ftptest::Script;
using sessiontest::OpenFile;
using sessiontest::OpenParams;

class ControlConnection : public sessiontest::SessionTest {};

TEST_F(ControlConnection, HelpRepliesAreReadAsRecordsThenQuit) {
  Script script;
  script.defaults().on("HELP", "214-The following commands are recognized.\r\n"
                               " USER PASS QUIT\r\n"
                               "214 Help OK.\r\n");
  serve(script);
  assign("HELPF", "", "USER='u' PASS='p' RHELP");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("HELPF", &file), st::OK);
  int32_t end = 0;
  auto lines = read_all(*file, &end);
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(lines, (std::vector<std::string>{"214-The following commands are recognized.",
                                             " USER PASS QUIT", "214 Help OK."}));
  EXPECT_EQ(file->close(), st::OK);
  ASSERT_TRUE(server().wait_sessions_ended(1, 5000));
  EXPECT_EQ(server().transcript(), "USER u\nPASS p\nHELP\nQUIT\n");
}

}  // namespace

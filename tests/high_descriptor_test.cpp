// A host with about a thousand files open: the data connection's sockets
// get descriptors from 1024 on, which a plain fd_set cannot name. Waiting
// for the server's data connection and reading from it must work all the
// same.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "module/status.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::Step;

constexpr int FIRST_BEYOND_FD_SET = 1024;

class HighDescriptors : public ftptest::SessionTest {
 protected:
  void TearDown() override {
    for (int fd : fillers_) close(fd);
    SessionTest::TearDown();
  }
  // Takes every free descriptor below `limit`.
  void fill_descriptors_below(int limit) {
    for (;;) {
      int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      fillers_.push_back(fd);
      if (fd >= limit - 1) return;
    }
  }
  std::vector<int> fillers_;
};

TEST_F(HighDescriptors, TransferWithSocketsBeyondTheFdSetReadsEveryRecord) {
  Step retr;
  retr.verb = "RETR";
  retr.reply = "150 Here.\r\n";
  retr.data = Data::sending("one\r\ntwo\r\n");
  retr.after = "226 Done.\r\n";
  Script script;
  script.defaults().step(retr);
  serve(script);
  assign("F", "f", "USER='u' PASS='p'");
  fill_descriptors_below(FIRST_BEYOND_FD_SET + 8);
  std::unique_ptr<ftptest::OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK) << failure_texts().size();
  int32_t end = 0;
  EXPECT_EQ(read_all(*file, &end), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(file->close(), st::OK);
}

}  // namespace

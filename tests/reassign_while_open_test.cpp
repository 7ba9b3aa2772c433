// Reassigning a reference while a file of it is open: the reassign releases
// the old assign-time options, and the open file goes on with the directory,
// raw command and listing pattern it was opened with.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ftp/ftp_file.h"
#include "ftp/ftp_options.h"
#include "ftp/reference/method_instance.h"
#include "host/memory.h"
#include "host/module.h"
#include "host/references.h"
#include "module/status.h"
#include "tests/support/loaded_module.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::OpenFile;

FtpFile* only_open_file() {
  MethodInstance* instance = ftptest::module().entry()->instance;
  return instance ? instance->open_files : nullptr;
}

class ReassignWhileOpen : public ftptest::SessionTest {};

TEST_F(ReassignWhileOpen, TheOpenFileKeepsItsOwnOptionTexts) {
  Script script;
  script.defaults().always("NOOP", "200 Fine.\r\n").always("STAT", "211 Fine.\r\n");
  for (const char* name : {"a", "b"}) {
    ftptest::Step retr;
    retr.verb = "RETR";
    retr.reply = "150 Here.\r\n";
    retr.data = Data::sending(std::string(name) + "\r\n");
    retr.after = "226 Done.\r\n";
    script.step(retr);
  }
  serve(script);
  assign("F", "(a b)", "USER='u' PASS='p' WD='/dir' RCMD='NOOP'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  host::files::Record record;
  ASSERT_EQ(file->read(&record), st::OK);

  // Every freed block is overwritten as it goes, so that nothing can read
  // the old options by luck.
  const FtpFile* open_file = only_open_file();
  ASSERT_NE(open_file, nullptr);
  const char* old_block = reinterpret_cast<const char*>(open_file->assign_options);
  host::memory::set_free_inspector([](const void* block, int32_t size) {
    std::memset(const_cast<void*>(block), 0x5A, size_t(size));
  });
  ASSERT_TRUE(host::references::assign("F", "other", "USER='x' PASS='y'").ok());
  host::memory::set_free_inspector(nullptr);
  for (const char* text : {open_file->cwd, open_file->rcmd}) {
    EXPECT_FALSE(text >= old_block && text < old_block + FTP_OPTIONS_SIZE)
        << "the open file still points into the released options";
  }

  EXPECT_EQ(file->read(&record), st::NEXT_CONNECTION);  // file b is started
  int32_t end = 0;
  EXPECT_EQ(read_all(*file, &end), std::vector<std::string>{"b"});
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_TRUE(server().wait_sessions_ended(1, 5000));
  EXPECT_EQ(server().transcript(),
            "USER u\nPASS p\nPORT 127,0,0,1,*,*\nTYPE A\nCWD /dir\nPWD\nNOOP\nSTAT\nRETR a\n"
            "PORT 127,0,0,1,*,*\nTYPE A\nPWD\nNOOP\nSTAT\nRETR b\nQUIT\n");
}

}  // namespace

#include "tests/support/session_support.h"

#include "ftp/reference/method_instance.h"
#include "host/events.h"
#include "host/memory.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/options.h"
#include "host/prompt.h"
#include "host/references.h"
#include "host/spool.h"
#include "module/status.h"
#include "tests/support/sock_support.h"

namespace ftptest {

void SessionTest::SetUp() {
  host::messages::clear_log();
  host::messages::take_failure_texts();
  host::prompt::set_responder(host::prompt::scripted_responder({}));
  host::prompt::clear_asked();
  // No test may wait without end for a server that stays silent.
  host::events::set_idle_limit(20);
  blocks_before_ = host::memory::live_blocks();
  descriptors_before_ = ftptest::open_descriptors();
  work_files_before_ = host::spool::open_files();
}

void SessionTest::TearDown() {
  stop_server();
  for (const auto& r : host::references::list()) {
    auto result = host::references::deassign(r.name);
    EXPECT_EQ(result.status, st::OK) << "reference " << r.name << " still has open files";
  }
  host::options::reset();
  host::events::set_idle_limit(0);
  host::events::cancel_break();
  host::prompt::set_responder(nullptr);
  EXPECT_EQ(host::memory::live_blocks(), blocks_before_) << "pool blocks left behind";
  EXPECT_EQ(ftptest::open_descriptors(), descriptors_before_) << "descriptors left behind";
  EXPECT_EQ(host::spool::open_files(), work_files_before_) << "work files left behind";
  EXPECT_EQ(host::events::registered_descriptors(), 0);
  EXPECT_EQ(host::events::pushed_states(), 0);
}

void SessionTest::limit_waits(int seconds) {
  host::options::set("XXAMWAIT", std::to_string(seconds));
  host::events::set_idle_limit(0);  // the host's limit is XXAMWAIT then
}

ftptest::ScriptServer& SessionTest::serve(ftptest::Script script, const std::string& address,
                                          int port) {
  servers_.push_back(std::make_unique<ftptest::ScriptServer>(std::move(script)));
  std::string error;
  EXPECT_TRUE(servers_.back()->start(&error, address, port)) << error;
  return *servers_.back();
}

void SessionTest::stop_server() {
  for (auto& server : servers_) server->stop();
}

void SessionTest::assign(const std::string& name, const std::string& remote,
                         const std::string& options, const std::string& address) {
  std::string host = address.empty() ? server().host() : address;
  auto result = host::references::assign(name, remote, "HOST='" + host + "' " + options);
  ASSERT_TRUE(result.ok()) << result.message;
}

int32_t SessionTest::open(const std::string& name, std::unique_ptr<OpenFile>* file,
                          OpenParams params) {
  return OpenFile::open(name, params, file);
}

FtpOptions* SessionTest::open_options(const std::string& options) {
  FtpOptions* block = nullptr;
  auto result = host::references::parse_options(options, host::references::PARSE_INPUT, &block);
  EXPECT_TRUE(result.ok()) << result.message;
  return block;
}

std::vector<std::string> SessionTest::read_all(OpenFile& file, int32_t* end) {
  std::vector<std::string> records;
  for (int i = 0; i < 100000; ++i) {
    host::files::Record record;
    int32_t status = file.read(&record);
    if (status != st::OK && status != st::TRUNCATED) {
      *end = status;
      return records;
    }
    records.emplace_back(record.view());
  }
  *end = st::OK;
  return records;
}

std::vector<std::string> SessionTest::logged(int number) {
  std::vector<std::string> texts;
  for (const auto& line : host::messages::log())
    if (line.group == 566 && line.number == number) texts.push_back(line.text);
  return texts;
}

std::vector<std::string> SessionTest::failure_texts() {
  std::vector<std::string> texts;
  for (const auto& t : host::messages::take_failure_texts()) texts.push_back(t.text);
  return texts;
}

}  // namespace ftptest

// Waiting for the peer through the host's event wait: breaks requested from
// another thread or a signal handler end a wait on a block with a break word
// (message 37), a declined break leaves it running, and XXAMWAIT ends a wait
// on a silent peer (message 210).
#include <gtest/gtest.h>

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>

#include "host/control_block.h"
#include "host/events.h"
#include "host/messages.h"
#include "host/options.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/sock_support.h"

namespace {

using namespace ftptest;

// The break routine the host runs: notes the break word as the wait left it
// and, when the break is confirmed, ends the wait.
int32_t* g_break_word = nullptr;
int32_t g_word_during_wait = 99;
bool g_confirm = true;
int g_routine_calls = 0;

int32_t break_routine() {
  ++g_routine_calls;
  g_word_during_wait = *g_break_word;
  if (g_confirm) {
    *g_break_word = 1;
    sock().yxsbrk();
  }
  return 0;
}

class SockWait : public SockTest {
 protected:
  void SetUp() override {
    SockTest::SetUp();
    g_word_during_wait = 99;
    g_confirm = true;
    g_routine_calls = 0;
    break_word_ = -1;
    g_break_word = &break_word_;
  }
  void TearDown() override {
    for (int i = 0; i < 500 && !later_done_.load(); ++i) usleep(10 * 1000);
    EXPECT_TRUE(later_done_.load());
    SockTest::TearDown();
  }
  // A breakable block reading lines from a local peer that stays silent.
  int open_breakable(Block& block, LocalServer& server) {
    block->break_word = &break_word_;
    block->break_routine = break_routine;
    return open_local(block, server, SOCK_READS | SOCK_WRITES, READ_TERMINATED, 80, TERM_CRLF);
  }
  // Runs `action` on another thread a moment from now. The thread is
  // detached and only signals that it is done: joining a thread that is
  // still running is not reliable under the i386 emulator.
  void after_a_moment(void (*action)()) {
    later_done_ = false;
    std::thread([this, action] {
      usleep(100 * 1000);
      action();
      later_done_ = true;
    }).detach();
  }
  int32_t break_word_ = -1;
  std::atomic<bool> later_done_{true};
};

void request_break() { host::events::request_break(); }

TEST_F(SockWait, BreakEndsAReadWithMessage37) {
  LocalServer server;
  Block block;
  SocketFd peer(open_breakable(block, server));
  after_a_moment(request_break);
  EXPECT_EQ(sock().yxsread(block.get()), st::FAILED);
  EXPECT_EQ(g_routine_calls, 1);
  EXPECT_EQ(g_word_during_wait, 0);
  auto texts = failure_texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], host::messages::catalog_text(msg::GROUP, msg::WAIT_BROKEN));
  EXPECT_EQ(*host::task_wait_slot(), nullptr);

  // The block stays usable: the next read gets what the peer sends.
  write_all(peer, "later\r\n");
  EXPECT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "later");
}

TEST_F(SockWait, BreakEndsAnAccept) {
  Block block;
  block.set_host("127.0.0.1");
  block->direction = SOCK_READS;
  block->break_word = &break_word_;
  block->break_routine = break_routine;
  ASSERT_EQ(sock().yxssopn(block.get()), 0);
  after_a_moment(request_break);
  EXPECT_EQ(sock().yxsacc(block.get()), st::FAILED);
  EXPECT_EQ(g_word_during_wait, 0);
  EXPECT_EQ(failure_texts().size(), 1u);
  EXPECT_EQ(block->accepted_socket, -1);
}

void on_alarm(int) { host::events::request_break(); }

// The signal arrives while the task sleeps in the host's wait; its handler
// only requests the break.
TEST_F(SockWait, BreakFromASignalHandler) {
  struct sigaction action = {}, saved;
  action.sa_handler = on_alarm;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, &saved);
  LocalServer server;
  Block block;
  SocketFd peer(open_breakable(block, server));
  itimerval once = {{0, 0}, {0, 100 * 1000}};
  setitimer(ITIMER_REAL, &once, nullptr);
  EXPECT_EQ(sock().yxsread(block.get()), st::FAILED);
  EXPECT_EQ(g_routine_calls, 1);
  EXPECT_EQ(failure_texts().size(), 1u);
  sigaction(SIGALRM, &saved, nullptr);
}

int g_peer_fd = -1;
void request_break_then_send() {
  host::events::request_break();
  usleep(100 * 1000);
  ::write(g_peer_fd, "ok\r\n", 4);
}

TEST_F(SockWait, DeclinedBreakLeavesTheWaitRunning) {
  g_confirm = false;
  LocalServer server;
  Block block;
  SocketFd peer(open_breakable(block, server));
  g_peer_fd = peer;
  after_a_moment(request_break_then_send);
  EXPECT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "ok");
  EXPECT_EQ(g_routine_calls, 1);
  EXPECT_TRUE(failure_texts().empty());
}

// Without a break word the wait cannot be broken: the break stays pending.
TEST_F(SockWait, BlockWithoutBreakWordIgnoresBreaks) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80));
  g_peer_fd = peer;
  after_a_moment(request_break_then_send);
  EXPECT_EQ(sock().yxsread(block.get()), st::OK);
  EXPECT_EQ(block.record(), "ok\r");
  EXPECT_EQ(g_routine_calls, 0);
}

TEST_F(SockWait, BreakWithNoWaitChangesNothing) {
  LocalServer server;
  Block block;
  SocketFd peer(open_breakable(block, server));
  sock().yxsbrk();
  write_all(peer, "fine\r\n");
  EXPECT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "fine");
  EXPECT_EQ(g_word_during_wait, 99);
}

TEST_F(SockWait, SilentPeerFailsAfterTheWaitValue) {
  host::options::set("XXAMWAIT", "1");
  LocalServer server;
  Block block;
  SocketFd peer(open_breakable(block, server));
  BreakRoutine routine = break_routine;
  int32_t port = 0;
  ASSERT_EQ(sock().yxsinit(&routine, &block->break_routine, nullptr, &block->wait_value, &port),
            0);
  ASSERT_EQ(block->wait_value, 1);
  EXPECT_EQ(host::events::idle_limit(), 1);
  EXPECT_EQ(sock().yxsread(block.get()), st::FAILED);
  auto texts = failure_texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], host::messages::format_string(
                          host::messages::catalog_text(msg::GROUP, msg::WAIT_TIMED_OUT), 1));
  EXPECT_EQ(g_routine_calls, 0);
}

}  // namespace

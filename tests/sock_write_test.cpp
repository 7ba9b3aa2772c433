// Writing and closing: terminators, the direct and buffered paths, partial
// and interrupted writes, a peer that has gone away, and yxsclos flushing
// what is pending, idempotently.
#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

#include "module/status.h"
#include "tests/support/sock_support.h"

namespace {

using namespace ftptest;

using SockWrite = SockTest;

int32_t send(Block& block, const std::string& data) {
  std::memcpy(block->staging, data.data(), data.size());
  block->staging_length = int32_t(data.size());
  return sock().yxswrit(block.get());
}

TEST_F(SockWrite, TerminatedLinesGetTheTerminator) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS | SOCK_WRITES, READ_TERMINATED, 2048, TERM_CRLF,
                     2048));
  EXPECT_EQ(send(block, "USER x"), 0);
  EXPECT_EQ(block->write_count, 1);
  EXPECT_EQ(read_peer(peer, false), "USER x\r\n");
}

TEST_F(SockWrite, FixedRecordsGetNoTerminator) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_WRITES, READ_FIXED, 8, TERM_LF));
  EXPECT_EQ(send(block, "abcdefgh"), 0);
  EXPECT_EQ(send(block, "ijk"), 0);
  EXPECT_EQ(read_peer(peer, false), "abcdefghijk");  // no write buffer: straight through
}

TEST_F(SockWrite, BufferedBlockWritesWhenTheBufferFills) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_WRITES, READ_FIXED, 100, TERM_LF, 32768));
  std::string sent;
  for (int i = 1; i <= 327; ++i) {
    std::string record(100, char('a' + i % 26));
    sent += record;
    ASSERT_EQ(send(block, record), 0);
  }
  EXPECT_EQ(block->write_count, 0);
  EXPECT_EQ(read_peer(peer, false), "");
  std::string last(100, '#');
  sent += last;
  ASSERT_EQ(send(block, last), 0);  // 68 bytes fill the buffer, 32 start the next
  EXPECT_EQ(block->write_count, 1);
  EXPECT_EQ(block->write_fill, 32);
  std::string received = read_peer(peer, false);
  EXPECT_EQ(received, sent.substr(0, 32768));
  EXPECT_EQ(sock().yxsclos(block.get()), 0);
  EXPECT_EQ(block->write_count, 2);
  EXPECT_EQ(received + read_peer(peer), sent);
}

TEST_F(SockWrite, RecordLargerThanTheBufferGoesOutInFullBuffers) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_WRITES, READ_TERMINATED, 350, TERM_LF, 100));
  std::string record;
  for (int i = 0; i < 350; ++i) record.push_back(char('0' + i % 10));
  ASSERT_EQ(send(block, record), 0);
  EXPECT_EQ(block->write_count, 3);
  EXPECT_EQ(block->write_fill, 51);  // 50 bytes and the terminator
  EXPECT_EQ(sock().yxsclos(block.get()), 0);
  EXPECT_EQ(read_peer(peer), record + "\n");
}

TEST_F(SockWrite, PartialAndInterruptedWritesAreContinued) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS | SOCK_WRITES, READ_TERMINATED, 200, TERM_CRLF));
  script_writes({3, -1, 5, 1, -1, -1, 7});
  std::string line(150, 'w');
  EXPECT_EQ(send(block, line), 0);
  EXPECT_EQ(block->write_count, 1);
  EXPECT_EQ(read_peer(peer, false), line + "\r\n");
  EXPECT_TRUE(failure_texts().empty());
}

void ignore_alarm(int) {}
int g_write_calls = 0;
ssize_t counting_write(int fd, const void* data, size_t length) {
  ++g_write_calls;
  return original().write(fd, data, length);
}

// Real signals arrive while a large write blocks on a slow reader (another
// process); every byte still arrives, in order.
TEST_F(SockWrite, WriteInterruptedBySignalsDeliversEverything) {
  struct sigaction action = {}, saved;
  action.sa_handler = ignore_alarm;  // no SA_RESTART: the write is interrupted
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, &saved);
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS | SOCK_WRITES, READ_FIXED, 1 << 20));
  std::string data(1 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 251);
  int answer[2];
  ASSERT_EQ(pipe(answer), 0);
  pid_t reader = fork();
  if (reader == 0) {
    close(answer[0]);
    close(block->main_socket);  // the writer's end: the reader waits for its end of file
    std::string got;
    char buffer[1000];
    for (ssize_t n; (n = read(peer, buffer, sizeof buffer)) != 0;) {
      if (n > 0) got.append(buffer, size_t(n));
      usleep(100);
    }
    char ok = got == data ? 'y' : 'n';
    ssize_t w = write(answer[1], &ok, 1);
    _exit(w == 1 ? 0 : 1);
  }
  close(answer[1]);
  g_write_calls = 0;
  syscalls().write = counting_write;
  itimerval often = {{0, 2000}, {0, 2000}};
  setitimer(ITIMER_REAL, &often, nullptr);
  std::memcpy(block->staging, data.data(), data.size());
  block->staging_length = int32_t(data.size());
  EXPECT_EQ(sock().yxswrit(block.get()), 0);
  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  EXPECT_EQ(sock().yxsclos(block.get()), 0);
  peer.reset();
  char ok = 0;
  EXPECT_EQ(read(answer[0], &ok, 1), 1);
  close(answer[0]);
  int status = 0;
  waitpid(reader, &status, 0);
  EXPECT_EQ(ok, 'y');
  EXPECT_GT(g_write_calls, 1);  // interrupted part-way and continued
  sigaction(SIGALRM, &saved, nullptr);
}

TEST_F(SockWrite, PeerGoneFailsWithoutEndingTheProcess) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS | SOCK_WRITES, READ_TERMINATED, 80));
  peer.reset();
  EXPECT_EQ(send(block, "QUIT"), st::FAILED);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"Broken pipe"});
}

TEST_F(SockWrite, FailedBufferedWriteKeepsTheFullBuffer) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_WRITES, READ_FIXED, 10, TERM_LF, 20));
  peer.reset();
  EXPECT_EQ(send(block, "0123456789"), 0);
  EXPECT_EQ(send(block, "0123456789"), st::FAILED);
  EXPECT_EQ(block->write_fill, 20);
  EXPECT_EQ(failure_texts().size(), 1u);
  // Closing tries the pending bytes once more, reports it, and closes anyway.
  EXPECT_EQ(sock().yxsclos(block.get()), st::FAILED);
  EXPECT_EQ(block->main_socket, -1);
  EXPECT_EQ(block->write_fill, 0);
  EXPECT_EQ(failure_texts().size(), 1u);
}

TEST_F(SockWrite, OversizedStagingLengthIsRefused) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_WRITES, READ_TERMINATED, 10, TERM_CRLF));
  block->staging_length = 11;
  EXPECT_EQ(sock().yxswrit(block.get()), st::FAILED);
  block->staging_length = -1;
  EXPECT_EQ(sock().yxswrit(block.get()), st::FAILED);
  EXPECT_EQ(failure_texts().size(), 2u);
  EXPECT_EQ(read_peer(peer, false), "");
}

TEST_F(SockWrite, CloseFlushesPendingBytesAndIsIdempotent) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_WRITES, READ_FIXED, 10, TERM_LF, 4096));
  ASSERT_EQ(send(block, "0123456789"), 0);
  EXPECT_EQ(block->write_fill, 10);
  EXPECT_EQ(sock().yxsclos(block.get()), 0);
  EXPECT_EQ(block->write_count, 1);
  EXPECT_EQ(block->main_socket, -1);
  EXPECT_EQ(block->accepted_socket, -1);
  EXPECT_EQ(block->read_buffer, nullptr);
  EXPECT_EQ(block->write_buffer, nullptr);
  EXPECT_EQ(block->record, nullptr);
  EXPECT_EQ(block->staging, nullptr);
  EXPECT_EQ(block->terminator, nullptr);
  EXPECT_EQ(block->fd_bitmap, nullptr);
  EXPECT_EQ(read_peer(peer), "0123456789");

  EXPECT_EQ(sock().yxsclos(block.get()), 0);
  EXPECT_EQ(block->write_count, 1);
}

// A closed block may be opened again; nothing of the first open is lost or
// left behind.
TEST_F(SockWrite, ClosedBlockOpensAgain) {
  LocalServer server;
  Block block;
  for (int round = 0; round < 2; ++round) {
    SocketFd peer(open_local(block, server, SOCK_READS | SOCK_WRITES, READ_TERMINATED, 80));
    ASSERT_EQ(send(block, "round " + std::to_string(round)), 0);
    EXPECT_EQ(read_peer(peer, false), "round " + std::to_string(round) + "\n");
    EXPECT_EQ(sock().yxsclos(block.get()), 0);
  }
}

}  // namespace

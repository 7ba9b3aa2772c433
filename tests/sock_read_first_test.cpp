// Blocks that read before they wait (the FTP data connection): records cut
// the same across refills of the larger read buffer and when long records
// skip it, a break still ends a transfer whose data never stops coming, a
// silent peer still fails after the wait value; and, for every block, a
// reopened block reads only its new connection and the consumed-byte count
// wraps instead of overflowing.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "host/events.h"
#include "host/messages.h"
#include "host/options.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/sock_support.h"

namespace {

using namespace ftptest;

constexpr int32_t BLOCK_SIZE = 32768;

int32_t g_break_word = -1;
int g_routine_calls = 0;

// The break routine the host runs: confirms the break and ends the wait.
int32_t confirming_break_routine() {
  ++g_routine_calls;
  g_break_word = 1;
  sock().yxsbrk();
  return 0;
}

int g_polls = 0;
int counting_poll(pollfd* entries, nfds_t count, int timeout_ms) {
  ++g_polls;
  return original().poll(entries, count, timeout_ms);
}

class SockReadFirst : public SockTest {
 protected:
  void SetUp() override {
    SockTest::SetUp();
    g_break_word = -1;
    g_routine_calls = 0;
    g_polls = 0;
    syscalls().poll = counting_poll;
  }
  // A breakable block that reads first, opened on a local peer.
  int open_reading_first(Block& block, LocalServer& server, int32_t mode, int32_t record_size) {
    block->read_first = 1;
    block->break_word = &g_break_word;
    block->break_routine = confirming_break_routine;
    return open_local(block, server, SOCK_READS, mode, record_size, TERM_LF, BLOCK_SIZE);
  }
};

// Record i: its number, then filler, `length` bytes in all.
std::string record_text(int i, size_t length) {
  std::string r = std::to_string(i) + ":";
  while (r.size() < length) r.push_back(char('a' + (i + r.size()) % 26));
  return r.substr(0, length);
}

struct StreamCase {
  const char* name;
  int32_t mode;
  int32_t record_size;
  size_t length;  // of every record
  int records;
  bool through_buffer;  // short records, which come through the read buffer
};

class ReadFirstStreams : public SockReadFirst, public ::testing::WithParamInterface<StreamCase> {};

// About 100 KiB each: several refills of a read buffer that starts at 8 KiB
// and doubles as the stream goes on, up to the 32 KiB block size; records split
// across them, and records of 4 KiB and more read straight into the record
// buffer, also after a part of them came from the read buffer.
TEST_P(ReadFirstStreams, CutLikeAnyOtherBlock) {
  const StreamCase& c = GetParam();
  std::string stream;
  for (int i = 0; i < c.records; ++i) {
    std::string r = record_text(i, c.length);
    if (c.mode == READ_S370V) {
      const size_t total = r.size() + 4;
      stream += std::string{char(total >> 8), char(total & 0xFF), 0, 0};
    }
    stream += r;
    if (c.mode == READ_TERMINATED) stream += "\n";
  }
  LocalServer server;
  Block block;
  SocketFd peer(open_reading_first(block, server, c.mode, c.record_size));
  ASSERT_GE(peer, 0);
  EXPECT_EQ(block->read_buffer_size, 8192);
  block->byte_count = int32_t(c.length);
  write_all(peer, stream);
  peer.reset();
  for (int i = 0; i < c.records; ++i) {
    ASSERT_EQ(sock().yxsread(block.get()), 0) << "record " << i;
    ASSERT_EQ(block.record(), record_text(i, c.length)) << "record " << i;
  }
  EXPECT_EQ(sock().yxsread(block.get()), st::END_OF_DATA);
  EXPECT_EQ(block->record_length, 0);
  EXPECT_EQ(uint32_t(block->bytes_consumed), stream.size());
  // Data that is there is read without a wait: only the end may need one.
  EXPECT_LE(g_polls, 1);
  if (c.through_buffer) EXPECT_EQ(block->read_buffer_size, BLOCK_SIZE);
  else EXPECT_LE(block->read_buffer_size, BLOCK_SIZE);
}

INSTANTIATE_TEST_SUITE_P(
    Sock, ReadFirstStreams,
    ::testing::Values(StreamCase{"Fixed100", READ_FIXED, 100, 100, 1000, true},
                      StreamCase{"FixedLong", READ_FIXED, 20000, 20000, 5, false},
                      StreamCase{"S370VShort", READ_S370V, 80, 77, 1200, true},
                      StreamCase{"S370VLong", READ_S370V, 9000, 9000, 11, false},
                      StreamCase{"ByteCountLong", READ_BYTE_COUNT, 10000, 10000, 10, false},
                      StreamCase{"Lines", READ_TERMINATED, 200, 99, 1000, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The socket never runs dry, so no refill waits; the break requested while
// records flow still ends the transfer at the next refill, with message 37.
TEST_F(SockReadFirst, BreakEndsATransferThatNeverStalls) {
  LocalServer server;
  Block block;
  SocketFd peer(open_reading_first(block, server, READ_FIXED, 100));
  write_all(peer, std::string(100000, 'x'));
  ASSERT_EQ(sock().yxsread(block.get()), 0);
  host::events::request_break();
  int32_t status = 0;
  int reads = 0;
  while (status == 0 && reads < 1000) {
    status = sock().yxsread(block.get());
    ++reads;
  }
  EXPECT_EQ(status, st::FAILED);
  EXPECT_LE(reads, BLOCK_SIZE / 100 + 1);
  EXPECT_EQ(g_routine_calls, 1);
  EXPECT_EQ(g_polls, 0);
  auto texts = failure_texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], host::messages::catalog_text(msg::GROUP, msg::WAIT_BROKEN));
  // The block goes on reading after the break.
  EXPECT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), std::string(100, 'x'));
}

// A read that finds nothing gathers for a moment before the host's wait:
// records that come more slowly than that all arrive, each after a wait, and
// the socket's low-water mark is one byte again, so that the host's wait
// sees every byte.
TEST_F(SockReadFirst, RecordsComingSlowlyAllArriveAfterTheGatheringMoment) {
  LocalServer server;
  Block block;
  SocketFd peer(open_reading_first(block, server, READ_TERMINATED, 80));
  const std::vector<std::string> records = {"one", "two", "three"};
  std::thread writer([fd = int(peer), &records] {
    for (const auto& r : records) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      write_all(fd, r + "\n");
    }
  });
  for (const auto& r : records) {
    ASSERT_EQ(sock().yxsread(block.get()), 0);
    EXPECT_EQ(block.record(), r);
    const int socket = block->accepted_socket >= 0 ? block->accepted_socket : block->main_socket;
    int low = 0;
    socklen_t size = sizeof low;
    ASSERT_EQ(getsockopt(socket, SOL_SOCKET, SO_RCVLOWAT, &low, &size), 0);
    EXPECT_EQ(low, 1);
  }
  writer.join();
  EXPECT_GE(g_polls, int(records.size()));
  EXPECT_TRUE(failure_texts().empty());
}

TEST_F(SockReadFirst, SilentPeerStillFailsAfterTheWaitValue) {
  host::options::set("XXAMWAIT", "1");
  LocalServer server;
  Block block;
  SocketFd peer(open_reading_first(block, server, READ_FIXED, 100));
  block->wait_value = 1;
  write_all(peer, std::string(150, 'y'));
  EXPECT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(sock().yxsread(block.get()), st::FAILED);
  auto texts = failure_texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], host::messages::format_string(
                          host::messages::catalog_text(msg::GROUP, msg::WAIT_TIMED_OUT), 1));
  EXPECT_GE(g_polls, 1);
}

// ------------------------------------------------------- every block

// What a closed block had read and not delivered, its end of data and a
// pending re-accept are gone when it is opened again.
TEST_F(SockReadFirst, ReopenedBlockReadsOnlyItsNewConnection) {
  LocalServer server;
  Block block;
  {
    SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80));
    write_all(peer, "old\nstale\nbytes\n");
  }
  ASSERT_EQ(sock().yxsread(block.get()), 0);
  ASSERT_EQ(block.record(), "old");
  sock().yxsclos(block.get());
  block->reaccept_pending = 1;
  {
    SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80));
    write_all(peer, "new\n");
  }
  ASSERT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "new");
  EXPECT_EQ(sock().yxsread(block.get()), st::END_OF_DATA);
  EXPECT_EQ(block->at_eof, 1);
  sock().yxsclos(block.get());

  SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80));
  write_all(peer, "after the end\n");
  ASSERT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "after the end");
}

// Past 2 GiB the count wraps (it is read as unsigned); it never overflows.
TEST_F(SockReadFirst, ConsumedByteCountWrapsPastTwoGiB) {
  for (int32_t mode : {READ_TERMINATED, READ_FIXED, READ_S370V}) {
    LocalServer server;
    Block block;
    SocketFd peer(open_local(block, server, SOCK_READS, mode, 5));
    write_all(peer, mode == READ_S370V ? std::string("\0\x09\0\0abcde", 9) : "abcde\n");
    block->bytes_consumed = INT32_MAX - 2;
    ASSERT_EQ(sock().yxsread(block.get()), 0) << mode;
    EXPECT_EQ(block.record(), "abcde") << mode;
    const uint32_t consumed = mode == READ_FIXED ? 5 : mode == READ_S370V ? 9 : 6;
    EXPECT_EQ(uint32_t(block->bytes_consumed), uint32_t(INT32_MAX) - 2 + consumed) << mode;
  }
}

}  // namespace

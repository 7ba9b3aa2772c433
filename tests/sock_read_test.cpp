// Reading records from a connection: every read mode with the data split at
// awkward places, truncation, end of data in mid-record, S370VS segment
// order, byte counts, re-accepting on a listening block, and interrupted
// system calls.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/sock_support.h"

namespace {

using namespace ftptest;

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(char(v));
  return s;
}

struct Expect {
  int32_t status;
  std::string record;
};

struct ReadCase {
  const char* name;
  int32_t mode;
  int32_t terminator;
  int32_t record_size;
  std::string input;          // everything the peer sends before closing
  std::vector<int> caps;      // how the reads are cut (see script_reads)
  std::vector<Expect> expect; // one per yxsread call
  int segment_messages = 0;   // message 29 over all calls
  int32_t byte_count = 0;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

const std::vector<ReadCase>& read_cases() {
  static const std::vector<ReadCase> cases = {
      {"LfLines", READ_TERMINATED, TERM_LF, 80, "ab\ncd\n", {}, {{0, "ab"}, {0, "cd"}, {st::END_OF_DATA, ""}}},
      {"LfKeepsCarriageReturn", READ_TERMINATED, TERM_LF, 80, "ab\r\ncd\n", {}, {{0, "ab\r"}, {0, "cd"}}},
      {"CrLfSplitBetweenReads", READ_TERMINATED, TERM_CRLF, 80, "abc\r\ndef\r\n", {4, 3},
       {{0, "abc"}, {0, "def"}, {st::END_OF_DATA, ""}}},
      {"CrLfOneByteReads", READ_TERMINATED, TERM_CRLF, 80, "a\rb\r\n\r\nz\r\n",
       std::vector<int>(20, 1), {{0, "a\rb"}, {0, ""}, {0, "z"}}},
      {"NulTerminator", READ_TERMINATED, TERM_NUL, 80, bytes({'a', 'b', 0, 'c', 0}), {},
       {{0, "ab"}, {0, "c"}}},
      {"OtherKindMeansLf", READ_TERMINATED, 3, 80, "ab\ncd\n", {}, {{0, "ab"}, {0, "cd"}}},
      {"LongLineCutAndNextIntact", READ_TERMINATED, TERM_CRLF, 5, "abcdefghij\r\nxy\r\n", {7},
       {{st::TRUNCATED, "abcde"}, {0, "xy"}}},
      {"EndOfDataMidLine", READ_TERMINATED, TERM_LF, 80, "ab\ncd", {},
       {{0, "ab"}, {st::END_OF_DATA, "cd"}, {st::END_OF_DATA, ""}}},
      {"EndOfDataMidLineCutSaysCut", READ_TERMINATED, TERM_LF, 3, "ab\ncdefg", {},
       {{0, "ab"}, {st::TRUNCATED, "cde"}, {st::END_OF_DATA, ""}}},
      {"EndOfDataMidCrLfLineKeepsLastByte", READ_TERMINATED, TERM_CRLF, 80, "ab\r\ncd\r", {},
       {{0, "ab"}, {st::END_OF_DATA, "cd\r"}, {st::END_OF_DATA, ""}}},
      {"FixedAcrossReads", READ_FIXED, 0, 4, "abcdefghij", {3, 3, 3},
       {{0, "abcd"}, {0, "efgh"}, {st::END_OF_DATA, "ij"}, {st::END_OF_DATA, ""}}},
      {"S370VHeaderSplitTwoAndTwo", READ_S370V, 0, 80,
       bytes({0, 7, 0, 0, 'a', 'b', 'c', 0, 4, 9, 9, 0, 6, 1, 2, 'x', 'y'}), {2, 2, 3, 1, 2, 2},
       {{0, "abc"}, {0, ""}, {0, "xy"}, {st::END_OF_DATA, ""}}},
      {"S370VHeaderThreeThenOne", READ_S370V, 0, 80, bytes({0, 6, 0, 0, 'p', 'q', 0, 5, 0, 0, 'r'}),
       {3, 3, 1, 4}, {{0, "pq"}, {0, "r"}}},
      {"S370VTruncated", READ_S370V, 0, 2, bytes({0, 7, 0, 0, 'a', 'b', 'c', 0, 5, 0, 0, 'd'}), {},
       {{st::TRUNCATED, "ab"}, {0, "d"}}},
      // A stream that ends inside a record, or inside or right after its
      // descriptor word, has lost that record: a failure, not an end.
      {"S370VEndOfDataInRecord", READ_S370V, 0, 80, bytes({0, 9, 0, 0, 'a', 'b'}), {},
       {{st::FAILED, "ab"}, {st::END_OF_DATA, ""}}},
      {"S370VEndInsideADescriptor", READ_S370V, 0, 80, bytes({0, 6, 0, 0, 'a', 'b', 0}), {},
       {{0, "ab"}, {st::FAILED, ""}, {st::END_OF_DATA, ""}}},
      {"S370VEndInsideADescriptorThreeBytes", READ_S370V, 0, 80,
       bytes({0, 6, 0, 0, 'a', 'b', 0, 5, 0}), {2, 2, 2, 1, 1, 1}, {{0, "ab"}, {st::FAILED, ""}}},
      {"S370VEndRightAfterADescriptor", READ_S370V, 0, 80,
       bytes({0, 6, 0, 0, 'a', 'b', 0, 5, 0, 0}), {}, {{0, "ab"}, {st::FAILED, ""}}},
      {"S370VSEndInsideADescriptor", READ_S370VS, 0, 80, bytes({0, 6, 0, 0, 'a', 'b', 0, 5}), {},
       {{0, "ab"}, {st::FAILED, ""}}},
      {"S370VSEndAfterAFirstSegment", READ_S370VS, 0, 80, bytes({0, 6, 1, 0, 'a', 'b'}), {},
       {{st::FAILED, "ab"}, {st::END_OF_DATA, ""}}},
      {"S370VSEndRightAfterADescriptor", READ_S370VS, 0, 80, bytes({0, 5, 0, 0}), {},
       {{st::FAILED, ""}}},
      {"S370VSJoinsFirstMiddleLast", READ_S370VS, 0, 80,
       bytes({0, 6, 1, 0, 'a', 'b', 0, 5, 3, 0, 'c', 0, 6, 2, 0, 'd', 'e', 0, 5, 0, 0, 'f'}),
       {5, 5, 5, 5, 5}, {{0, "abcde"}, {0, "f"}}},
      {"S370VSMiddleFirstIsDropped", READ_S370VS, 0, 80,
       bytes({0, 5, 3, 0, 'x', 0, 6, 0, 0, 'o', 'k'}), {}, {{0, "ok"}}, 1},
      {"S370VSNewRecordDiscardsOpenOne", READ_S370VS, 0, 80,
       bytes({0, 5, 1, 0, 'a', 0, 6, 0, 0, 'n', 'w'}), {}, {{0, "nw"}}, 1},
      {"S370VSMessageOncePerCall", READ_S370VS, 0, 80,
       bytes({0, 5, 3, 0, 'x', 0, 5, 2, 0, 'y', 0, 5, 1, 0, 'a', 0, 5, 0, 0, 'b',
              0, 5, 2, 0, 'z', 0, 5, 0, 0, 'c'}),
       {}, {{0, "b"}, {0, "c"}}, 2},
      {"S370VSEmptyCompleteSegmentDoesNotEndTheCall", READ_S370VS, 0, 80,
       bytes({0, 4, 0, 0, 0, 5, 0, 0, 'q'}), {}, {{0, "q"}}},
      {"S370VSTruncatedRecordDiscardedIsNotReportedCut", READ_S370VS, 0, 2,
       bytes({0, 7, 1, 0, 'a', 'b', 'c', 0, 5, 0, 0, 'd'}), {}, {{0, "d"}}, 1},
      {"ByteCountWhateverOneReadGives", READ_BYTE_COUNT, 0, 80, "abcdef", {3},
       {{0, "abc"}, {0, "def"}, {st::END_OF_DATA, ""}}, 0, -1},
      {"ByteCountShortAtEnd", READ_BYTE_COUNT, 0, 200, std::string(60, 'k'), {},
       {{0, std::string(60, 'k')}, {st::END_OF_DATA, ""}}, 0, 100},
      {"ByteCountGathersAcrossReads", READ_BYTE_COUNT, 0, 80, "abcdefgh", {3, 3, 3},
       {{0, "abcde"}, {0, "fgh"}}, 0, 5},
      {"ByteCountZeroIsEmpty", READ_BYTE_COUNT, 0, 80, "abc", {}, {{0, ""}, {0, ""}}, 0, 0},
      {"ByteCountAboveRecordSizeFillsTheRecord", READ_BYTE_COUNT, 0, 4, "abcdefgh", {},
       {{0, "abcd"}, {0, "efgh"}}, 0, 50},
      {"LowestModeBitWins", READ_FIXED | READ_S370V, 0, 3, "abcdef", {}, {{0, "abc"}, {0, "def"}}},
      {"NoModeBitGivesEmptyRecord", 0, 0, 80, "abc", {}, {{0, ""}}},
  };
  return cases;
}

class ReadModes : public SockTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadModes, DeliverRecords) {
  const ReadCase& c = GetParam();
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS, c.mode, c.record_size, c.terminator));
  ASSERT_GE(peer, 0);
  write_all(peer, c.input);
  peer.reset();
  script_reads(c.caps);
  for (size_t i = 0; i < c.expect.size(); ++i) {
    block->byte_count = c.byte_count;
    EXPECT_EQ(sock().yxsread(block.get()), c.expect[i].status) << "call " << i;
    EXPECT_EQ(block.record(), c.expect[i].record) << "call " << i;
  }
  EXPECT_EQ(times_logged(msg::SEGMENT_DROPPED), c.segment_messages);
}

INSTANTIATE_TEST_SUITE_P(Sock, ReadModes, ::testing::ValuesIn(read_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

using SockRead = SockTest;

TEST_F(SockRead, CountsConsumedBytesAndSegments) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS, READ_S370VS, 80));
  write_all(peer, bytes({0, 5, 1, 0, 'a', 0, 5, 2, 0, 'b', 0, 5, 3, 0, 'x', 0, 5, 0, 0, 'c'}));
  ASSERT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "ab");
  EXPECT_EQ(block->bytes_consumed, 10);
  EXPECT_EQ(block->segment_count, 2);
  ASSERT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "c");
  EXPECT_EQ(block->segment_count, 4);
  // The middle segment was reported with its number, counted over the block.
  ASSERT_EQ(times_logged(msg::SEGMENT_DROPPED), 1);
}

// A descriptor word whose length does not even cover the word itself cannot
// frame a record: the read fails with a reason instead of looping or
// delivering a made-up record.
TEST_F(SockRead, DescriptorLengthBelowFourFails) {
  for (int32_t mode : {READ_S370V, READ_S370VS}) {
    for (int length : {0, 1, 3}) {
      LocalServer server;
      Block block;
      SocketFd peer(open_local(block, server, SOCK_READS, mode, 80));
      write_all(peer, bytes({0, length, 0, 0, 'a', 'b'}));
      EXPECT_EQ(sock().yxsread(block.get()), st::FAILED) << mode << "/" << length;
      EXPECT_EQ(block->record_length, 0);
      auto texts = failure_texts();
      ASSERT_EQ(texts.size(), 1u);
      EXPECT_EQ(texts[0], "Bad message");
    }
  }
}

// A caller may set at_eof to end a read sequence early.
TEST_F(SockRead, EndOfFileFlagAnswersAtOnce) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80));
  write_all(peer, "data\n");
  block->at_eof = 1;
  EXPECT_EQ(sock().yxsread(block.get()), st::END_OF_DATA);
  block->at_eof = 0;
  EXPECT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "data");
}

TEST_F(SockRead, BlockWithoutReadBufferFailsCleanly) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_WRITES, READ_TERMINATED, 80));
  EXPECT_EQ(sock().yxsread(block.get()), st::FAILED);
  ASSERT_EQ(failure_texts().size(), 1u);
  sock().yxsclos(block.get());
  EXPECT_EQ(sock().yxsread(block.get()), st::FAILED);
}

TEST_F(SockRead, SmallBlockSizeStillCarriesSplitTerminators) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80, TERM_CRLF, 1));
  EXPECT_GE(block->read_buffer_size, 4);
  write_all(peer, "one\r\ntwo\r\n");
  peer.reset();
  EXPECT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "one");
  EXPECT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "two");
  EXPECT_EQ(sock().yxsread(block.get()), st::END_OF_DATA);
}

// ---------------------------------------------------------------- re-accept

struct ListeningBlock {
  Block block;
  explicit ListeningBlock(int32_t accept_count) {
    block->direction = SOCK_READS;
    block->read_mode = READ_TERMINATED;
    block->record_size = 80;
    block->accept_count = accept_count;
    block.set_host("127.0.0.1");
    EXPECT_EQ(sock().yxssopn(block.get()), 0);
  }
  int port() { return block->service_portno; }
};

TEST_F(SockRead, ReacceptsTheNextClientWhenThePeerCloses) {
  ListeningBlock server(1);
  SocketFd first(connect_tcp(server.port()));
  ASSERT_EQ(sock().yxsacc(server.block.get()), 0);
  EXPECT_EQ(times_logged(msg::CONNECTION_ACCEPTED), 1);
  write_all(first, "one\n");
  first.reset();
  EXPECT_EQ(sock().yxsread(server.block.get()), 0);
  EXPECT_EQ(server.block.record(), "one");
  EXPECT_EQ(sock().yxsread(server.block.get()), st::NEXT_CONNECTION);
  EXPECT_EQ(server.block->reaccept_pending, 1);

  SocketFd second(connect_tcp(server.port()));
  write_all(second, "two\n");
  second.reset();
  EXPECT_EQ(sock().yxsread(server.block.get()), 0);
  EXPECT_EQ(server.block.record(), "two");
  EXPECT_EQ(times_logged(msg::CONNECTION_ACCEPTED), 2);
  EXPECT_STREQ(server.block->accepted_peer_ip, "127.0.0.1");
  EXPECT_EQ(server.block->accept_count, 0);
  EXPECT_EQ(sock().yxsread(server.block.get()), st::END_OF_DATA);
}

std::vector<int> g_closed;
int recording_close(int fd) {
  g_closed.push_back(fd);
  return original().close(fd);
}
int g_accept_failures = 0;
int failing_accept(int fd, sockaddr* a, socklen_t* l) {
  if (g_accept_failures > 0) {
    --g_accept_failures;
    errno = ECONNABORTED;
    return -1;
  }
  return original().accept(fd, a, l);
}

// After a failed re-accept the closed socket is forgotten: the block never
// closes that descriptor again, and the next read tries the accept anew.
TEST_F(SockRead, FailedReacceptForgetsTheClosedSocketAndRetries) {
  ListeningBlock server(2);
  SocketFd first(connect_tcp(server.port()));
  ASSERT_EQ(sock().yxsacc(server.block.get()), 0);
  const int old_socket = server.block->accepted_socket;
  first.reset();
  ASSERT_EQ(sock().yxsread(server.block.get()), st::NEXT_CONNECTION);

  g_closed.clear();
  g_accept_failures = 1;
  syscalls().close = recording_close;
  syscalls().accept = failing_accept;
  SocketFd second(connect_tcp(server.port()));
  EXPECT_EQ(sock().yxsread(server.block.get()), st::FAILED);
  EXPECT_EQ(server.block->accepted_socket, -1);
  ASSERT_EQ(failure_texts().size(), 1u);

  write_all(second, "again\n");
  EXPECT_EQ(sock().yxsread(server.block.get()), 0);
  EXPECT_EQ(server.block.record(), "again");
  EXPECT_EQ(std::count(g_closed.begin(), g_closed.end(), old_socket), 1);
  EXPECT_EQ(server.block->accept_count, 1);
}

// ------------------------------------------------------ interrupted calls

int g_poll_calls = 0;
int g_poll_interruptions = 0;
int counting_poll(pollfd* entries, nfds_t count, int timeout_ms) {
  ++g_poll_calls;
  if (g_poll_interruptions > 0) {
    --g_poll_interruptions;
    errno = EINTR;
    return -1;
  }
  return original().poll(entries, count, timeout_ms);
}
int g_accept_interruptions = 0;
int interrupted_accept(int fd, sockaddr* a, socklen_t* l) {
  if (g_accept_interruptions > 0) {
    --g_accept_interruptions;
    errno = EINTR;
    return -1;
  }
  return original().accept(fd, a, l);
}

TEST_F(SockRead, InterruptedReadWaitsAndReadsAgain) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80));
  write_all(peer, "line\n");
  g_poll_calls = 0;
  g_poll_interruptions = 0;
  syscalls().poll = counting_poll;
  script_reads({-1});
  EXPECT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "line");
  EXPECT_EQ(g_poll_calls, 2);
  EXPECT_TRUE(failure_texts().empty());
}

TEST_F(SockRead, InterruptedPollRepeatsTheWait) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80));
  write_all(peer, "line\n");
  g_poll_calls = 0;
  g_poll_interruptions = 2;
  syscalls().poll = counting_poll;
  EXPECT_EQ(sock().yxsread(block.get()), 0);
  EXPECT_EQ(block.record(), "line");
  EXPECT_EQ(g_poll_calls, 3);
}

TEST_F(SockRead, InterruptedAcceptIsRepeatedWithoutANewWait) {
  ListeningBlock server(0);
  SocketFd client(connect_tcp(server.port()));
  g_poll_calls = 0;
  g_poll_interruptions = 0;
  g_accept_interruptions = 1;
  syscalls().poll = counting_poll;
  syscalls().accept = interrupted_accept;
  EXPECT_EQ(sock().yxsacc(server.block.get()), 0);
  EXPECT_EQ(g_poll_calls, 1);
  EXPECT_EQ(g_accept_interruptions, 0);
  EXPECT_GE(server.block->accepted_socket, 0);
}

int failing_poll(pollfd*, nfds_t, int) {
  errno = ENOMEM;
  return -1;
}

TEST_F(SockRead, FailedPollAddsTheTimeoutMessageWhenAWaitValueIsSet) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80));
  write_all(peer, "line\n");
  syscalls().poll = failing_poll;
  EXPECT_EQ(sock().yxsread(block.get()), st::FAILED);
  EXPECT_EQ(failure_texts().size(), 1u);
  block->wait_value = 7;
  EXPECT_EQ(sock().yxsread(block.get()), st::FAILED);
  auto texts = failure_texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[1].find("7"), std::string::npos) << texts[1];
}

ssize_t resetting_read(int, void*, size_t) {
  errno = ECONNRESET;
  return -1;
}

TEST_F(SockRead, ResetConnectionFailsWithTheSystemText) {
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80));
  write_all(peer, "li");
  syscalls().read = resetting_read;
  EXPECT_EQ(sock().yxsread(block.get()), st::FAILED);
  auto texts = failure_texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "Connection reset by peer");
}

// A descriptor the wait's bit set cannot name is refused, not looked up past
// the end of the set.
TEST_F(SockRead, DescriptorBeyondTheBitSetFails) {
  constexpr int BEYOND = FD_BITMAP_BYTES * 8;
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, SOCK_READS, READ_TERMINATED, 80));
  SocketFd real(block->main_socket);
  block->main_socket = BEYOND;
  EXPECT_EQ(sock().yxsread(block.get()), st::FAILED);
  EXPECT_EQ(sock().yxtzsnb(BEYOND + 1, block->fd_bitmap, nullptr, nullptr, 0), st::FAILED);
  EXPECT_EQ(sock().yxtzsnb(0, block->fd_bitmap, nullptr, nullptr, 0), st::FAILED);
  auto texts = failure_texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "Bad file descriptor");
  block->main_socket = -1;
}

}  // namespace

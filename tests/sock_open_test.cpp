// Opening connections: start-up options, host and service resolution, the
// client, local, server and data-socket opens, buffer sizes, and the clean-up
// of every open that fails part-way.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "host/control_block.h"
#include "host/memory.h"
#include "host/options.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/net.h"
#include "tests/support/sock_support.h"

namespace {

using namespace ftptest;

int32_t some_routine() { return 0; }
int32_t other_routine() { return 1; }

using SockStartup = SockTest;
using SockResolve = SockTest;
using SockOpen = SockTest;

// ------------------------------------------------------------- start-up

struct OptionCase {
  const char* value;  // null: option not set
  int32_t expected;
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << (c.value ? c.value : "(unset)"); }

class StartupOptions : public SockTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(StartupOptions, ReadPositiveNumbersOnly) {
  const OptionCase& c = GetParam();
  if (c.value) {
    host::options::set("XXAMWAIT", c.value);
    host::options::set("XXAMTPRT", c.value);
  }
  BreakRoutine routine = some_routine, filled = nullptr;
  int32_t wait = -1, port = -1;
  int fileref = 0;
  EXPECT_EQ(sock().yxsinit(&routine, &filled, &fileref, &wait, &port), 0);
  EXPECT_EQ(wait, c.expected);
  EXPECT_EQ(port, c.expected);
  EXPECT_EQ(filled, routine);
  EXPECT_EQ(host::options::open_handles(), 0);
  EXPECT_EQ(host::options::open_values(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sock, StartupOptions,
    ::testing::Values(OptionCase{nullptr, 0}, OptionCase{"5", 5}, OptionCase{" 12 ", 12},
                      OptionCase{"abc", 0}, OptionCase{"0", 0}, OptionCase{"-3", 0},
                      // Only the first 30 characters are converted.
                      OptionCase{"0000000000000000000000000000079", 7}));

TEST_F(SockStartup, StartupKeepsABreakRoutineAlreadyThere) {
  BreakRoutine routine = some_routine, filled = other_routine;
  int32_t wait = 0, port = 0;
  EXPECT_EQ(sock().yxsinit(&routine, &filled, nullptr, &wait, &port), 0);
  EXPECT_EQ(filled, other_routine);
}

// ------------------------------------------------------------ resolution

// The resolver of these tests knows names in lower case only, as some
// resolvers do, and never asks the network.
int lower_case_resolver(const char* name, const char* service, const addrinfo* hints,
                        addrinfo** result) {
  for (const char* p = name; *p; ++p)
    if (std::isupper(static_cast<unsigned char>(*p))) return EAI_NONAME;
  if (std::strcmp(name, "dual.test") == 0)
    answer_name(name, {"::1", "127.0.0.1"});  // an IPv6 address first, as resolvers prefer
  else if (std::strcmp(name, "localhost") == 0 || std::strcmp(name, "loopback.test") == 0)
    answer_name(name, {"127.0.0.1"}, "localhost");
  else
    return EAI_NONAME;
  return known_names_resolver(name, service, hints, result);
}

int g_connect_port = -1;
std::vector<int> g_connected_to;  // the family of each connect
int refused_connect(int, const sockaddr* a, socklen_t) {
  g_connect_port = ntohs(reinterpret_cast<const sockaddr_in*>(a)->sin_port);
  errno = ECONNREFUSED;
  return -1;
}

struct HostCase {
  const char* host;
  int32_t address_type;
  const char* official;  // service_host_name afterwards
  const char* address;   // the first address found
};

void PrintTo(const HostCase& c, std::ostream* os) { *os << '"' << c.host << '"'; }

class HostResolution : public SockTest, public ::testing::WithParamInterface<HostCase> {};

// An IPv6 address takes 16 bytes of `address`, an IPv4 one 4.
TEST_P(HostResolution, FindsTheAddress) {
  const HostCase& c = GetParam();
  syscalls().getaddrinfo = lower_case_resolver;
  syscalls().connect = refused_connect;
  Block block;
  block.set_host(c.host);
  block.set_service("21");
  block->local_only = 1;
  std::strcpy(block->service_host_name, "untouched");
  EXPECT_EQ(sock().yxscopn(block.get()), st::FAILED);  // refused after resolution
  EXPECT_EQ(block->address_type, c.address_type);
  const bool v6 = std::strchr(c.address, ':');
  EXPECT_EQ(block->address_length, v6 ? 16 : 4);
  char text[INET6_ADDRSTRLEN];
  EXPECT_STREQ(inet_ntop(v6 ? AF_INET6 : AF_INET, block->address, text, sizeof text), c.address);
  EXPECT_STREQ(block->service_host_name, c.official);
  // Every address was refused; the last refusal is the one reported.
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"Connection refused"});
}

INSTANTIATE_TEST_SUITE_P(
    Sock, HostResolution,
    ::testing::Values(HostCase{"localhost", AF_INET, "localhost", "127.0.0.1"},
                      HostCase{"localhost    ", AF_INET, "localhost", "127.0.0.1"},
                      HostCase{"LoopBack.TEST", AF_INET, "localhost", "127.0.0.1"},
                      HostCase{"127.0.0.1", 0, "untouched", "127.0.0.1"},
                      HostCase{"::1", 0, "untouched", "::1"},
                      HostCase{"dual.test", AF_INET6, "dual.test", "::1"}));

// A name's addresses are tried in the resolver's order until one connects;
// the block keeps the one reached. Nothing answers in 2001:db8::/32, the
// addresses kept for documentation.
TEST_F(SockOpen, ClientTriesEachAddressUntilOneConnects) {
  TcpListener listener;  // 127.0.0.1
  answer_name("far.test", {"2001:db8::21", "127.0.0.1"});
  syscalls().getaddrinfo = known_names_resolver;
  Block block;
  block.set_host("far.test");
  block.set_service(std::to_string(listener.port()));
  block->direction = SOCK_READS | SOCK_WRITES;
  block->wait_value = 20;  // bounds the first address wherever it is routed
  ASSERT_EQ(sock().yxscopn(block.get()), 0) << testing::PrintToString(failure_texts());
  SocketFd server_end(listener.accept());
  EXPECT_STREQ(block->service_ip, "127.0.0.1");
  EXPECT_EQ(block->address_family, AF_INET);
  EXPECT_EQ(block->address_type, AF_INET);
  EXPECT_EQ(block->address_length, 4);
  EXPECT_STREQ(block->service_host_name, "far.test");
  EXPECT_TRUE(failure_texts().empty());
}

// A connect that never completes (the listener's queue is full, so its SYNs
// are dropped) is given up within XXAMWAIT: for the next address, which gets
// the time left, or with message 210 when it was the last.
TEST_F(SockOpen, AnAddressThatNeverAnswersIsGivenUpWithinTheWait) {
  std::string error;
  Fd stalled = listen_tcp("::1", 0, &error);
  ASSERT_TRUE(stalled) << error;
  const int port = local_port(stalled.get());
  ::listen(stalled.get(), 0);
  Fd filler = ftptest::connect_tcp("::1", port, kEventWaitMs, &error);
  ASSERT_TRUE(filler) << error;
  Fd willing = listen_tcp("127.0.0.1", port, &error);
  if (!willing) GTEST_SKIP() << "port " << port << " is taken on 127.0.0.1: " << error;
  answer_name("slow.test", {"::1", "127.0.0.1"});
  syscalls().getaddrinfo = known_names_resolver;

  Block block;
  block.set_host("slow.test");
  block.set_service(std::to_string(port));
  block->direction = SOCK_READS | SOCK_WRITES;
  block->wait_value = 2;
  ASSERT_EQ(sock().yxscopn(block.get()), 0) << testing::PrintToString(failure_texts());
  Fd server_end = accept_within(willing.get(), kEventWaitMs);
  EXPECT_TRUE(server_end);
  EXPECT_STREQ(block->service_ip, "127.0.0.1");

  Block alone;
  alone.set_host("::1");
  alone.set_service(std::to_string(port));
  alone->direction = SOCK_READS | SOCK_WRITES;
  alone->wait_value = 1;
  EXPECT_EQ(sock().yxscopn(alone.get()), st::FAILED);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"The FTP server sent nothing for 1 seconds."});
  EXPECT_EQ(alone->main_socket, -1);
}

// Over IPv6 both ends are named in the usual text form; the local socket
// address keeps its family and port, for the address does not fit.
TEST_F(SockOpen, ClientReachesAnIpv6Server) {
  std::string error;
  Fd listener = listen_tcp("::1", 0, &error);
  ASSERT_TRUE(listener) << error;
  Block block;
  block.set_host("::1");
  block.set_service(std::to_string(local_port(listener.get())));
  block->direction = SOCK_READS | SOCK_WRITES;
  ASSERT_EQ(sock().yxscopn(block.get()), 0) << testing::PrintToString(failure_texts());
  Fd server_end = accept_within(listener.get(), kEventWaitMs);
  ASSERT_TRUE(server_end);
  EXPECT_STREQ(block->service_ip, "::1");
  EXPECT_STREQ(block->local_host_ip, "::1");
  EXPECT_EQ(block->address_family, AF_INET6);
  EXPECT_EQ(block->address_type, 0);
  uint16_t family, port;
  std::memcpy(&family, block->local_sockaddr, 2);
  std::memcpy(&port, block->local_sockaddr + 2, 2);
  EXPECT_EQ(family, AF_INET6);
  sockaddr_in6 peer{};
  socklen_t length = sizeof peer;
  ASSERT_EQ(getpeername(server_end.get(), reinterpret_cast<sockaddr*>(&peer), &length), 0);
  EXPECT_EQ(port, peer.sin6_port);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block->local_sockaddr) + 4, 12),
            std::string(12, '\0'));
}

// family_wanted keeps to one family: a name's addresses of the other are
// passed over, an address of the other is refused with a message.
TEST_F(SockOpen, FamilyWantedKeepsToOneFamily) {
  struct Case {
    const char* host;
    int32_t wanted;
    const char* reached;  // the address connected to; null: none
    const char* text;     // the failure text
  };
  const Case cases[] = {
      {"dual.test", FAMILY_IPV4, "127.0.0.1", "Connection refused"},
      {"dual.test", FAMILY_IPV6, "::1", "Connection refused"},
      {"::1", FAMILY_IPV4, nullptr, "Host ::1 has no IPv4 address."},
      {"127.0.0.1", FAMILY_IPV6, nullptr, "Host 127.0.0.1 has no IPv6 address."},
  };
  syscalls().getaddrinfo = lower_case_resolver;
  syscalls().connect = [](int, const sockaddr* a, socklen_t) {
    g_connected_to.push_back(a->sa_family);
    return errno = ECONNREFUSED, -1;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " " + std::to_string(c.wanted));
    g_connected_to.clear();
    Block block;
    block.set_host(c.host);
    block.set_service("21");
    block->family_wanted = c.wanted;
    EXPECT_EQ(sock().yxscopn(block.get()), st::FAILED);
    const int family = c.wanted == FAMILY_IPV4 ? AF_INET : AF_INET6;
    EXPECT_EQ(g_connected_to, c.reached ? std::vector<int>{family} : std::vector<int>{});
    EXPECT_EQ(failure_texts(), std::vector<std::string>{c.text});
  }
}

TEST_F(SockResolve, UnknownHostIsReportedWithItsName) {
  syscalls().getaddrinfo = lower_case_resolver;
  Block block;
  block.set_host("Nowhere.Test");
  block.set_service("21");
  block->local_only = 1;
  EXPECT_EQ(sock().yxscopn(block.get()), st::FAILED);
  auto texts = failure_texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("nowhere.test"), std::string::npos) << texts[0];
  EXPECT_EQ(block->main_socket, -1);
}

TEST_F(SockResolve, EmptyHostNameTakesTheMachinesNameAndWritesItBack) {
  char machine[128] = {};
  ASSERT_EQ(gethostname(machine, sizeof machine - 1), 0);
  if (!gethostbyname(machine)) GTEST_SKIP() << "this machine's name does not resolve";
  TcpListener listener;
  Block block;
  block.set_host("");
  block.set_service(std::to_string(listener.port()));
  block->direction = SOCK_READS | SOCK_WRITES;
  ASSERT_EQ(sock().yxscopn(block.get()), 0) << failure_texts().size();
  SocketFd server_end(listener.accept());
  EXPECT_STREQ(block->host_name, machine);
  EXPECT_STREQ(block->local_host_name, machine);
}

int failing_gethostname(char*, size_t) {
  errno = EPERM;
  return -1;
}

TEST_F(SockResolve, NoHostNameAtAllFails) {
  syscalls().gethostname = failing_gethostname;
  Block block;
  block.set_host("   ");
  block.set_service("21");
  EXPECT_EQ(sock().yxscopn(block.get()), st::OPEN_FAILED);
  EXPECT_EQ(times_logged(msg::NO_HOST_NAME), 1);
  EXPECT_EQ(block->main_socket, -1);
}

struct ServiceCase {
  const char* service;
  int port;
  const char* found_as;  // service_name_text
};

void PrintTo(const ServiceCase& c, std::ostream* os) { *os << '"' << c.service << '"'; }

class ServiceResolution : public SockTest, public ::testing::WithParamInterface<ServiceCase> {};

TEST_P(ServiceResolution, FindsThePort) {
  const ServiceCase& c = GetParam();
  if (c.found_as[0] && !getservbyname(c.found_as, "tcp")) GTEST_SKIP() << "no services database";
  syscalls().connect = refused_connect;
  Block block;
  block.set_host("127.0.0.1");
  block.set_service(c.service);
  block->local_only = 1;
  g_connect_port = -1;
  EXPECT_EQ(sock().yxscopn(block.get()), st::FAILED);
  EXPECT_EQ(g_connect_port, c.port);
  EXPECT_EQ(block->service_portno, c.port);
  EXPECT_STREQ(block->service_name_text, c.found_as);
}

INSTANTIATE_TEST_SUITE_P(Sock, ServiceResolution,
                         ::testing::Values(ServiceCase{"  21", 21, ""},
                                           ServiceCase{"2121  ", 2121, ""},
                                           ServiceCase{"FTP", 21, "ftp"},
                                           ServiceCase{"  ftp ", 21, "ftp"}));

TEST_F(SockResolve, UnknownServiceIsReported) {
  for (const char* service : {"no-such-service", "70000"}) {
    Block block;
    block.set_host("127.0.0.1");
    block.set_service(service);
    block->local_only = 1;
    EXPECT_EQ(sock().yxscopn(block.get()), st::FAILED) << service;
    auto texts = failure_texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find(service), std::string::npos) << texts[0];
  }
}

// ----------------------------------------------------------------- opens

TEST_F(SockOpen, ClientOpenRecordsBothEnds) {
  TcpListener listener;
  Block block;
  block.set_host("127.0.0.1");
  block.set_service(std::to_string(listener.port()));
  block->direction = SOCK_READS | SOCK_WRITES;
  ASSERT_EQ(sock().yxscopn(block.get()), 0);
  SocketFd server_end(listener.accept());
  EXPECT_EQ(block->service_portno, listener.port());
  EXPECT_STREQ(block->service_ip, "127.0.0.1");
  EXPECT_STREQ(block->local_host_ip, "127.0.0.1");
  sockaddr_in local;
  std::memcpy(&local, block->local_sockaddr, sizeof local);
  EXPECT_EQ(local.sin_family, AF_INET);
  EXPECT_NE(local.sin_port, 0);
  EXPECT_EQ(block->accepted_socket, -1);
  const int s = block->main_socket;
  ASSERT_GE(s, 0);
  EXPECT_TRUE(block->fd_bitmap[s / 32] & (1u << (s % 32)));
}

TEST_F(SockOpen, LocalClientRecordsItsPath) {
  std::string path = "/tmp/ftpam-sock-" + std::to_string(getpid());
  unlink(path.c_str());
  SocketFd listener(socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strcpy(a.sun_path, path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  listen(listener, 1);
  Block block;
  block->direction = SOCK_READS;
  ASSERT_EQ(sock().yxscuop(block.get(), path.data(), int32_t(path.size())), 0);
  EXPECT_EQ(std::string(block->service_ip), path);
  unlink(path.c_str());
}

TEST_F(SockOpen, LocalPathLongerThanTheAddressHoldsIsRefused) {
  int sockets = 0;
  static int* counter;
  counter = &sockets;
  syscalls().socket = [](int d, int t, int p) {
    ++*counter;
    return original().socket(d, t, p);
  };
  std::string path(109, 'p');
  Block block;
  block->direction = SOCK_READS;
  EXPECT_EQ(sock().yxscuop(block.get(), path.data(), int32_t(path.size())), st::FAILED);
  EXPECT_EQ(sockets, 0);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"File name too long"});
}

TEST_F(SockOpen, ServerOpenAnnouncesItsPortAndAcceptsWithAMessage) {
  Block block;
  block.set_host("127.0.0.1");
  block->direction = SOCK_READS;
  ASSERT_EQ(sock().yxssopn(block.get()), 0);
  EXPECT_EQ(block->server_mode, 1);
  EXPECT_GT(block->service_portno, 0);
  EXPECT_STREQ(block->service_ip, "127.0.0.1");
  EXPECT_EQ(times_logged(msg::SERVER_SOCKET_BOUND), 1);
  SocketFd client(connect_tcp(block->service_portno));
  ASSERT_EQ(sock().yxsacc(block.get()), 0);
  EXPECT_EQ(times_logged(msg::CONNECTION_ACCEPTED), 1);
  EXPECT_STREQ(block->accepted_peer_ip, "127.0.0.1");
  const int m = block->main_socket, a = block->accepted_socket;
  EXPECT_FALSE(block->fd_bitmap[m / 32] & (1u << (m % 32)));
  EXPECT_TRUE(block->fd_bitmap[a / 32] & (1u << (a % 32)));
}

TEST_F(SockOpen, LocalOnlyServerLooksNothingUp) {
  static int lookups;
  lookups = 0;
  syscalls().gethostbyname = [](const char*) -> hostent* { return ++lookups, nullptr; };
  syscalls().gethostbyaddr = [](const void*, socklen_t, int) -> hostent* {
    return ++lookups, nullptr;
  };
  Block block;
  block->local_only = 1;
  block->direction = SOCK_READS;
  std::strcpy(block->local_host_ip, "stale");
  ASSERT_EQ(sock().yxssopn(block.get()), 0);
  EXPECT_STREQ(block->local_host_name, "LOCALHOST");
  EXPECT_STREQ(block->local_host_ip, "");
  EXPECT_STREQ(block->service_ip, "");
  SocketFd client(connect_tcp(block->service_portno));
  ASSERT_EQ(sock().yxsacc(block.get()), 0);
  EXPECT_EQ(times_logged(msg::CONNECTION_ACCEPTED), 0);
  EXPECT_EQ(lookups, 0);
}

TEST_F(SockOpen, ServerWithoutAMachineNameCallsItselfLocalhost) {
  syscalls().gethostname = failing_gethostname;
  Block block;
  block.set_host("127.0.0.1");
  block->direction = SOCK_READS;
  ASSERT_EQ(sock().yxssopn(block.get()), 0);
  EXPECT_STREQ(block->local_host_name, "LOCALHOST");
  EXPECT_STREQ(block->host_name, "LOCALHOST");
}

TEST_F(SockOpen, ServerOpenFailingAfterItsSocketLeavesNoDescriptor) {
  Block block;
  block.set_host("127.0.0.1");
  block.set_service("no-such-service");
  block->direction = SOCK_READS;
  EXPECT_EQ(sock().yxssopn(block.get()), st::FAILED);
  EXPECT_EQ(block->main_socket, -1);
  EXPECT_EQ(failure_texts().size(), 1u);
}

static int g_getsockname_calls = 0;
int counting_getsockname(int fd, sockaddr* a, socklen_t* l) {
  ++g_getsockname_calls;
  return original().getsockname(fd, a, l);
}

TEST_F(SockOpen, DataSocketOpensEvenWhenItsHostIsUnknown) {
  syscalls().getaddrinfo = lower_case_resolver;
  Block block;
  block.set_host("unknown.test");
  block->direction = SOCK_WRITES;
  block->block_size = 32768;
  ASSERT_EQ(sock().yxscsoc(block.get()), 0);
  EXPECT_STREQ(block->service_ip, "");
  EXPECT_EQ(failure_texts().size(), 1u);  // message 123, handed over anyway
  sockaddr_in local;
  socklen_t length = sizeof local;
  getsockname(block->main_socket, reinterpret_cast<sockaddr*>(&local), &length);
  const uint32_t port = ntohs(local.sin_port);
  EXPECT_EQ(uint32_t(block->service_portno), port << 16);
  // PORT takes its two figures from the upper half.
  EXPECT_EQ((uint32_t(block->service_portno) >> 24) * 256 +
                ((uint32_t(block->service_portno) >> 16) & 255),
            port);

  g_getsockname_calls = 0;
  syscalls().getsockname = counting_getsockname;
  ASSERT_EQ(sock().yxslisn(block.get()), 0);
  EXPECT_EQ(g_getsockname_calls, 0);
  SocketFd client(connect_tcp(int(port)));
  ASSERT_EQ(sock().yxsacc(block.get()), 0);
  EXPECT_EQ(times_logged(msg::CONNECTION_ACCEPTED), 0);  // a data block accepts silently
}

TEST_F(SockOpen, ListenFailureClosesTheSocket) {
  Block block;
  block->local_only = 1;
  block->direction = SOCK_READS;
  ASSERT_EQ(sock().yxscsoc(block.get()), 0);
  syscalls().listen = [](int, int) { return errno = EADDRINUSE, -1; };
  EXPECT_EQ(sock().yxslisn(block.get()), st::FAILED);
  EXPECT_EQ(block->main_socket, -1);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"Address already in use"});
}

TEST_F(SockOpen, ConnectionRefusedLeavesNoDescriptor) {
  int port;
  {
    TcpListener gone;
    port = gone.port();
  }
  Block block;
  block.set_host("127.0.0.1");
  block.set_service(std::to_string(port));
  block->direction = SOCK_READS;
  EXPECT_EQ(sock().yxscopn(block.get()), st::FAILED);
  EXPECT_EQ(block->main_socket, -1);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{"Connection refused"});
}

// ---------------------------------------------------------- buffer sizes

struct BufferCase {
  int32_t block_size, direction, record_size, terminator_kind;
  int32_t read_size, write_size, record_after, terminator_length;
};

void PrintTo(const BufferCase& c, std::ostream* os) {
  *os << "block size " << c.block_size << ", direction " << c.direction;
}

class BufferSizes : public SockTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(BufferSizes, FollowBlockSizeAndDirection) {
  const BufferCase& c = GetParam();
  LocalServer server;
  Block block;
  SocketFd peer(open_local(block, server, c.direction, READ_TERMINATED, c.record_size,
                     c.terminator_kind, c.block_size));
  EXPECT_EQ(block->read_buffer_size, c.read_size);
  EXPECT_EQ(block->write_buffer_size, c.write_size);
  EXPECT_EQ(block->record_size, c.record_after);
  EXPECT_EQ(block->terminator_length, c.terminator_length);
  EXPECT_EQ(block->read_buffer != nullptr, bool(c.direction & SOCK_READS));
  EXPECT_EQ(block->write_buffer != nullptr, bool(c.direction & SOCK_WRITES));
  EXPECT_EQ(block->staging != nullptr, bool(c.direction & SOCK_WRITES));
}

INSTANTIATE_TEST_SUITE_P(
    Sock, BufferSizes,
    ::testing::Values(BufferCase{9000, 3, 80, TERM_LF, 8192, 9000, 80, 1},
                      BufferCase{0, 3, 0, TERM_CRLF, 8192, 0, 256, 2},
                      BufferCase{4000, 1, 80, TERM_NUL, 4000, 0, 80, 1},
                      BufferCase{-5, 1, 80, TERM_LF, 8192, 0, 80, 1},
                      BufferCase{32768, 2, 80, TERM_LF, 8192, 32768, 80, 1},
                      BufferCase{8191, 3, 80, TERM_LF, 8191, 8191, 80, 1},
                      BufferCase{2, 1, 80, TERM_CRLF, 4, 0, 80, 2}));

TEST_F(SockOpen, NegativeRecordSizeFailsTheOpenCleanly) {
  LocalServer server;
  Block block;
  block->direction = SOCK_READS | SOCK_WRITES;
  block->record_size = -1;
  EXPECT_EQ(sock().yxscuop(block.get(), server.path().data(), int32_t(server.path().size())),
            st::BAD_RECORD_SIZE);
  EXPECT_EQ(block->main_socket, -1);
  EXPECT_EQ(block->read_buffer, nullptr);
}

// Each allocation an open makes can fail; the open then leaves neither its
// socket nor any buffer behind.
TEST_F(SockOpen, OpensOutOfMemoryLeaveNothingBehind) {
  LocalServer server;
  // Read, write, terminator, record, staging and bit set.
  for (long nth = 1; nth <= 6; ++nth) {
    Block block;
    block->direction = SOCK_READS | SOCK_WRITES;
    block->record_size = 80;
    block->block_size = 100;
    const int blocks = host::memory::live_blocks();
    const int descriptors = open_descriptors();
    host::memory::fail_allocation(nth);
    int32_t status =
        sock().yxscuop(block.get(), server.path().data(), int32_t(server.path().size()));
    host::memory::fail_allocation(0);
    EXPECT_EQ(status, st::NO_MEMORY) << nth;
    EXPECT_EQ(block->main_socket, -1);
    EXPECT_EQ(host::memory::live_blocks(), blocks) << nth;
    SocketFd accepted(server.accept());  // the listener's queue still held the connection
    accepted.reset();
    EXPECT_EQ(open_descriptors(), descriptors) << nth;
  }
}

}  // namespace

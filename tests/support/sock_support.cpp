#include "tests/support/sock_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "host/events.h"
#include "host/memory.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/options.h"
#include "module/msgno.h"
#include "tests/support/loaded_module.h"

namespace ftptest {

namespace {

template <typename T>
void find(T& entry, const char* name) {
  entry = reinterpret_cast<T>(module().symbol(name));
  if (!entry) ADD_FAILURE() << "the module does not export " << name;
}

std::vector<int> g_read_caps, g_write_caps;
size_t g_read_next = 0, g_write_next = 0;

// The next cap of a script: > 0 limits the call, -1 interrupts it, 0 = none.
int next_cap(const std::vector<int>& caps, size_t& next) {
  return next < caps.size() ? caps[next++] : 0;
}

ssize_t scripted_read(int fd, void* buffer, size_t length) {
  int cap = next_cap(g_read_caps, g_read_next);
  if (cap < 0) {
    errno = EINTR;
    return -1;
  }
  if (cap > 0 && size_t(cap) < length) length = size_t(cap);
  return original().read(fd, buffer, length);
}

ssize_t scripted_write(int fd, const void* buffer, size_t length) {
  int cap = next_cap(g_write_caps, g_write_next);
  if (cap < 0) {
    errno = EINTR;
    return -1;
  }
  if (cap > 0 && size_t(cap) < length) length = size_t(cap);
  return original().write(fd, buffer, length);
}

int g_abstract_names = 0;
}  // namespace

const Entries& sock() {
  static Entries e = [] {
    Entries x{};
    find(x.yxsinit, "yxsinit");
    find(x.yxscopn, "yxscopn");
    find(x.yxscuop, "yxscuop");
    find(x.yxssopn, "yxssopn");
    find(x.yxscsoc, "yxscsoc");
    find(x.yxslisn, "yxslisn");
    find(x.yxsacc, "yxsacc");
    find(x.yxsread, "yxsread");
    find(x.yxswrit, "yxswrit");
    find(x.yxsclos, "yxsclos");
    find(x.yxsbrk, "yxsbrk");
    find(x.yxtzsnb, "yxtzsnb");
    return x;
  }();
  return e;
}

namespace {
struct Answer {
  std::vector<std::string> addresses;
  std::string canonical;
};
std::map<std::string, Answer> g_answers;
}  // namespace

void answer_name(const std::string& name, std::vector<std::string> addresses,
                 const std::string& canonical) {
  g_answers[name] = {std::move(addresses), canonical.empty() ? name : canonical};
}

void forget_names() { g_answers.clear(); }

// The list is made of the C library's own answers for each address, so that
// its freeaddrinfo releases it.
int known_names_resolver(const char* name, const char* service, const addrinfo* hints,
                         addrinfo** result) {
  auto found = g_answers.find(name ? name : "");
  if (found == g_answers.end()) return ::getaddrinfo(name, service, hints, result);
  addrinfo numeric{};
  numeric.ai_flags = AI_NUMERICHOST;
  numeric.ai_family = hints ? hints->ai_family : AF_UNSPEC;
  numeric.ai_socktype = SOCK_STREAM;
  addrinfo *head = nullptr, **tail = &head;
  for (const std::string& address : found->second.addresses) {
    addrinfo* one = nullptr;
    if (::getaddrinfo(address.c_str(), service, &numeric, &one) != 0) continue;
    *tail = one;
    while (*tail) tail = &(*tail)->ai_next;
  }
  if (!head) return EAI_NONAME;
  std::free(head->ai_canonname);
  head->ai_canonname = strdup(found->second.canonical.c_str());
  *result = head;
  return 0;
}

SockSyscalls& syscalls() {
  return *static_cast<SockSyscalls*>(module().symbol("yxs_syscalls"));
}

const SockSyscalls& original() {
  static const SockSyscalls table = syscalls();
  return table;
}

void script_reads(std::vector<int> caps) {
  g_read_caps = std::move(caps);
  g_read_next = 0;
  syscalls().read = scripted_read;
}

void script_writes(std::vector<int> caps) {
  g_write_caps = std::move(caps);
  g_write_next = 0;
  syscalls().write = scripted_write;
}

int open_descriptors() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd)
    if (fcntl(fd, F_GETFD) != -1) ++n;
  return n;
}

SocketFd::~SocketFd() { reset(); }
void SocketFd::reset() {
  if (fd >= 0) close(fd);
  fd = -1;
}

Block::Block() {
  gcb::Pool* pool = host::memory::memory_pool();
  c_ = static_cast<sock_conn*>(pool->alloc(pool, sizeof(sock_conn), gcb::ALLOC_CLEAR));
  host_ = static_cast<char*>(pool->alloc(pool, SOCK_TEXT, gcb::ALLOC_CLEAR));
  service_ = static_cast<char*>(pool->alloc(pool, SOCK_TEXT, gcb::ALLOC_CLEAR));
  c_->host_name = host_;
  c_->host_name_size = SOCK_TEXT;
  c_->service_name = service_;
  c_->main_socket = c_->accepted_socket = -1;
}

Block::~Block() {
  sock().yxsclos(c_);
  gcb::Pool* heap = host::memory::heap();
  heap->free(heap, service_, 0, 4);
  heap->free(heap, host_, 0, 4);
  heap->free(heap, c_, 0, 4);
}

void Block::set_host(const std::string& name) {
  std::memset(host_, 0, SOCK_TEXT);
  std::memcpy(host_, name.data(), std::min(name.size(), size_t(SOCK_TEXT - 1)));
}

void Block::set_service(const std::string& name) {
  std::memset(service_, 0, SOCK_TEXT);
  std::memcpy(service_, name.data(), std::min(name.size(), size_t(SOCK_TEXT - 1)));
}

namespace {
socklen_t abstract_address(const std::string& path, sockaddr_un* a) {
  std::memset(a, 0, sizeof *a);
  a->sun_family = AF_UNIX;
  std::memcpy(a->sun_path, path.data(), path.size());
  return socklen_t(offsetof(sockaddr_un, sun_path) + path.size());
}
}  // namespace

LocalServer::LocalServer() {
  path_ = std::string(1, '\0') + "ftpam-sock-" + std::to_string(getpid()) + "-" +
          std::to_string(++g_abstract_names);
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a;
  socklen_t length = abstract_address(path_, &a);
  EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), length), 0) << std::strerror(errno);
  EXPECT_EQ(listen(fd_, 8), 0);
}

LocalServer::~LocalServer() { close(fd_); }

int LocalServer::accept() { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

TcpListener::TcpListener() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
  EXPECT_EQ(listen(fd_, 8), 0);
  socklen_t length = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
  port_ = ntohs(a.sin_port);
}

TcpListener::~TcpListener() { close(fd_); }

int TcpListener::accept() { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

int connect_tcp(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
  return fd;
}

int open_local(Block& block, LocalServer& server, int32_t direction, int32_t read_mode,
               int32_t record_size, int32_t terminator_kind, int32_t block_size) {
  block->direction = direction;
  block->read_mode = read_mode;
  block->record_size = record_size;
  block->terminator_kind = terminator_kind;
  block->block_size = block_size;
  block->local_only = 1;
  int32_t status =
      sock().yxscuop(block.get(), server.path().data(), int32_t(server.path().size()));
  EXPECT_EQ(status, 0);
  return status == 0 ? server.accept() : -1;
}

void write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += size_t(n);
  }
}

std::string read_peer(int fd, bool until_eof) {
  std::string data;
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, until_eof ? 0 : MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return data;
    data.append(buffer, size_t(n));
  }
}

std::vector<std::string> failure_texts() {
  std::vector<std::string> texts;
  for (auto& t : host::messages::take_failure_texts()) texts.push_back(t.text);
  return texts;
}

int times_logged(int number) {
  int n = 0;
  for (const auto& line : host::messages::log())
    if (line.group == msg::GROUP && line.number == number) ++n;
  return n;
}

void SockTest::SetUp() {
  (void)sock();
  saved_ = original();
  host::messages::clear_log();
  host::messages::take_failure_texts();
  blocks_before_ = host::memory::live_blocks();
  descriptors_before_ = open_descriptors();
}

void SockTest::TearDown() {
  syscalls() = saved_;
  forget_names();
  host::options::reset();
  host::events::set_idle_limit(0);
  host::events::cancel_break();
  EXPECT_EQ(host::memory::live_blocks(), blocks_before_) << "pool blocks left behind";
  EXPECT_EQ(open_descriptors(), descriptors_before_) << "descriptors left behind";
  EXPECT_EQ(host::events::registered_descriptors(), 0);
  EXPECT_EQ(host::events::pushed_states(), 0);
}

}  // namespace ftptest

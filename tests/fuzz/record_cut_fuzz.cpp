// Fuzz target: cutting a byte stream into records (yxsread) in every read
// mode, the stream fed through a real local socket connection in reads of a
// size the input chooses. For every mode but S370VS the records are checked
// against a plain model of the mode, so a wrong or lost record counts as a
// finding just like a crash.
//
// Input: mode and terminator, record size, block size, byte count, read
// size, then the stream.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "host/memory.h"
#include "host/module.h"
#include "module/status.h"
#include "sock/sock_conn.h"
#include "sock/syscalls.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/loaded_module.h"

namespace {

using ReadEntry = int32_t (*)(sock_conn*);
using LocalOpen = int32_t (*)(sock_conn*, const char*, int32_t);
using CloseEntry = int32_t (*)(sock_conn*);

struct Module {
  LocalOpen yxscuop;
  ReadEntry yxsread;
  CloseEntry yxsclos;
  SockSyscalls* syscalls;
  SockSyscalls original;
};
Module g;

int g_listener = -1;
std::string g_path;
size_t g_read_cap = 0;

template <typename T>
T find(const char* name) {
  void* p = ftptest::module().symbol(name);
  fuzz::require(p != nullptr, name);
  return reinterpret_cast<T>(p);
}

// Every read of the module takes at most g_read_cap bytes.
ssize_t capped_read(int fd, void* buffer, size_t length) {
  if (g_read_cap > 0 && length > g_read_cap) length = g_read_cap;
  return g.original.read(fd, buffer, length);
}

socklen_t local_address(sockaddr_un* a) {
  std::memset(a, 0, sizeof *a);
  a->sun_family = AF_UNIX;
  std::memcpy(a->sun_path, g_path.data(), g_path.size());
  return socklen_t(offsetof(sockaddr_un, sun_path) + g_path.size());
}

// ------------------------------------------------------------- the model

struct Record {
  std::string data;
  int32_t status;
  bool operator==(const Record&) const = default;
};

constexpr int32_t FAILURE = -1;  // any failure status

Record cut(const std::string& data, size_t size, int32_t status) {
  if (data.size() > size) return {data.substr(0, size), status == st::OK ? st::TRUNCATED : status};
  return {data, status};
}

std::vector<Record> terminated(const std::string& s, const std::string& term, size_t size) {
  std::vector<Record> out;
  size_t p = 0;
  for (size_t hit; (hit = s.find(term, p)) != std::string::npos; p = hit + term.size())
    out.push_back(cut(s.substr(p, hit - p), size, st::OK));
  // A last line without its terminator comes with the end of data; cut to
  // the record size it says so, and the end follows on its own.
  const std::string last = s.substr(p);
  if (last.size() > size) {
    out.push_back({last.substr(0, size), st::TRUNCATED});
    out.push_back({"", st::END_OF_DATA});
  } else {
    out.push_back({last, st::END_OF_DATA});
  }
  return out;
}

// Records of `size` bytes; a short last one comes with the end of data, or
// on its own before it.
std::vector<Record> pieces(const std::string& s, size_t size, bool short_one_apart) {
  std::vector<Record> out;
  size_t p = 0;
  for (; s.size() - p >= size; p += size) out.push_back({s.substr(p, size), st::OK});
  std::string rest = s.substr(p);
  if (!rest.empty() && short_one_apart) {
    out.push_back({rest, st::OK});
    rest.clear();
  }
  out.push_back({rest, st::END_OF_DATA});
  return out;
}

std::vector<Record> s370v(const std::string& s, size_t size) {
  std::vector<Record> out;
  for (size_t p = 0;;) {
    if (s.size() - p < 4) {  // an end inside a descriptor word loses a record
      out.push_back({"", p == s.size() ? st::END_OF_DATA : FAILURE});
      return out;
    }
    size_t length = size_t(uint8_t(s[p])) * 256 + uint8_t(s[p + 1]);
    if (length < 4) {
      out.push_back({"", FAILURE});
      return out;
    }
    p += 4;
    length -= 4;
    if (s.size() - p < length) {  // the data its descriptor promised never came
      out.push_back(cut(s.substr(p), size, FAILURE));
      return out;
    }
    out.push_back(cut(s.substr(p, length), size, st::OK));
    p += length;
  }
}

// The records the mode should deliver, or nothing when the model does not
// say (S370VS, and byte counts of one read's worth, checked apart).
std::optional<std::vector<Record>> expected(int32_t mode, const std::string& term, size_t size,
                                            int32_t byte_count, const std::string& s) {
  switch (mode) {
    case READ_TERMINATED: return terminated(s, term, size);
    case READ_FIXED: return pieces(s, size, false);
    case READ_BYTE_COUNT:
      if (byte_count <= 0) return std::nullopt;
      return pieces(s, std::min(size_t(byte_count), size), true);
    case READ_S370V: return s370v(s, size);
    default: return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::start();
  g.yxscuop = find<LocalOpen>("yxscuop");
  g.yxsread = find<ReadEntry>("yxsread");
  g.yxsclos = find<CloseEntry>("yxsclos");
  g.syscalls = find<SockSyscalls*>("yxs_syscalls");
  g.original = *g.syscalls;
  g.syscalls->read = capped_read;
  g_path = std::string(1, '\0') + "ftpam-fuzz-" + std::to_string(getpid());
  g_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a;
  socklen_t length = local_address(&a);
  fuzz::require(bind(g_listener, reinterpret_cast<sockaddr*>(&a), length) == 0, "bind");
  fuzz::require(listen(g_listener, 4) == 0, "listen");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int32_t modes[] = {READ_TERMINATED, READ_FIXED, READ_BYTE_COUNT, READ_S370V,
                                  READ_S370VS};
  static const int32_t terminators[] = {TERM_LF, TERM_CRLF, TERM_NUL};
  static const char* const terminator_bytes[] = {"\n", "\r\n", ""};
  fuzz::Input in(data, size);
  const uint8_t shape = in.byte();
  const int32_t mode = modes[shape % 5];
  const int kind = shape / 5 % 3;
  const int32_t record_size = in.word() % 1100;  // 0: the default size
  const int32_t block_size = in.word() % 9000;   // 0: the largest read buffer
  const int32_t byte_count = int8_t(in.byte());  // negative: one read's worth
  g_read_cap = in.byte();
  const std::string stream = in.rest();
  if (stream.size() > 65536) return -1;  // must fit the socket's buffer

  fuzz::Baseline baseline;
  gcb::Pool* pool = host::memory::memory_pool();
  auto* block = static_cast<sock_conn*>(pool->alloc(pool, sizeof(sock_conn), gcb::ALLOC_CLEAR));
  auto* host_name = static_cast<char*>(pool->alloc(pool, SOCK_TEXT, gcb::ALLOC_CLEAR));
  auto* service = static_cast<char*>(pool->alloc(pool, SOCK_TEXT, gcb::ALLOC_CLEAR));
  block->host_name = host_name;
  block->host_name_size = SOCK_TEXT;
  block->service_name = service;
  block->direction = SOCK_READS;
  block->read_mode = mode;
  block->terminator_kind = terminators[kind];
  block->record_size = record_size;
  block->block_size = block_size;
  block->byte_count = byte_count;
  block->local_only = 1;
  fuzz::require(g.yxscuop(block, g_path.data(), int32_t(g_path.size())) == st::OK, "yxscuop");
  int peer = accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
  fuzz::require(peer >= 0, "accept");
  fuzz::require(write(peer, stream.data(), stream.size()) == ssize_t(stream.size()), "write");
  close(peer);

  const size_t size_used = size_t(block->record_size);
  std::vector<Record> got;
  std::string joined;  // byte counts of one read's worth: the records joined
  const size_t bound = stream.size() + 8;
  for (size_t i = 0; i <= bound; ++i) {
    int32_t status = g.yxsread(block);
    fuzz::require(block->record_length >= 0 && block->record_length <= block->record_size,
                  "record length outside the record buffer");
    std::string record(block->record, size_t(block->record_length));
    bool more = status == st::OK || status == st::TRUNCATED;
    got.push_back({record, more || status == st::END_OF_DATA ? status : FAILURE});
    if (mode == READ_BYTE_COUNT && byte_count < 0 && more) {
      fuzz::require(!record.empty(), "an empty piece of one read's worth");
      joined += record;
    }
    if (!more) break;
  }
  if (mode == READ_BYTE_COUNT && byte_count < 0) {
    fuzz::require(got.back().status == st::END_OF_DATA, "no end of data");
    fuzz::require(joined == stream, "pieces of one read's worth do not join up to the stream");
  }
  const std::string term = kind == 2 ? std::string(1, '\0') : terminator_bytes[kind];
  if (auto want = expected(mode, term, size_used, byte_count, stream))
    fuzz::require(got == *want, "records differ from the model");

  g.yxsclos(block);
  gcb::Pool* heap = host::memory::heap();
  heap->free(heap, service, 0, 4);
  heap->free(heap, host_name, 0, 4);
  heap->free(heap, block, 0, 4);
  baseline.check();
  return 0;
}

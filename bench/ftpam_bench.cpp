// Drives the module through the reference host for the benchmarks: reads
// every record of a remote file and throws it away, or writes the records of
// a local file, and prints one JSON line with the time, the counts, the
// host-pool allocations per record, the most bytes the module held in host
// pools at once, the peak resident size, and the system calls the transfer
// made: those of the socket layer (counted through its system-call table)
// and the host's event waits, each of which is one poll.
//
//   ftpam_bench [FLAGS] read  REMOTE "OPTIONS" [BYTES_PER_PIECE]
//   ftpam_bench [FLAGS] write REMOTE "OPTIONS" LOCAL_FILE v|f|s [RECORD_LENGTH]
//   FLAGS: --option KEY=VALUE ..., --module FILE
//
// --option sets a host option, e.g. XXAMINPL=0 for records copied into the
// record buffer instead of handed back in place (the reference host's way);
// --module FILE loads another build of the module (an earlier one, say).
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host/events.h"
#include "host/files.h"
#include "host/memory.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/options.h"
#include "host/references.h"
#include "module/status.h"
#include "sock/syscalls.h"

namespace {

using Clock = std::chrono::steady_clock;

// User and system time of the process so far, in seconds: on a busy machine
// a steadier figure than the elapsed time.
double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long peak_rss_kb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

int fail(const char* what, int32_t status) {
  std::fprintf(stderr, "ftpam_bench: %s: %s\n", what,
               host::messages::describe_failure(status).c_str());
  return 1;
}

// System calls of the socket layer, counted by wrappers put into its table.
struct Calls {
  long reads = 0, polls = 0, writes = 0, others = 0;
  long waits_before = 0;
  double cpu_before = 0;
} g_calls;
SockSyscalls g_real;

ssize_t counted_read(int fd, void* b, size_t n) { return ++g_calls.reads, g_real.read(fd, b, n); }
ssize_t counted_recv(int fd, void* b, size_t n, int f) {
  return ++g_calls.reads, g_real.recv(fd, b, n, f);
}
int counted_poll(pollfd* p, nfds_t n, int t) {
  return ++g_calls.polls, g_real.poll(p, n, t);
}
ssize_t counted_write(int fd, const void* b, size_t n) {
  return ++g_calls.writes, g_real.write(fd, b, n);
}
int counted_accept(int fd, sockaddr* a, socklen_t* l) {
  return ++g_calls.others, g_real.accept(fd, a, l);
}
int counted_close(int fd) { return ++g_calls.others, g_real.close(fd); }

void count_system_calls() {
  auto* table = static_cast<SockSyscalls*>(host::Module::load_default(nullptr)->symbol("yxs_syscalls"));
  if (!table) return;
  g_real = *table;
  table->read = counted_read;
  table->recv = counted_recv;
  table->poll = counted_poll;
  table->write = counted_write;
  table->accept = counted_accept;
  table->close = counted_close;
}

void start_counting() {
  g_calls = Calls{};
  g_calls.waits_before = host::events::waits();
  g_calls.cpu_before = cpu_seconds();
}

void report(double seconds, long records, long long bytes, long allocations) {
  const long waits = host::events::waits() - g_calls.waits_before;
  std::printf("{\"seconds\": %.6f, \"cpu_seconds\": %.6f, \"records\": %ld, \"bytes\": %lld, "
              "\"allocations_per_record\": %.6f, \"peak_rss_kb\": %ld, "
              "\"module_peak_kb\": %.1f, \"sys_reads\": %ld, \"sys_polls\": %ld, "
              "\"sys_writes\": %ld, \"sys_others\": %ld, \"host_waits\": %ld}\n",
              seconds, cpu_seconds() - g_calls.cpu_before, records, bytes,
              records ? double(allocations) / double(records) : 0.0,
              peak_rss_kb(), double(host::memory::peak_bytes()) / 1024.0, g_calls.reads,
              g_calls.polls, g_calls.writes, g_calls.others, waits);
}

// Assigns the reference BENCH to `remote` and opens it.
bool open_reference(const std::string& remote, const std::string& options, int32_t mode,
                    std::unique_ptr<host::files::OpenFile>* file) {
  auto assigned = host::references::assign("BENCH", remote, options,
                                           host::references::PARSE_INPUT);
  if (!assigned.ok()) {
    std::fprintf(stderr, "ftpam_bench: %s\n", assigned.message.c_str());
    return false;
  }
  host::files::OpenParams params;
  params.mode = mode;
  int32_t status = host::files::OpenFile::open("BENCH", params, file);
  if (status != st::OK) {
    fail("open", status);
    return false;
  }
  return true;
}

int read_file(const std::string& remote, const std::string& options, int32_t piece) {
  std::unique_ptr<host::files::OpenFile> file;
  if (!open_reference(remote, options, OPEN_INPUT, &file)) return 1;
  int32_t status;
  long records = 0;
  long long bytes = 0;
  long allocations_before = host::memory::allocations();
  start_counting();
  auto start = Clock::now();
  host::files::Record record;
  for (;;) {
    status = file->read(&record, piece);
    if (status == st::OK || status == st::TRUNCATED) {
      ++records;
      bytes += record.length;
      continue;
    }
    if (status == st::NEXT_CONNECTION) continue;
    break;
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  long allocations = host::memory::allocations() - allocations_before;
  if (st::condition_of(status) != st::END_OF_DATA) return fail("read", status);
  status = file->close();
  if (status != st::OK) return fail("close", status);
  host::references::deassign("BENCH");
  report(seconds, records, bytes, allocations);
  return 0;
}

// The local file is read in blocks, so that the bench's own memory stays
// flat whatever the file's size; a record cut by a block's end is carried.
int write_file(const std::string& remote, const std::string& options, const char* local,
               char format, int32_t record_length) {
  int fd = open(local, O_RDONLY);
  if (fd < 0) {
    std::perror(local);
    return 1;
  }
  std::unique_ptr<host::files::OpenFile> file;
  if (!open_reference(remote, options, OPEN_OUTPUT, &file)) return 1;
  constexpr size_t BLOCK = 1 << 20;
  std::string block(BLOCK + size_t(record_length) + 65536, '\0');
  char* data = block.data();
  size_t held = 0;
  int32_t status;
  long records = 0;
  long long bytes = 0;
  long allocations_before = host::memory::allocations();
  start_counting();
  auto start = Clock::now();
  for (bool end = false; !end || held > 0;) {
    if (!end) {
      ssize_t n = read(fd, data + held, std::min(BLOCK, block.size() - held));
      if (n < 0) {
        std::perror(local);
        return 1;
      }
      end = n == 0;
      held += size_t(n);
    }
    size_t at = 0;
    for (;;) {
      size_t n, next;
      if (format == 'v') {  // one line per record, its CR LF left out
        const void* lf = std::memchr(data + at, '\n', held - at);
        if (!lf && !end) break;
        size_t stop = lf ? size_t(static_cast<const char*>(lf) - data) : held;
        n = stop - at - (stop > at && data[stop - 1] == '\r' ? 1 : 0);
        next = stop + 1;
      } else {
        if (held - at < size_t(record_length) && !end) break;
        n = std::min(held - at, size_t(record_length));
        next = at + n;
      }
      if (at >= held) break;
      status = file->write(std::string_view(data + at, n));
      if (st::is_failure(status)) return fail("write", status);
      ++records;
      bytes += static_cast<long long>(n);
      at = std::min(next, held);
    }
    std::memmove(data, data + at, held - at);
    held -= at;
  }
  close(fd);
  status = file->close();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  long allocations = host::memory::allocations() - allocations_before;
  if (status != st::OK) return fail("close", status);
  host::references::deassign("BENCH");
  report(seconds, records, bytes, allocations);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (; argc >= 3 && argv[1][0] == '-'; argc -= 2, argv += 2) {
    const char* value = std::strchr(argv[2], '=');
    if (!std::strcmp(argv[1], "--module")) host::Module::set_default_path(argv[2]);
    else if (!std::strcmp(argv[1], "--option") && value)
      host::options::set(std::string(argv[2], size_t(value - argv[2])), value + 1);
    else break;
  }
  std::string error;
  if (!host::Module::load_default(&error)) {
    std::fprintf(stderr, "ftpam_bench: %s\n", error.c_str());
    return 1;
  }
  count_system_calls();
  if (argc >= 4 && !std::strcmp(argv[1], "read"))
    return read_file(argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 0);
  if (argc >= 6 && !std::strcmp(argv[1], "write"))
    return write_file(argv[2], argv[3], argv[4], argv[5][0], argc > 6 ? std::atoi(argv[6]) : 80);
  std::fprintf(stderr, "usage: ftpam_bench [FLAGS] read REMOTE OPTIONS [PIECE]\n"
                       "       ftpam_bench [FLAGS] write REMOTE OPTIONS LOCAL v|f|s [LRECL]\n"
                       "FLAGS: --option KEY=VALUE, --module FILE\n");
  return 2;
}

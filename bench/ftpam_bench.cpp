// Drives the module through the reference host for the benchmarks: reads
// every record of a remote file and throws it away, or writes the records of
// a local file, and prints one JSON line with the time, the counts, the
// host-pool allocations per record and the peak resident size.
//
//   ftpam_bench read  REMOTE "OPTIONS" [BYTES_PER_PIECE]
//   ftpam_bench write REMOTE "OPTIONS" LOCAL_FILE v|f|s [RECORD_LENGTH]
#include <sys/mman.h>
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

#include "host/files.h"
#include "host/memory.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/references.h"
#include "module/status.h"

namespace {

using Clock = std::chrono::steady_clock;

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

void report(double seconds, long records, long long bytes, long allocations) {
  std::printf("{\"seconds\": %.6f, \"records\": %ld, \"bytes\": %lld, "
              "\"allocations_per_record\": %.6f, \"peak_rss_kb\": %ld}\n",
              seconds, records, bytes, records ? double(allocations) / double(records) : 0.0,
              peak_rss_kb());
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

int write_file(const std::string& remote, const std::string& options, const char* local,
               char format, int32_t record_length) {
  int fd = open(local, O_RDONLY);
  struct stat sb{};
  if (fd < 0 || fstat(fd, &sb) != 0) {
    std::perror(local);
    return 1;
  }
  size_t size = size_t(sb.st_size);
  auto* data = static_cast<const char*>(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
  if (data == MAP_FAILED) {
    std::perror("mmap");
    return 1;
  }
  std::unique_ptr<host::files::OpenFile> file;
  if (!open_reference(remote, options, OPEN_OUTPUT, &file)) return 1;
  int32_t status;
  long records = 0;
  long long bytes = 0;
  long allocations_before = host::memory::allocations();
  auto start = Clock::now();
  for (size_t at = 0; at < size;) {
    size_t n;
    size_t next;
    if (format == 'v') {  // one line per record, its CR LF left out
      const void* lf = std::memchr(data + at, '\n', size - at);
      size_t end = lf ? size_t(static_cast<const char*>(lf) - data) : size;
      n = end - at - (end > at && data[end - 1] == '\r' ? 1 : 0);
      next = end + 1;
    } else {
      n = std::min(size - at, size_t(record_length));
      next = at + n;
    }
    status = file->write(std::string_view(data + at, n));
    if (st::is_failure(status)) return fail("write", status);
    ++records;
    bytes += static_cast<long long>(n);
    at = next;
  }
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
  std::string error;
  if (!host::Module::load_default(&error)) {
    std::fprintf(stderr, "ftpam_bench: %s\n", error.c_str());
    return 1;
  }
  if (argc >= 4 && !std::strcmp(argv[1], "read"))
    return read_file(argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 0);
  if (argc >= 6 && !std::strcmp(argv[1], "write"))
    return write_file(argv[2], argv[3], argv[4], argv[5][0], argc > 6 ? std::atoi(argv[6]) : 80);
  std::fprintf(stderr, "usage: ftpam_bench read REMOTE OPTIONS [PIECE]\n"
                       "       ftpam_bench write REMOTE OPTIONS LOCAL v|f|s [LRECL]\n");
  return 2;
}

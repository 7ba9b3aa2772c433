// Work files on real temporary files. The file is unlinked as soon as it is
// made, so nothing is left behind whatever way the process ends; close()
// releases the descriptor. Offsets are 64-bit, so a file may grow past 2 GiB.
#include "host/spool.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "module/status.h"

namespace host::spool {
namespace {

struct WorkFile {
  int fd;
  int serial;
  int64_t position;  // current position (byte offset)
};

std::vector<WorkFile*> g_files;
int g_serial = 0;
long g_fail_at = 0;
long g_operations = 0;

bool injected_failure() {
  ++g_operations;
  return g_fail_at > 0 && g_operations == g_fail_at;
}

WorkFile* find(void* handle) {
  for (WorkFile* f : g_files)
    if (f == handle) return f;
  return nullptr;
}

// Every failure of a work file reaches the module as "operation failed".
int32_t failed() { return st::FAILED; }

// Reads or writes exactly `length` bytes at the current position and moves
// past them; running into the end of the file while reading is a failure.
int32_t transfer(WorkFile* f, char* bytes, int32_t length, bool writing) {
  int32_t done = 0;
  while (done < length) {
    const off64_t at = off64_t(f->position + done);
    const size_t n = size_t(length - done);
    ssize_t moved =
        writing ? pwrite64(f->fd, bytes + done, n, at) : pread64(f->fd, bytes + done, n, at);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) return failed();
    done += int32_t(moved);
  }
  f->position += done;
  return st::OK;
}

}  // namespace

int open_files() { return int(g_files.size()); }

void close(void* handle) {
  for (size_t i = 0; i < g_files.size(); ++i) {
    if (g_files[i] != handle) continue;
    ::close(g_files[i]->fd);
    delete g_files[i];
    g_files.erase(g_files.begin() + long(i));
    return;
  }
}

int mark() { return g_serial; }

void close_made(int after, int upto) {
  for (size_t i = g_files.size(); i-- > 0;)
    if (g_files[i]->serial > after && g_files[i]->serial <= upto) close(g_files[i]);
}

void fail_operation(long nth) {
  g_operations = 0;
  g_fail_at = nth;
}

long operations_since_armed() { return g_operations; }

}  // namespace host::spool

using namespace host::spool;

// xcopen(&handle, descriptor): a new, empty work file. The descriptor names
// the kind of file ("WORK" / "UTILITY"); every kind is a temporary file here.
extern "C" int32_t hs_xcopen(void** handle_out, const void*) {
  if (handle_out) *handle_out = nullptr;
  if (injected_failure()) return failed();
  const char* dir = std::getenv("TMPDIR");
  char path[512];
  std::snprintf(path, sizeof path, "%s/ftpam-work-XXXXXX", dir && *dir ? dir : "/tmp");
  int fd = mkstemp64(path);
  if (fd < 0) return failed();
  unlink(path);
  auto* f = new WorkFile{fd, ++g_serial, 0};
  g_files.push_back(f);
  if (handle_out) *handle_out = f;
  return st::OK;
}

// xcnote(handle, &token): the current position.
extern "C" int32_t hs_xcnote(void* handle, int32_t* token_out) {
  WorkFile* f = find(handle);
  if (!f || !token_out || injected_failure()) return failed();
  if (f->position > INT32_MAX) return failed();
  *token_out = int32_t(f->position);
  return st::OK;
}

// xcpoint(handle, token): moves to a noted position; -1 is the end.
extern "C" int32_t hs_xcpoint(void* handle, int32_t token) {
  WorkFile* f = find(handle);
  if (!f || injected_failure()) return failed();
  off64_t end = lseek64(f->fd, 0, SEEK_END);
  if (end < 0) return failed();
  if (token == -1) f->position = end;
  else if (token < 0 || token > end) return failed();
  else f->position = token;
  return st::OK;
}

// xcread(handle, buffer, n): exactly n bytes at the current position; fewer
// bytes than that (the end of the file) is a failure.
extern "C" int32_t hs_xcread(void* handle, void* buffer, int32_t length) {
  WorkFile* f = find(handle);
  if (!f || length < 0 || injected_failure()) return failed();
  return transfer(f, static_cast<char*>(buffer), length, false);
}

// xcwrite(handle, buffer, n): n bytes at the current position.
extern "C" int32_t hs_xcwrite(void* handle, const void* buffer, int32_t length) {
  WorkFile* f = find(handle);
  if (!f || length < 0 || injected_failure()) return failed();
  return transfer(f, const_cast<char*>(static_cast<const char*>(buffer)), length, true);
}

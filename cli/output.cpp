#include "cli/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cli {
namespace {

Progress* g_current_progress = nullptr;

bool same_file(int a, int b) {
  struct stat sa {}, sb {};
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino && sa.st_rdev == sb.st_rdev;
}

}  // namespace

std::string escape_controls(std::string_view text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u == 0x7F) {
      out += "\\x";
      out += digits[u >> 4];
      out += digits[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string shown(std::string_view text, int fd) {
  return isatty(fd) ? escape_controls(text) : std::string(text);
}

RecordWriter::RecordWriter(int fd, OutputMode mode, bool show_cc, std::string what)
    : fd_(fd), mode_(mode), cc_(show_cc), unbuffered_(isatty(fd)),
      extra_((show_cc ? 1 : 0) + (mode == OutputMode::LINES ? 1 : 0)),
      fast_room_(mode == OutputMode::HEX || unbuffered_ ? 0 : BUFFER_SIZE), what_(std::move(what)),
      buffer_(new char[BUFFER_SIZE]) {
  // Text printed through stdio before the records comes first.
  if (fd == STDOUT_FILENO) std::fflush(stdout);
}

RecordWriter::~RecordWriter() { flush(); }

bool RecordWriter::drain() {
  size_t done = 0;
  while (done < used_ && error_.empty()) {
    ssize_t n = ::write(fd_, buffer_.get() + done, used_ - done);
    if (n > 0) done += size_t(n);
    else if (n < 0 && errno == EINTR) continue;
    else error_ = "writing " + what_ + ": " + (n < 0 ? std::strerror(errno) : "nothing written");
  }
  if (!error_.empty()) fast_room_ = 0;
  used_ = 0;
  return error_.empty();
}

bool RecordWriter::flush() {
  if (used_ && error_.empty()) {
    if (unbuffered_ && g_current_progress) g_current_progress->clear();
    drain();
  }
  used_ = 0;
  return error_.empty();
}

bool RecordWriter::close() {
  bool ok = flush();
  if (::close(fd_) != 0 && ok) {
    error_ = "closing " + what_ + ": " + std::strerror(errno);
    ok = false;
  }
  fd_ = -1;
  return ok;
}

void RecordWriter::put(const char* data, size_t size) {
  while (size > 0 && error_.empty()) {
    if (used_ == BUFFER_SIZE) drain();
    size_t n = std::min(size, BUFFER_SIZE - used_);
    std::memcpy(buffer_.get() + used_, data, n);
    used_ += n, data += n, size -= n;
  }
}

// What the inline write leaves: a full buffer (drained, then the inline
// path), a hex dump, a record larger than the buffer, a terminator's output.
bool RecordWriter::write_slow(std::string_view record, char cc) {
  if (!error_.empty()) return false;
  if (record.size() + extra_ <= fast_room_) return drain() && write(record, cc);
  ++records_;
  bytes_ += static_cast<long long>(record.size());
  if (mode_ == OutputMode::HEX) {
    hex_dump(record, cc);
  } else if (mode_ == OutputMode::LINES && unbuffered_) {  // on a terminal
    if (cc_) put(escape_controls({&cc, 1}));
    put(escape_controls(record));
    put("\n", 1);
  } else {
    if (cc_) put(&cc, 1);
    put(record.data(), record.size());
    if (mode_ == OutputMode::LINES) put("\n", 1);
  }
  if (unbuffered_) flush();
  return error_.empty();
}

void RecordWriter::hex_dump(std::string_view record, char cc) {
  char line[128];
  int n = std::snprintf(line, sizeof line, "record %ld, %zu bytes", records_, record.size());
  put(line, size_t(n));
  if (cc_) {
    n = std::snprintf(line, sizeof line, ", cc '%c' (%02X)", cc, static_cast<unsigned char>(cc));
    put(line, size_t(n));
  }
  put("\n", 1);
  static const char digits[] = "0123456789abcdef";
  for (size_t off = 0; off < record.size(); off += 16) {
    n = std::snprintf(line, sizeof line, "  %06zx ", off);
    char* p = line + n;
    for (size_t i = off; i < off + 16; ++i) {
      if (i < record.size()) {
        unsigned char c = static_cast<unsigned char>(record[i]);
        *p++ = ' ', *p++ = digits[c >> 4], *p++ = digits[c & 15];
      } else {
        *p++ = ' ', *p++ = ' ', *p++ = ' ';
      }
    }
    *p++ = ' ', *p++ = ' ';
    for (size_t i = off; i < off + 16 && i < record.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(record[i]);
      *p++ = c >= 0x20 && c < 0x7F ? char(c) : '.';
    }
    *p++ = '\n';
    put(line, size_t(p - line));
  }
}

bool output_shares_terminal() {
  return isatty(STDOUT_FILENO) && isatty(STDERR_FILENO) && same_file(STDOUT_FILENO, STDERR_FILENO);
}

void clear_progress() {
  if (g_current_progress) g_current_progress->clear();
}

Progress::Progress(bool enabled) : enabled_(enabled && isatty(STDERR_FILENO)) {
  start_ = last_ = std::chrono::steady_clock::now();
  if (enabled_) g_current_progress = this;
}

Progress::~Progress() {
  clear();
  if (g_current_progress == this) g_current_progress = nullptr;
}

void Progress::show(long records, long long bytes) {
  auto now = std::chrono::steady_clock::now();
  if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200))
    return;
  last_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = double(bytes) / seconds;
  const long long done = already_ + bytes;
  if (total_ > 0 && done <= total_) {
    // A TYPE A file's size is the server's count: the share is a close guess.
    const long left = rate > 0 ? long(double(total_ - done) / rate) : 0;
    std::fprintf(stderr, "\r%3d%% %.1f of %.1f MB, %.1f MB/s, %ld:%02ld left   ",
                 int(double(done) * 100 / double(total_)), double(done) / 1e6,
                 double(total_) / 1e6, rate / 1e6, left / 60, left % 60);
  } else {
    std::fprintf(stderr, "\r%.1f MB, %ld records, %.1f MB/s   ", double(bytes) / 1e6, records,
                 rate / 1e6);
  }
  shown_ = true;
}

void Progress::clear() {
  if (shown_) std::fputs("\r\033[K", stderr);
  shown_ = false;
}

void Progress::finish(long records, long long bytes, bool summary) {
  clear();
  if (!summary || !enabled_) return;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::fprintf(stderr, "ftpam: %lld bytes, %ld record%s in %.2f s (%.1f MB/s)\n", bytes, records,
               records == 1 ? "" : "s", seconds,
               seconds > 0 ? double(bytes) / 1e6 / seconds : 0.0);
}

}  // namespace cli

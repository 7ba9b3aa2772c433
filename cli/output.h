// How records reach standard output (or a saved file), the progress line on
// a terminal and the summary at the end of a transfer.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace cli {

enum class OutputMode {
  LINES,  // each record, then a newline
  RAW,    // the record bytes back to back
  HEX,    // a hex dump of each record
};

// Gathers records in one large buffer and writes it whole, checking every
// write: a failed write (a full disk, a closed pipe) is remembered, nothing
// more is written, and failed() tells the caller to stop.
class RecordWriter {
 public:
  static constexpr size_t BUFFER_SIZE = 256 * 1024;

  // Writes to descriptor `fd`, named `what` in messages. On a terminal every
  // record is written at once, so that a user sees each record as it comes.
  RecordWriter(int fd, OutputMode mode, bool show_cc, std::string what = "standard output");
  ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // False once a write has failed. A record that fits the buffer in the
  // plain modes is copied there inline: the per-record path of a transfer.
  bool write(std::string_view record, char cc) {
    const size_t whole = record.size() + extra_;
    if (used_ + whole > fast_room_) return write_slow(record, cc);
    char* p = buffer_.get() + used_;
    if (cc_) *p++ = cc;
    copy_bytes(p, record.data(), record.size());
    if (mode_ == OutputMode::LINES) p[record.size()] = '\n';
    used_ += whole;
    ++records_;
    bytes_ += static_cast<long long>(record.size());
    return true;
  }
  // Writes out what is buffered; false when that (or an earlier write) failed.
  bool flush();
  // Flushes and closes the descriptor (for a saved file); false on failure.
  bool close();
  bool failed() const { return !error_.empty(); }
  // "writing standard output: No space left on device"
  const std::string& error() const { return error_; }
  long records() const { return records_; }
  long long bytes() const { return bytes_; }

 private:
  // Copies n bytes in 16-byte moves (the last one overlapping), a short
  // record without the cost of a library call; long ones through memcpy.
  static void copy_bytes(char* to, const char* from, size_t n) {
    if (n > 256) {
      std::memcpy(to, from, n);
    } else if (n >= 16) {
      for (size_t i = 0; i + 16 < n; i += 16) std::memcpy(to + i, from + i, 16);
      std::memcpy(to + n - 16, from + n - 16, 16);
    } else {
      for (size_t i = 0; i < n; ++i) to[i] = from[i];
    }
  }
  bool write_slow(std::string_view record, char cc);
  void put(const char* data, size_t size);
  void put(std::string_view text) { put(text.data(), text.size()); }
  void hex_dump(std::string_view record, char cc);
  bool drain();

  int fd_;
  OutputMode mode_;
  bool cc_;
  bool unbuffered_;
  size_t extra_;       // bytes beside the record's own: its cc, its newline
  size_t fast_room_;   // the inline path's share of the buffer: 0 when it is not taken
  std::string what_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
  std::string error_;
  long records_ = 0;
  long long bytes_ = 0;
};

// A line on standard error, rewritten in place, while a transfer runs for
// more than a second and standard error is a terminal. It is cleared before
// data goes to the same terminal and before a question is asked, so it never
// ends up inside either. finish() prints a one-line summary on a terminal.
class Progress {
 public:
  explicit Progress(bool enabled);
  ~Progress();
  // The file's size, when the server told it, and the bytes of it already
  // there before this transfer (a resumed download): the line then shows
  // the share done, the rate and the time left.
  void set_total(long long total, long long already = 0) {
    total_ = total;
    already_ = already;
  }
  // Called for every record: without a terminal it costs one test.
  void update(long records, long long bytes) {
    if (enabled_) show(records, bytes);
  }
  // Takes the line off the screen (it comes back at the next update).
  void clear();
  // Clears the line; with `summary`, shows bytes, records, time and rate.
  void finish(long records = 0, long long bytes = 0, bool summary = false);

 private:
  void show(long records, long long bytes);

  bool enabled_;
  bool shown_ = false;
  long long total_ = -1;   // -1: not known
  long long already_ = 0;
  std::chrono::steady_clock::time_point start_, last_;
};

// Text from the server as it may be shown on a terminal: every control byte
// but TAB (DEL too) as \xNN, so that a reply, a name or a record cannot move
// the cursor, retitle the window or clear the screen.
std::string escape_controls(std::string_view text);
// The same when descriptor `fd` is a terminal; elsewhere the text as it is.
std::string shown(std::string_view text, int fd = 2);

// Clears the progress line of the transfer under way, if one is shown.
void clear_progress();
// Standard output and standard error are the same terminal.
bool output_shares_terminal();

}  // namespace cli

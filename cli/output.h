// How records reach standard output, and the progress line on a terminal.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace cli {

enum class OutputMode {
  LINES,  // each record, then a newline
  RAW,    // the record bytes back to back
  HEX,    // a hex dump of each record
};

class RecordWriter {
 public:
  RecordWriter(std::FILE* out, OutputMode mode, bool show_cc) : out_(out), mode_(mode), cc_(show_cc) {}
  void write(std::string_view record, char cc);
  long records() const { return records_; }
  long long bytes() const { return bytes_; }

 private:
  std::FILE* out_;
  OutputMode mode_;
  bool cc_;
  long records_ = 0;
  long long bytes_ = 0;
};

// A line on standard error, rewritten in place, while a transfer runs for
// more than a second and standard error is a terminal.
class Progress {
 public:
  explicit Progress(bool enabled);
  void update(long records, long long bytes);
  void finish();

 private:
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_, last_;
};

}  // namespace cli

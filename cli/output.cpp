#include "cli/output.h"

#include <unistd.h>

namespace cli {

void RecordWriter::write(std::string_view record, char cc) {
  ++records_;
  bytes_ += static_cast<long long>(record.size());
  switch (mode_) {
    case OutputMode::LINES:
      if (cc_) std::fputc(cc, out_);
      std::fwrite(record.data(), 1, record.size(), out_);
      std::fputc('\n', out_);
      break;
    case OutputMode::RAW:
      if (cc_) std::fputc(cc, out_);
      std::fwrite(record.data(), 1, record.size(), out_);
      break;
    case OutputMode::HEX: {
      std::fprintf(out_, "record %ld, %zu bytes", records_, record.size());
      if (cc_) std::fprintf(out_, ", cc '%c' (%02X)", cc, static_cast<unsigned char>(cc));
      std::fputc('\n', out_);
      for (size_t off = 0; off < record.size(); off += 16) {
        std::fprintf(out_, "  %06zx ", off);
        for (size_t i = off; i < off + 16; ++i) {
          if (i < record.size()) std::fprintf(out_, " %02x", static_cast<unsigned char>(record[i]));
          else std::fputs("   ", out_);
        }
        std::fputs("  ", out_);
        for (size_t i = off; i < off + 16 && i < record.size(); ++i) {
          unsigned char c = static_cast<unsigned char>(record[i]);
          std::fputc(c >= 0x20 && c < 0x7F ? c : '.', out_);
        }
        std::fputc('\n', out_);
      }
      break;
    }
  }
}

Progress::Progress(bool enabled) : enabled_(enabled && isatty(2)) {
  start_ = last_ = std::chrono::steady_clock::now();
}

void Progress::update(long records, long long bytes) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (now - start_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200))
    return;
  last_ = now;
  double seconds = std::chrono::duration<double>(now - start_).count();
  std::fprintf(stderr, "\r%.1f MB, %ld records, %.1f MB/s   ", double(bytes) / 1e6, records,
               double(bytes) / 1e6 / seconds);
  shown_ = true;
}

void Progress::finish() {
  if (shown_) std::fputs("\r\033[K", stderr);
  shown_ = false;
}

}  // namespace cli

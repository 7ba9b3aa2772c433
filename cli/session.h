// One file reference as the CLI uses it: assign, open, read or write records,
// close, deassign -- with every failure printed as the host shows it.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/output.h"
#include "host/files.h"

namespace cli {

// Prints "ftpam: <what the host shows for status>" on standard error.
void report(int32_t status, const std::string& doing = {});

struct ReadOptions {
  OutputMode mode = OutputMode::LINES;
  bool show_cc = false;
  int32_t piece = 0;   // bytes asked for per read of an S file; 0 = LRECL
  long limit = -1;     // records to read at most; -1 = all
};

class Session {
 public:
  // Assigns `name` to `remote` with the option arguments (statement syntax).
  static std::unique_ptr<Session> assign(const std::string& name, const std::string& remote,
                                         const std::vector<std::string>& options);
  ~Session();

  // Opens with the open-time options and the host's record format (0: from
  // the options).
  bool open(int32_t mode, const std::vector<std::string>& open_options = {}, int32_t recfm = 0);
  // Reads records to standard output; false on failure.
  bool read_all(const ReadOptions& options, RecordWriter* out, bool* at_end = nullptr);
  bool write_record(const std::string& data, char cc = ' ');
  // Closes in order (final reply, QUIT); after the user interrupted a wait,
  // ends the file without waiting for the server. False when the close
  // failed or the server refused the transfer in its final reply.
  bool close();
  // Ends the open file without reading the final reply or sending QUIT: for
  // a transfer that is not wanted (the server would report it aborted).
  void abandon();
  host::files::OpenFile* file() { return file_.get(); }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::unique_ptr<host::files::OpenFile> file_;
  FtpOptions* open_options_ = nullptr;
  bool assigned_ = false;
  uint32_t owner_key_ = 0;  // of this session's open file alone
};

}  // namespace cli

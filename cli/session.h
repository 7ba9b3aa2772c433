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

// Prints "ftpam: <doing>: <what the host shows for status>" on standard
// error and notes the kind of failure for the exit status.
void report(int32_t status, const std::string& doing = {});

// The server's refusing replies (4xx, 5xx) are kept until a failure is
// reported, which shows them first as the server's reason; an operation that
// ends well (an MGET that fell back to matching names itself, a read broken
// off and closed early) shows none.
void note_refusal(const std::string& line);

// Says that `count` records were longer than the record length (`lrecl`)
// and cut, the first of them `first` ("record 7"), and notes the exit
// status for changed records.
void report_cut_records(long count, int32_t lrecl, const std::string& first);

// Sets the times of the file at `path` (never through a link) to `modified`
// (seconds since 1970 UTC); false with errno on failure.
bool set_file_time(const std::string& path, long long modified);

struct ReadOptions {
  OutputMode mode = OutputMode::LINES;
  bool show_cc = false;
  int32_t piece = 0;   // bytes asked for per read of an S file; 0 = LRECL
  long limit = -1;     // records to read at most; -1 = all
  bool summary = false;        // a summary line at the end on a terminal
  bool check_reply = false;    // the records are a server reply: a 4xx/5xx one fails
  // Each MGET file to a file of its own in this folder ("" : standard output).
  std::string save_folder;
  bool force = false;          // a file in the folder may be replaced
  bool keep_time = true;       // a saved file takes the server's time of it, when told
  // Saved files keep their folders below this part of the pattern ("dir/" of
  // "dir/*"), recreated in the save folder (mget -r).
  bool keep_folders = false;
  std::string pattern_folder;
  long long total = -1;        // the file's size, for the progress line; -1: not known
  long long already = 0;       // bytes of it there before (a resumed download)
};

class Session {
 public:
  // Assigns `name` to `remote` with the option arguments (statement syntax).
  static std::unique_ptr<Session> assign(const std::string& name, const std::string& remote,
                                         const std::vector<std::string>& options);
  ~Session();

  // Opens with the open-time options and the host's record format (0: from
  // the options). `what` names the file in a failure message.
  bool open(int32_t mode, const std::vector<std::string>& open_options = {}, int32_t recfm = 0,
            const std::string& what = "open");
  // Reads records to `out` (with a save folder: to one file per MGET file);
  // false on failure.
  bool read_all(const ReadOptions& options, RecordWriter* out);
  // Writes one record; *cut is set when the module cut it to the record
  // length.
  bool write_record(std::string_view data, char cc = ' ', bool* cut = nullptr);
  // Closes in order (final reply, QUIT); after the user interrupted a wait,
  // ends the file without waiting for the server. False when the close
  // failed or the server refused the transfer in its final reply. A read
  // that stopped before the end of the data is expected to be refused by
  // the server and ends cleanly.
  bool close();
  // Ends the open file without reading the final reply or sending QUIT: for
  // a transfer that is not wanted (the server would report it aborted).
  void abandon();
  host::files::OpenFile* file() { return file_.get(); }
  const std::string& name() const { return name_; }

 private:
  bool read_to_folder(const ReadOptions& options, RecordWriter* names);
  std::string name_;
  std::unique_ptr<host::files::OpenFile> file_;
  FtpOptions* open_options_ = nullptr;
  bool assigned_ = false;
  bool at_end_ = false;     // the reads reached the end of the data
  bool reading_ = false;    // opened for input
  uint32_t owner_key_ = 0;  // of this session's open file alone
};

}  // namespace cli

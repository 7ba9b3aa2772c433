// The host's record-level API over the method vector: open a file reference,
// read and write records through its record-access vector, note and point,
// information, close, and owner termination. Statuses are the module's; show
// a failure with host::messages::describe_failure(status).
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "module/host_records.h"

namespace host::files {

struct OpenParams {
  int32_t mode = OPEN_INPUT;     // OPEN_* bits; OPEN_POSITIONING asks for note/point
  int32_t recfm = 0;             // record format asked for by the host (RECFM_* bits)
  int32_t lrecl = 0;             // 0: from the options, else 256
  FtpOptions* options = nullptr; // open-time option block (parsed with yxfpars), or null
  uint32_t owner_key = 0;        // files of one owner can be terminated together
};

struct Record {
  const char* data = nullptr;  // into the module's record buffer; valid until the next read
  int32_t length = 0;
  char cc = ' ';               // carriage-control character, blank when the format has none
  std::string_view view() const { return {data ? data : "", size_t(data ? length : 0)}; }
};

class OpenFile {
 public:
  ~OpenFile();  // closes the file if it is still open
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  // Opens the 8-character (blank-padded) reference `name`. On failure returns
  // the status and leaves `out` empty.
  static int32_t open(const std::string& name, const OpenParams& params,
                      std::unique_ptr<OpenFile>* out);

  // Inline: the per-record path of a transfer.
  int32_t read(Record* record, int32_t bytes_wanted = 0) {
    char* data = nullptr;
    int32_t length = bytes_wanted;
    char cc = ' ';
    int32_t status = access_->read(file_, &data, &length, &cc);
    record->data = data;
    record->length = data ? length : 0;
    record->cc = cc;
    return status;
  }
  int32_t write(std::string_view data, char cc = ' ');
  int32_t note(Position* position);
  int32_t point(const Position& position);
  int32_t position_to_number(const Position& position, double* number);
  int32_t number_to_position(double number, Position* position);
  int32_t info(InfoRecord* info);
  // The information items as name/value pairs.
  int32_t items(std::vector<std::pair<std::string, std::string>>* items);
  // What the server told of the file (the module's yxffact): with the FACTS
  // option its size and time, where the server said them.
  int32_t facts(FileFacts* facts);
  int32_t close();

  FtpFile* handle() const { return file_; }
  const OpenRequest& request() const { return request_; }
  const std::string& name() const { return name_; }
  bool is_open() const { return file_ != nullptr; }

 private:
  friend void terminate_owner(uint32_t key);
  OpenFile() = default;
  void forget();  // the module no longer has this file
  std::string name_;
  FtpFile* file_ = nullptr;
  RecordAccessVector* access_ = nullptr;
  OpenRequest request_{};
  uint32_t fileref_[8] = {};  // the host's file-reference record
  int work_after_ = 0;        // the work files this open made are closed with it
  int work_upto_ = 0;
};

// Ends every open file of an owner (the module's yxftrm); the OpenFile
// objects of those files are closed from then on.
void terminate_owner(uint32_t key);

// The information record of a reference that is not open.
int32_t reference_info(const std::string& name, InfoRecord* info);

}  // namespace host::files

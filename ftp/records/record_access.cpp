// The record-access vector of an open file: the table of record routines the
// host calls for it, with the read routine chosen by open mode, connection
// and record format.
#include "ftp/ftp_file.h"
#include "ftp/methods.h"
#include "ftp/records/readers.h"
#include "ftp/transfer/transfer.h"
#include "module/allocation.h"
#include "module/host_records.h"
#include "module/method_vector.h"
#include "module/records.h"
#include "module/status.h"

namespace {

// The unsupported slot whose routine the vector's "not supported" word takes.
constexpr int SLOT_UNSUPPORTED = 17;
static_assert(!method_slot::supported(SLOT_UNSUPPORTED));

template <typename Routine>
Routine slot_routine(const FtpFile* file, int slot) {
  auto* entry = static_cast<const AccessMethodEntry*>(file->amec);
  return reinterpret_cast<Routine>(entry->vector[slot].routine);
}

// A host that asks for records in place (host option XXAMINPL) gets the
// record reader that hands a record back where it lies in the read buffer.
ReadRoutine read_routine(const FtpFile* file) {
  bool positioning = file->open_mode & OPEN_POSITIONING;
  bool byte_stream = file->recfm & RECFM_S;
  if (!(file->open_mode & OPEN_INPUT)) return reinterpret_cast<ReadRoutine>(yxfnsup);
  if (!file->data) return yxfrd;
  if (positioning && byte_stream) return yxfrdrs;
  if (positioning) return yxfrdr;
  if (byte_stream) return yxfrds;
  if (host_option_positive(file, "XXAMINPL")) return yxfrdp;
  return slot_routine<ReadRoutine>(file, method_slot::READ);
}

}  // namespace

extern "C" int32_t yxfamvc(FtpFile* file, void** vector_out) {
  if (!file) return st::NO_OPEN_FILE;
  // A second call rebuilds the vector the file already has.
  auto* vector = static_cast<RecordAccessVector*>(file->reader_vector);
  if (!vector) vector = static_cast<RecordAccessVector*>(mem::alloc_clear(sizeof *vector));
  if (!vector) return st::NO_MEMORY;
  vector->file = file;
  vector->read = read_routine(file);
  vector->write = file->open_mode & (OPEN_OUTPUT | OPEN_APPEND)
                      ? slot_routine<WriteRoutine>(file, method_slot::WRITE)
                      : reinterpret_cast<WriteRoutine>(yxfnsup);
  vector->note = slot_routine<PositionRoutine>(file, method_slot::NOTE);
  vector->point = slot_routine<PositionRoutine>(file, method_slot::POINT);
  vector->number_to_position =
      slot_routine<NumberToPosition>(file, method_slot::NUMBER_TO_POSITION);
  vector->unsupported = slot_routine<void*>(file, SLOT_UNSUPPORTED);
  file->reader_vector = vector;
  *vector_out = vector;
  return st::OK;
}

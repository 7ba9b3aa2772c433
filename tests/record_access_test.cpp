// The record-access vector: one per open, its read routine chosen by open
// mode, connection and record format, its other words taken from the method
// vector.
#include <gtest/gtest.h>

#include <set>

#include "ftp/ftp_file.h"
#include "host/memory.h"
#include "host/module.h"
#include "host/options.h"
#include "module/host_records.h"
#include "module/records.h"
#include "module/status.h"
#include "tests/support/loaded_module.h"

using ftptest::module;

namespace {


void* slot(int n) { return module().entry()->vector[n].routine; }

// An open-file block as far as the vector looks at it.
struct FakeFile {
  FtpFile* file;
  sock_conn data{};
  explicit FakeFile(int32_t mode, int32_t recfm, bool with_data) {
    auto* pool = host::memory::memory_pool();
    file = static_cast<FtpFile*>(pool->alloc(pool, sizeof(FtpFile), gcb::ALLOC_CLEAR));
    file->amec = module().entry();
    file->open_mode = uint32_t(mode);
    file->recfm = uint32_t(recfm);
    file->data = with_data ? &data : nullptr;
  }
  ~FakeFile() {
    auto* heap = host::memory::heap();
    heap->free(heap, file->reader_vector, 0, 4);
    heap->free(heap, file, 0, 4);
  }
  RecordAccessVector* build() {
    void* vector = nullptr;
    EXPECT_EQ(module().call(host::slot::RECORD_ACCESS, file, &vector), st::OK);
    EXPECT_EQ(vector, file->reader_vector);
    return static_cast<RecordAccessVector*>(vector);
  }
};

void* read_routine(int32_t mode, int32_t recfm, bool with_data) {
  FakeFile f(mode, recfm, with_data);
  return reinterpret_cast<void*>(f.build()->read);
}

constexpr int SLOT_UNSUPPORTED = 5;
constexpr int SLOT_READ = 18;

// A host that asks for records in place (XXAMINPL, as the reference host
// does) gets a record reader of its own; any other the method vector's.
TEST(RecordAccess, ReadRoutineFollowsModeConnectionAndFormat) {
  const int32_t in = OPEN_INPUT, pos = OPEN_POSITIONING;
  host::options::unset("XXAMINPL");
  EXPECT_EQ(read_routine(OPEN_OUTPUT, 0, true), slot(SLOT_UNSUPPORTED));
  EXPECT_EQ(read_routine(OPEN_APPEND, 0, false), slot(SLOT_UNSUPPORTED));
  EXPECT_EQ(read_routine(in, RECFM_F, true), slot(SLOT_READ));
  EXPECT_EQ(read_routine(in, RECFM_V | RECFM_CC, true), slot(SLOT_READ));

  void* replies = read_routine(in, 0, false);
  EXPECT_EQ(read_routine(in | pos, RECFM_S, false), replies) << "no data connection wins";
  void* spooled_bytes = read_routine(in | pos, RECFM_S, true);
  void* spooled_records = read_routine(in | pos, RECFM_F, true);
  void* bytes = read_routine(in, RECFM_S, true);
  host::options::set("XXAMINPL", "1");
  void* in_place = read_routine(in, RECFM_F, true);
  EXPECT_EQ(read_routine(in | pos, RECFM_F, true), spooled_records) << "positioning wins";
  EXPECT_EQ(read_routine(in, RECFM_S, true), bytes) << "byte streams are never in place";
  host::options::reset();
  std::set<void*> distinct{replies, spooled_bytes, spooled_records, bytes, in_place,
                           slot(SLOT_READ), slot(SLOT_UNSUPPORTED)};
  EXPECT_EQ(distinct.size(), 7u) << "each case has a reader of its own";
}

TEST(RecordAccess, OtherWordsComeFromTheMethodVector) {
  int live = host::memory::live_blocks();
  {
    FakeFile reading(OPEN_INPUT, 0, true);
    RecordAccessVector* v = reading.build();
    EXPECT_EQ(v->file, reading.file);
    EXPECT_EQ(reinterpret_cast<void*>(v->write), slot(SLOT_UNSUPPORTED));
    EXPECT_EQ(reinterpret_cast<void*>(v->note), slot(12));
    EXPECT_EQ(reinterpret_cast<void*>(v->point), slot(13));
    EXPECT_EQ(reinterpret_cast<void*>(v->number_to_position), slot(15));
    EXPECT_EQ(v->unsupported, slot(17));
    // Built again, the vector is the same block.
    EXPECT_EQ(reading.build(), v);

    FakeFile writing(OPEN_OUTPUT, 0, true);
    EXPECT_EQ(reinterpret_cast<void*>(writing.build()->write), slot(19));
    FakeFile appending(OPEN_APPEND, 0, true);
    EXPECT_EQ(reinterpret_cast<void*>(appending.build()->write), slot(19));
  }
  EXPECT_EQ(host::memory::live_blocks(), live);
}

TEST(RecordAccess, NoMemoryForTheVectorIsReported) {
  FakeFile f(OPEN_INPUT, 0, true);
  host::memory::fail_allocation(1);
  void* vector = nullptr;
  EXPECT_EQ(module().call(host::slot::RECORD_ACCESS, f.file, &vector), st::NO_MEMORY);
  host::memory::fail_allocation(0);
  EXPECT_EQ(f.file->reader_vector, nullptr);
}

TEST(RecordAccess, NoFileIsRefused) {
  void* vector = nullptr;
  EXPECT_EQ(module().call(host::slot::RECORD_ACCESS, static_cast<FtpFile*>(nullptr), &vector),
            st::NO_OPEN_FILE);
}

}  // namespace

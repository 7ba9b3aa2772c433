// Positioning: note and point, the position-number conversions, and the two
// spooled readers that keep what they read in the work file so that the host
// can go back. The readers are reached through the record-access vector of a
// file block built here around a local-socket data connection and a work file
// from the host's spool service.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cmath>
#include <string>
#include <vector>

#include "ftp/ftp_file.h"
#include "host/control_block.h"
#include "host/files.h"
#include "host/memory.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/references.h"
#include "host/spool.h"
#include "hostsvc/gcb.h"
#include "module/host_records.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/loaded_module.h"
#include "tests/support/real_servers.h"
#include "tests/support/session_support.h"
#include "tests/support/sock_support.h"

using ftptest::module;

namespace {

using namespace ftptest;


int32_t open_work_file(void** handle) {
  using Open = int32_t (*)(void**, const void*);
  auto vectors = static_cast<void***>(host::control_block()[gcb::VECTORS]);
  char descriptor[184] = "WORK    ";
  return reinterpret_cast<Open>(vectors[39][7])(handle, descriptor);
}

struct Read {
  int32_t status;
  std::string data;  // "<null>" when no record came back
  char cc;
};

// An open for positioning as the open step leaves it: a data connection in
// the read mode of the record format, a work file, the record-access vector.
class SpooledFile {
 public:
  SpooledFile(int32_t recfm, int32_t read_mode, int32_t record_size, int32_t maxrec = 0) {
    file_.amec = module().entry();
    file_.open_mode = OPEN_INPUT | OPEN_POSITIONING;
    file_.recfm = uint32_t(recfm);
    file_.lrecl = file_.lrecl_out = record_size;
    file_.maxrec = maxrec ? maxrec : (recfm & RECFM_CC) ? record_size - 1 : record_size;
    peer_.fd = open_local(block_, server_, SOCK_READS, read_mode, record_size, TERM_LF);
    file_.data = block_.get();
    EXPECT_EQ(open_work_file(&file_.work_file), st::OK);
    void* vector = nullptr;
    EXPECT_EQ(module().call(host::slot::RECORD_ACCESS, &file_, &vector), st::OK);
    access_ = static_cast<RecordAccessVector*>(vector);
  }
  ~SpooledFile() {
    host::spool::close(file_.work_file);
    host::memory::heap()->free(host::memory::heap(), access_, 0, 4);
  }

  // The peer sends `bytes`, and with `last` ends the stream.
  void send(const std::string& bytes, bool last = true) {
    write_all(peer_, bytes);
    if (last) shutdown(peer_, SHUT_WR);
  }
  Read read(int32_t wanted = 0) {
    char* data = nullptr;
    int32_t length = wanted;
    char cc = '?';
    int32_t status = access_->read(&file_, &data, &length, &cc);
    return {status, data ? std::string(data, size_t(length)) : "<null>", cc};
  }
  std::vector<std::string> read_records(int n, int32_t wanted = 0) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(read(wanted).data);
    return out;
  }
  Position note() {
    Position p{};
    EXPECT_EQ(access_->note(&file_, &p), st::OK);
    return p;
  }
  void point(Position p) { EXPECT_EQ(access_->point(&file_, &p), st::OK); }

  FtpFile& file() { return file_; }
  ReadRoutine reader() const { return access_->read; }

 private:
  LocalServer server_;
  Block block_;
  SocketFd peer_;
  FtpFile file_{};
  RecordAccessVector* access_ = nullptr;
};

// ---------------------------------------------------------------- note and point

class Positions : public testing::Test {
 protected:
  int32_t note(FtpFile* f, Position* p) { return module().call(host::slot::NOTE, f, (void*)p); }
  int32_t point(FtpFile* f, Position* p) { return module().call(host::slot::POINT, f, (void*)p); }
  int32_t to_number(FtpFile* f, double* n, Position* p) {
    return module().call(host::slot::POSITION_TO_NUMBER, f, n, (void*)p);
  }
  int32_t to_position(FtpFile* f, double n, Position* p) {
    return module().call(host::slot::NUMBER_TO_POSITION, f, n, (void*)p);
  }
};

TEST_F(Positions, NoteBeforeTheFirstReadIsTheStartAndNumbersOne) {
  FtpFile file{};
  Position p{};
  ASSERT_EQ(note(&file, &p), st::OK);
  EXPECT_EQ(p.valid, 1);
  EXPECT_EQ(p.token, 0);
  EXPECT_EQ(p.byte_position, 0);
  double number = 0;
  ASSERT_EQ(to_number(&file, &number, &p), st::OK);
  EXPECT_EQ(number, 1.0);
}

TEST_F(Positions, PointTakesBothCountersAndAClearedFlagMeansTheStart) {
  FtpFile file{};
  Position p{1, {}, 40, 17};
  ASSERT_EQ(point(&file, &p), st::OK);
  EXPECT_EQ(file.spool_note, 40);
  EXPECT_EQ(file.spool_pos, 17);
  Position noted{};
  ASSERT_EQ(note(&file, &noted), st::OK);
  EXPECT_EQ(noted.token, 40);
  EXPECT_EQ(noted.byte_position, 17);

  Position start{0, {}, 40, 17};
  ASSERT_EQ(point(&file, &start), st::OK);
  EXPECT_EQ(file.spool_note, 0);
  EXPECT_EQ(file.spool_pos, 0);
}

TEST_F(Positions, NumbersToPositionsAndBack) {
  struct Case {
    double number;
    int32_t status;
    int32_t token;  // when accepted
  };
  const Case cases[] = {
      {5.0, st::OK, 4},         {2.9, st::OK, 1},           {1.0, st::OK, 0},
      {2147483647.5, st::OK, 2147483646},
      // No token: refused, the record untouched.
      {0.5, st::FAILED, 0},     {-3.0, st::FAILED, 0},      {NAN, st::FAILED, 0},
      {INFINITY, st::FAILED, 0}, {2147483648.0, st::FAILED, 0}, {1e12, st::FAILED, 0},
  };
  FtpFile file{};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    Position p{7, {}, 99, 98};
    ASSERT_EQ(to_position(&file, c.number, &p), c.status);
    if (c.status != st::OK) {
      EXPECT_EQ(p.valid, 7);
      EXPECT_EQ(p.token, 99);
      continue;
    }
    EXPECT_EQ(p.valid, 1);
    EXPECT_EQ(p.token, c.token);
    EXPECT_EQ(p.byte_position, 0);
    double back = 0;
    ASSERT_EQ(to_number(&file, &back, &p), st::OK);
    EXPECT_EQ(back, double(c.token) + 1.0);
  }
}

TEST_F(Positions, EveryEntryRefusesAMissingFile) {
  Position p{};
  double number = 0;
  EXPECT_EQ(note(nullptr, &p), st::NO_OPEN_FILE);
  EXPECT_EQ(point(nullptr, &p), st::NO_OPEN_FILE);
  EXPECT_EQ(to_number(nullptr, &number, &p), st::NO_OPEN_FILE);
  EXPECT_EQ(to_position(nullptr, 5.0, &p), st::NO_OPEN_FILE);
}

// ------------------------------------------------------ the spooled record reader

class SpooledRecords : public SockTest {};

TEST_F(SpooledRecords, PointingBackReplaysFromTheWorkFileThenReadsOn) {
  SpooledFile f(RECFM_V, READ_TERMINATED, 80);
  EXPECT_NE(reinterpret_cast<void*>(f.reader()), module().vector()[host::slot::READ].routine);
  Position start = f.note();          // before the first read
  f.send("one\ntwo\nthree\nfour\n");
  EXPECT_EQ(f.read_records(3), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(f.file().spool_end, 11);

  f.point(start);
  EXPECT_EQ(f.read_records(3), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(f.file().spool_end, 11) << "the replay read from the network";
  EXPECT_EQ(f.read().data, "four");
  EXPECT_EQ(f.file().spool_end, 15);
  EXPECT_EQ(f.file().spool_pos, 15);
  EXPECT_EQ(f.read().status, st::END_OF_DATA);

  // After the end, going back still replays.
  f.point(Position{});
  EXPECT_EQ(f.read().data, "one");
}

TEST_F(SpooledRecords, NotesMidStreamAndNumberedPositionsLeadBackToTheirRecord) {
  SpooledFile f(RECFM_V, READ_TERMINATED, 80);
  f.send("a\nbb\nccc\ndddd\n");
  f.read();
  Position after_a = f.note();
  f.read_records(2);
  Position after_c = f.note();

  f.point(after_a);
  EXPECT_EQ(f.read().data, "bb");
  f.point(after_c);
  EXPECT_EQ(f.read().data, "dddd");

  // A number keeps only the token: its position has byte position 0, yet the
  // replay still ends where the work file ends and reading goes on.
  double number = 0;
  ASSERT_EQ(module().call(host::slot::POSITION_TO_NUMBER, &f.file(), &number, (void*)&after_a),
            st::OK);
  Position numbered{};
  ASSERT_EQ(module().call(host::slot::NUMBER_TO_POSITION, &f.file(), number, (void*)&numbered),
            st::OK);
  f.point(numbered);
  EXPECT_EQ(f.read_records(3), (std::vector<std::string>{"bb", "ccc", "dddd"}));
  EXPECT_EQ(f.read().status, st::END_OF_DATA);
}

TEST_F(SpooledRecords, EmptyRecordsAfterANoteAreReplayedToo) {
  SpooledFile f(RECFM_V, READ_TERMINATED, 80);
  f.send("a\n\n\nb\n");
  f.read();
  Position after_a = f.note();
  EXPECT_EQ(f.read_records(2), (std::vector<std::string>{"", ""}));
  f.point(after_a);  // its byte position equals the bytes spooled so far
  EXPECT_EQ(f.read_records(3), (std::vector<std::string>{"", "", "b"}));
}

TEST_F(SpooledRecords, CarriageControlAndCutsSurviveTheReplay) {
  SpooledFile f(RECFM_V | RECFM_CC, READ_TERMINATED, 6, 3);
  f.send("1abc\n+abcdefgh\n");
  Read first = f.read();
  EXPECT_EQ(first.status, st::OK);
  EXPECT_EQ(first.data, "abc");
  EXPECT_EQ(first.cc, '1');
  // Cut to record_size by the connection, then to maxrec by the hand-back.
  Read second = f.read();
  EXPECT_EQ(second.status, st::TRUNCATED);
  EXPECT_EQ(second.data, "abc");
  EXPECT_EQ(second.cc, '+');

  f.point(Position{});
  Read again = f.read();
  EXPECT_EQ(again.data, "abc");
  EXPECT_EQ(again.cc, '1');
  Read cut = f.read();
  EXPECT_EQ(cut.status, st::TRUNCATED);  // still longer than maxrec
  EXPECT_EQ(cut.data, "abc");
  EXPECT_EQ(cut.cc, '+');
}

TEST_F(SpooledRecords, APositionInsideAnEntryIsRefusedNotMisread) {
  SpooledFile f(RECFM_V, READ_TERMINATED, 80);
  f.send("record\n");
  f.read();
  f.point(Position{1, {}, 2, 0});  // two bytes into the first length word
  Read r = f.read();
  EXPECT_EQ(r.status, st::FAILED);
  EXPECT_EQ(r.data, "<null>");
  f.point(Position{});
  EXPECT_EQ(f.read().data, "record");
}

// Work-file operations of a network read, in order: point to the end, note
// it, write the length, write the record, note the next token. A failure
// before the network read loses nothing; after it, the record is gone and the
// open keeps failing rather than hand back the records that follow.
TEST_F(SpooledRecords, AFailingWorkFileGivesAFailureNeverAWrongRecord) {
  struct Case {
    int operation;
    bool record_lost;
  };
  for (Case c : {Case{1, false}, Case{2, false}, Case{3, true}, Case{4, true}, Case{5, true}}) {
    SCOPED_TRACE(c.operation);
    SpooledFile f(RECFM_V, READ_TERMINATED, 80);
    f.send("r1\nr2\n");
    host::spool::fail_operation(c.operation);
    Read failed = f.read();
    host::spool::fail_operation(0);
    EXPECT_EQ(failed.status, st::FAILED);
    EXPECT_EQ(failed.data, "<null>");
    EXPECT_EQ(f.file().spool_end, 0);
    Read next = f.read();
    if (c.record_lost) {
      EXPECT_EQ(next.status, st::FAILED);
      f.point(Position{});
      EXPECT_EQ(f.read().status, st::FAILED);
    } else {
      EXPECT_EQ(next.data, "r1");
    }
  }
}

TEST_F(SpooledRecords, AFailingReplayLosesNothing) {
  SpooledFile f(RECFM_V, READ_TERMINATED, 80);
  f.send("r1\nr2\n");
  f.read();
  for (int operation = 1; operation <= 6; ++operation) {  // every step of a replay
    SCOPED_TRACE(operation);
    f.point(Position{});
    host::spool::fail_operation(operation);
    EXPECT_EQ(f.read().status, st::FAILED);
    host::spool::fail_operation(0);
    EXPECT_EQ(f.file().spool_note, 0);
    EXPECT_EQ(f.read().data, "r1");
  }
  EXPECT_EQ(f.read().data, "r2");
}

// -------------------------------------------------- the spooled byte-count reader

class SpooledBytes : public SockTest {};

const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyz";

TEST_F(SpooledBytes, PiecesAcrossSeveralNetworkReadsAndBack) {
  SpooledFile f(RECFM_S, READ_BYTE_COUNT, 8);
  script_reads({3, 2, 5, 1, 4});
  f.send(kAlphabet);
  EXPECT_EQ(f.read_records(3, 7), (std::vector<std::string>{"abcdefg", "hijklmn", "opqrstu"}));
  Position after_u = f.note();
  EXPECT_EQ(after_u.token, 21);
  EXPECT_EQ(after_u.byte_position, 21);

  f.point(Position{});
  EXPECT_EQ(f.read(5).data, "abcde");
  EXPECT_EQ(f.read(8).data, "fghijklm");  // from the work file, a different cut
  EXPECT_EQ(f.file().spool_end, 21);
  EXPECT_EQ(f.read(8).data, "nopqrstu");
  // Part from the work file, part from the network.
  f.point(Position{1, {}, 19, 19});
  EXPECT_EQ(f.read(6).data, "tuvwxy");
  EXPECT_EQ(f.file().spool_end, 25);
}

TEST_F(SpooledBytes, TheStreamEndingEarlyGivesAShortLastPieceThenTheEnd) {
  SpooledFile f(RECFM_S, READ_BYTE_COUNT, 8);
  f.send("abcdefghij");
  EXPECT_EQ(f.read(8).data, "abcdefgh");
  Read last = f.read(8);
  EXPECT_EQ(last.status, st::OK);
  EXPECT_EQ(last.data, "ij");
  Read end = f.read(8);
  EXPECT_EQ(end.status, st::END_OF_DATA);
  EXPECT_EQ(end.data, "<null>");
  f.point(Position{});
  EXPECT_EQ(f.read(6).data, "abcdef");
  EXPECT_EQ(f.read(6).data, "ghij");
  EXPECT_EQ(f.read(6).status, st::END_OF_DATA);
}

TEST_F(SpooledBytes, ANegativeCountTakesWhatIsHeldOrOneNetworkRead) {
  SpooledFile f(RECFM_S, READ_BYTE_COUNT, 8);
  script_reads({5, 4});
  f.send("abcdefghi");
  EXPECT_EQ(f.read(-1).data, "abcde");
  EXPECT_EQ(f.read(-1).data, "fghi");
  EXPECT_EQ(f.read(-1).status, st::END_OF_DATA);
  f.point(Position{1, {}, 2, 2});
  EXPECT_EQ(f.read(-1).data, "cdefghi");  // all that is held, at most record_size
  EXPECT_EQ(f.read(-1).status, st::END_OF_DATA);
}

TEST_F(SpooledBytes, CountsOfZeroAndBeyondTheRecordSize) {
  SpooledFile f(RECFM_S, READ_BYTE_COUNT, 8);
  f.send("abc");
  Read empty = f.read(0);
  EXPECT_EQ(empty.status, st::OK);
  EXPECT_EQ(empty.data, "");
  EXPECT_EQ(f.file().spool_end, 0);
  host::messages::clear_log();
  EXPECT_EQ(f.read(9).status, st::BYTE_COUNT_TOO_LARGE);
  EXPECT_TRUE(host::messages::logged(msg::BYTE_COUNT_TOO_LARGE));
  EXPECT_EQ(f.read(3).data, "abc");
}

TEST_F(SpooledBytes, TheNbyteVariableDecidesTheCount) {
  SpooledFile f(RECFM_S, READ_BYTE_COUNT, 8);
  double nbyte = 3.7;
  f.file().nbyte_handle = &nbyte;
  f.send(kAlphabet);
  EXPECT_EQ(f.read(1).data, "abc");  // the caller's count is not used
  nbyte = 0;                         // the record size
  EXPECT_EQ(f.read().data, "defghijk");
  nbyte = NAN;
  EXPECT_EQ(f.read().status, st::BYTE_COUNT_TOO_LARGE);
}

TEST_F(SpooledBytes, AFailingAppendKeepsFailing) {
  SpooledFile f(RECFM_S, READ_BYTE_COUNT, 8);
  f.send(kAlphabet);
  host::spool::fail_operation(2);  // the write after the network read
  EXPECT_EQ(f.read(4).status, st::FAILED);
  host::spool::fail_operation(0);
  EXPECT_EQ(f.read(4).status, st::FAILED);
  f.point(Position{});
  EXPECT_EQ(f.read(4).status, st::FAILED);
}

// ------------------------------------------------------ refused at open time

TEST(PositioningRefused, ForOutputAndForStreamsAskedWithoutS) {
  auto assigned = host::references::assign("POSREF", "file", "HOST='127.0.0.1' USER='u' PASS='p'");
  ASSERT_TRUE(assigned.ok()) << assigned.message;
  struct Case {
    int32_t mode;
    int32_t recfm;
  };
  for (Case c : {Case{OPEN_OUTPUT | OPEN_POSITIONING, 0},
                 Case{OPEN_INPUT | OPEN_POSITIONING, RECFM_HOST_0X40}}) {
    host::messages::clear_log();
    int blocks = host::memory::live_blocks();
    int work_files = host::spool::open_files();
    std::unique_ptr<host::files::OpenFile> file;
    host::files::OpenParams params;
    params.mode = c.mode;
    params.recfm = c.recfm;
    EXPECT_EQ(host::files::OpenFile::open("POSREF", params, &file), st::OPEN_FAILED);
    EXPECT_TRUE(host::messages::logged(msg::NO_POSITIONING));
    EXPECT_EQ(host::memory::live_blocks(), blocks);
    EXPECT_EQ(host::spool::open_files(), work_files);
  }
  EXPECT_EQ(host::references::deassign("POSREF").status, st::OK);
}

// ------------------------------------------------------ against a real server

namespace e2e {

using ftptest::RealServer;
using ftptest::ServerKind;

class PositioningEndToEnd : public ftptest::SessionTest {
 protected:
  void SetUp() override {
    ftptest::SessionTest::SetUp();
    if (std::string why = ftptest::unavailable(ServerKind::Pyftpdlib); !why.empty())
      GTEST_SKIP() << why;
    std::string error;
    real_ = RealServer::start(ServerKind::Pyftpdlib, &error);
    ASSERT_TRUE(real_) << error;
    limit_waits(ftptest::kServerWaitSeconds);
  }
  void TearDown() override {
    if (real_) real_->stop();
    ftptest::SessionTest::TearDown();
  }
  std::unique_ptr<host::files::OpenFile> open_positioned(const std::string& remote,
                                                         const std::string& options) {
    assign("POSF", remote,
           "USER='" + real_->user() + "' PASS='" + real_->password() + "' " + options,
           real_->address());
    host::files::OpenParams params;
    params.mode = OPEN_INPUT | OPEN_POSITIONING;
    std::unique_ptr<host::files::OpenFile> file;
    EXPECT_EQ(open("POSF", &file, params), st::OK);
    return file;
  }
  static std::string next(host::files::OpenFile& file, int32_t wanted = 0) {
    host::files::Record r;
    int32_t status = file.read(&r, wanted);
    return status == st::OK ? std::string(r.view()) : "status " + std::to_string(status);
  }
  std::unique_ptr<RealServer> real_;
};

TEST_F(PositioningEndToEnd, LinesReadBackAndForthMatchTheFile) {
  std::vector<std::string> lines;
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    lines.push_back("line " + std::to_string(i) + std::string(size_t(i % 37), '.'));
    text += lines.back() + "\n";
  }
  ASSERT_TRUE(real_->write_file("lines.txt", text));
  auto file = open_positioned("lines.txt", "");
  ASSERT_TRUE(file);
  Position start{}, at_1000{}, at_2000{};
  for (int i = 0; i < 2500; ++i) {
    if (i == 1000 || i == 2000) {
      ASSERT_EQ(file->note(i == 1000 ? &at_1000 : &at_2000), st::OK);
    }
    ASSERT_EQ(next(*file), lines[size_t(i)]) << i;
  }
  ASSERT_EQ(file->point(at_1000), st::OK);
  for (int i = 1000; i < 1100; ++i) ASSERT_EQ(next(*file), lines[size_t(i)]) << i;
  ASSERT_EQ(file->point(start), st::OK);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(next(*file), lines[size_t(i)]) << i;
  double number = 0;
  ASSERT_EQ(file->position_to_number(at_2000, &number), st::OK);
  Position numbered{};
  ASSERT_EQ(file->number_to_position(number, &numbered), st::OK);
  ASSERT_EQ(file->point(numbered), st::OK);
  for (int i = 2000; i < 3000; ++i) ASSERT_EQ(next(*file), lines[size_t(i)]) << i;
  host::files::Record r;
  EXPECT_EQ(file->read(&r), st::END_OF_DATA);
  EXPECT_EQ(file->close(), st::OK);
}

TEST_F(PositioningEndToEnd, ByteStreamPiecesReadBackAndForthMatchTheFile) {
  std::string bytes;
  for (int i = 0; i < 70000; ++i) bytes.push_back(char((i * 7 + i / 251) & 0xFF));
  ASSERT_TRUE(real_->write_file("stream.bin", bytes));
  auto file = open_positioned("stream.bin", "RECFM=S NONBYTE LRECL=512");
  ASSERT_TRUE(file);
  size_t offset = 0;
  std::vector<std::pair<Position, size_t>> notes;
  for (int i = 0; offset < 40000; ++i) {
    if (i % 20 == 0) {
      Position p{};
      ASSERT_EQ(file->note(&p), st::OK);
      notes.emplace_back(p, offset);
    }
    int32_t want = 1 + (i * 97) % 512;
    ASSERT_EQ(next(*file, want), bytes.substr(offset, size_t(want))) << offset;
    offset += size_t(want);
  }
  for (size_t k = notes.size(); k-- > 0;) {  // back to every note, newest first
    ASSERT_EQ(file->point(notes[k].first), st::OK);
    ASSERT_EQ(next(*file, 300), bytes.substr(notes[k].second, 300)) << notes[k].second;
  }
  ASSERT_EQ(file->point(notes.back().first), st::OK);
  offset = notes.back().second;
  while (offset < bytes.size()) {
    std::string piece = next(*file, 512);
    ASSERT_EQ(piece, bytes.substr(offset, 512)) << offset;
    offset += piece.size();
  }
  host::files::Record r;
  EXPECT_EQ(file->read(&r, 512), st::END_OF_DATA);
  EXPECT_EQ(file->close(), st::OK);
}

}  // namespace e2e

}  // namespace

// Long use against a real server (pyftpdlib): many open/read/close cycles,
// three references open at once with their reads and writes interleaved,
// and a large transfer in each direction -- with the pool's live blocks, the
// process's descriptors and the work files the same after every round.
//
// By default: 1000 cycles (about ten seconds under qemu-i386) and 8 MiB each
// way. Set FTPAM_ENDURANCE=1 for a longer run: 10000 cycles and 64 MiB.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/memory.h"
#include "host/spool.h"
#include "module/status.h"
#include "tests/support/real_servers.h"
#include "tests/support/session_support.h"
#include "tests/support/sock_support.h"

namespace {

using ftptest::RealServer;
using ftptest::ServerKind;
using ftptest::OpenFile;
using ftptest::OpenParams;

bool full_run() {
  const char* value = std::getenv("FTPAM_ENDURANCE");
  return value && *value && std::string(value) != "0";
}
int cycles() { return full_run() ? 10000 : 1000; }
size_t large_size() { return full_run() ? size_t(64) << 20 : size_t(8) << 20; }

constexpr int32_t BLOCK = 32768;

// Record i of the large file: BLOCK bytes that name their own position.
std::string block(size_t i) {
  std::string b(BLOCK, char('a' + i % 26));
  std::string label = std::to_string(i) + ":";
  b.replace(0, label.size(), label);
  return b;
}

// What a run must leave as it found it.
struct Level {
  int blocks, descriptors, work_files;
  bool operator==(const Level&) const = default;
};

void PrintTo(const Level& l, std::ostream* out) {
  *out << "{blocks " << l.blocks << ", descriptors " << l.descriptors << ", work files "
       << l.work_files << "}";
}

class Endurance : public ftptest::SessionTest {
 protected:
  void SetUp() override {
    if (std::string why = ftptest::unavailable(ServerKind::Pyftpdlib); !why.empty())
      GTEST_SKIP() << why;
    std::string error;
    real_ = RealServer::start(ServerKind::Pyftpdlib, &error);
    ASSERT_TRUE(real_) << error;
    SessionTest::SetUp();
    limit_waits(ftptest::kServerWaitSeconds);
  }
  void TearDown() override {
    if (real_) SessionTest::TearDown();
    real_.reset();
  }
  void assign_real(const std::string& name, const std::string& remote, const std::string& options) {
    assign(name, remote,
           "USER='" + real_->user() + "' PASS='" + real_->password() + "' " + options,
           real_->address());
  }
  static Level level() {
    return {host::memory::live_blocks(), ftptest::open_descriptors(), host::spool::open_files()};
  }
  std::unique_ptr<RealServer> real_;
};

TEST_F(Endurance, OpenReadCloseCyclesLeaveNothingBehind) {
  ASSERT_TRUE(real_->write_file("cycle.txt", "one\r\ntwo\r\nthree\r\n"));
  assign_real("CYCLE", "cycle.txt", "");
  OpenParams positioned;
  positioned.mode = OPEN_INPUT | OPEN_POSITIONING;
  const Level before = level();
  const int n = cycles();
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<OpenFile> file;
    // Every tenth cycle keeps a work file, to see it go too.
    ASSERT_EQ(open("CYCLE", &file, i % 10 == 9 ? positioned : OpenParams{}), st::OK) << i;
    int32_t end = 0;
    ASSERT_EQ(read_all(*file, &end), (std::vector<std::string>{"one", "two", "three"})) << i;
    ASSERT_EQ(end, st::END_OF_DATA) << i;
    ASSERT_EQ(file->close(), st::OK) << i;
    // Descriptors are counted now and then: the count looks at every number.
    if (i % 50 == 49 || i == n - 1) {
      ASSERT_EQ(level(), before) << "after cycle " << i;
    } else {
      ASSERT_EQ(host::memory::live_blocks(), before.blocks) << "after cycle " << i;
    }
  }
}

TEST_F(Endurance, ThreeReferencesOpenAtOnceInterleaved) {
  std::string lines_a, lines_c;
  for (int i = 0; i < 200; ++i) {
    lines_a += "a" + std::to_string(i) + "\r\n";
    lines_c += "c" + std::to_string(i) + "\r\n";
  }
  ASSERT_TRUE(real_->write_file("a.txt", lines_a));
  ASSERT_TRUE(real_->write_file("c.txt", lines_c));
  assign_real("A", "a.txt", "");
  assign_real("B", "b.txt", "");
  assign_real("C", "c.txt", "");
  const Level before = level();
  std::unique_ptr<OpenFile> a, b, c;
  OpenParams output, positioned;
  output.mode = OPEN_OUTPUT;
  positioned.mode = OPEN_INPUT | OPEN_POSITIONING;
  ASSERT_EQ(open("A", &a), st::OK);
  ASSERT_EQ(open("B", &b, output), st::OK);
  ASSERT_EQ(open("C", &c, positioned), st::OK);

  std::string expected_b;
  Position start{};
  for (int i = 0; i < 200; ++i) {
    host::files::Record record;
    ASSERT_EQ(a->read(&record), st::OK) << i;
    ASSERT_EQ(record.view(), "a" + std::to_string(i));
    std::string out = "b" + std::to_string(i) + " after " + std::string(record.view());
    ASSERT_EQ(b->write(out), st::OK) << i;
    expected_b += out + "\n";  // pyftpdlib stores TYPE A lines with LF
    if (i == 100) {
      ASSERT_EQ(c->note(&start), st::OK);
    }
    ASSERT_EQ(c->read(&record), st::OK) << i;
    ASSERT_EQ(record.view(), "c" + std::to_string(i));
  }
  // Back in C while A and B are still open.
  ASSERT_EQ(c->point(start), st::OK);
  host::files::Record record;
  ASSERT_EQ(c->read(&record), st::OK);
  EXPECT_EQ(record.view(), "c100");
  ASSERT_EQ(a->read(&record), st::END_OF_DATA);

  EXPECT_EQ(b->close(), st::OK);
  EXPECT_EQ(a->close(), st::OK);
  EXPECT_EQ(c->close(), st::OK);
  EXPECT_EQ(real_->read_file("b.txt"), expected_b);
  EXPECT_EQ(level(), before);
}

TEST_F(Endurance, LargeTransfersInBothDirectionsKeepMemoryFlat) {
  const size_t count = large_size() / BLOCK;
  const std::string lrecl = "RECFM=F LRECL=" + std::to_string(BLOCK);
  assign_real("BIG", "big.bin", lrecl);
  const Level before = level();

  OpenParams output;
  output.mode = OPEN_OUTPUT;
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("BIG", &file, output), st::OK);
  const int open_blocks = host::memory::live_blocks();
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(file->write(block(i)), st::OK) << i;
    if (i % 64 == 0) {
      ASSERT_EQ(host::memory::live_blocks(), open_blocks) << "writing " << i;
    }
  }
  ASSERT_EQ(file->close(), st::OK);
  ASSERT_EQ(level(), before);
  std::string stored = real_->read_file("big.bin");
  ASSERT_EQ(stored.size(), count * BLOCK);
  for (size_t i = 0; i < count; i += count / 8)
    ASSERT_EQ(stored.compare(i * BLOCK, BLOCK, block(i)), 0) << "block " << i;
  stored.clear();

  ASSERT_EQ(open("BIG", &file), st::OK);
  const int reading_blocks = host::memory::live_blocks();
  for (size_t i = 0; i < count; ++i) {
    host::files::Record record;
    ASSERT_EQ(file->read(&record), st::OK) << i;
    ASSERT_EQ(record.view(), block(i)) << "block " << i;
    if (i % 64 == 0) {
      ASSERT_EQ(host::memory::live_blocks(), reading_blocks) << "reading " << i;
    }
  }
  host::files::Record record;
  ASSERT_EQ(file->read(&record), st::END_OF_DATA);
  ASSERT_EQ(file->close(), st::OK);
  EXPECT_EQ(level(), before);
}

}  // namespace

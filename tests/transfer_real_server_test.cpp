// Transfers against real FTP servers (pyftpdlib and vsftpd), each in active
// and in passive mode, in clear and over TLS (explicit and implicit, the
// server's certificate verified against the test CA, every data connection
// resuming the control connection's session -- vsftpd requires it): files
// written and read back in every format, STOR then RETR byte for byte,
// appending with APPE and MOD, listings of a folder reached with WD, MGET of
// a pattern, the information items that name a passive data connection and
// TLS, and a large file moved with the pool's live-block count flat
// throughout.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>

#include "host/memory.h"
#include "host/options.h"
#include "host/references.h"
#include "module/status.h"
#include "tests/support/real_servers.h"
#include "tests/support/session_support.h"

namespace ftptest {
void PrintTo(ServerKind kind, std::ostream* out);
}  // namespace ftptest

namespace {

using ftptest::RealServer;
using ftptest::ServerKind;
using ftptest::OpenFile;
using ftptest::OpenParams;

std::string descriptor_word(const std::string& data) {
  const size_t length = data.size() + 4;
  return std::string{char(length >> 8), char(length & 0xFF), 0, 0} + data;
}

std::string every_byte_value() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += char(i);
  return bytes;
}

using ftptest::TlsMode;

// A server, the data connection mode every reference uses with it, and TLS.
struct Setup {
  ServerKind kind;
  bool passive;
  TlsMode tls = TlsMode::None;
  bool ipv6 = false;  // the server on ::1 (EPRT in active mode)
};
void PrintTo(const Setup& setup, std::ostream* out) {
  *out << ftptest::server_name(setup.kind) << (setup.passive ? " passive" : " active");
  if (setup.ipv6) *out << " IPv6";
  if (setup.tls != TlsMode::None) *out << " TLS " << ftptest::tls_mode_name(setup.tls);
}

class RealServerTransfer : public ftptest::SessionTest,
                           public testing::WithParamInterface<Setup> {
 protected:
  void SetUp() override {
    if (std::string why = ftptest::unavailable(kind(), GetParam().tls); !why.empty())
      GTEST_SKIP() << why;
    std::string error;
    real_ = RealServer::start(kind(), &error, {GetParam().tls}, GetParam().ipv6);
    ASSERT_TRUE(real_) << error;
    ftptest::SessionTest::SetUp();
    limit_waits(ftptest::kServerWaitSeconds);
    if (tls()) host::options::set("XXAMCAFL", real_->ca_file());
  }
  void TearDown() override {
    if (real_) ftptest::SessionTest::TearDown();
    real_.reset();
  }

  ServerKind kind() const { return GetParam().kind; }
  bool tls() const { return GetParam().tls != TlsMode::None; }

  void assign_real(const std::string& name, const std::string& remote,
                   const std::string& options) {
    std::string tls_option = !tls() ? ""
                             : GetParam().tls == TlsMode::Explicit ? "TLS=EXPLICIT "
                                                                   : "TLS=IMPLICIT ";
    assign(name, remote,
           "USER='" + real_->user() + "' PASS='" + real_->password() + "' " +
               (GetParam().passive ? "PASV " : "") + tls_option + options,
           real_->host());
  }

  int32_t write_records(const std::string& name, const std::vector<std::string>& records,
                        OpenParams params, char cc = ' ') {
    std::unique_ptr<OpenFile> file;
    int32_t status = open(name, &file, params);
    if (status != st::OK) return status;
    for (const auto& r : records) EXPECT_EQ(file->write(r, cc), st::OK) << r;
    return file->close();
  }

  // Reads to the end; byte-count files in pieces of one network read each.
  std::vector<host::files::Record> records_of(const std::string& name, OpenParams params,
                                              std::vector<std::string>* texts, int32_t wanted = 0) {
    std::unique_ptr<OpenFile> file;
    std::vector<host::files::Record> kept;
    EXPECT_EQ(open(name, &file, params), st::OK) << real_->log();
    if (!file) return kept;
    for (int i = 0; i < 100000; ++i) {
      host::files::Record r;
      int32_t status = file->read(&r, wanted);
      if (status != st::OK) {
        EXPECT_EQ(status, st::END_OF_DATA);
        break;
      }
      texts->emplace_back(r.view());
      r.data = nullptr;
      kept.push_back(r);
    }
    EXPECT_EQ(file->close(), st::OK);
    return kept;
  }

  std::unique_ptr<RealServer> real_;
};

TEST_P(RealServerTransfer, FilesWrittenAreReadBackInEveryFormat) {
  struct Case {
    const char* options;
    int32_t recfm;
    std::vector<std::string> written;
    std::vector<std::string> read;  // empty: as written
    const char* on_server;          // null: not compared (TYPE A may change line ends)
  };
  const Case cases[] = {
      {"", 0, {"alpha", "", "beta gamma"}, {}, nullptr},
      {"RECFM=F LRECL=10", 0, {"abc", "0123456789"}, {"abc       ", "0123456789"},
       "abc       0123456789"},
      {"TERMSTR=NULL RECFM=V", 0, {"one", "two"}, {}, nullptr},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string remote = "file" + std::to_string(++n) + ".dat";
    assign_real("F", remote, c.options);
    OpenParams out;
    out.mode = OPEN_OUTPUT;
    out.recfm = c.recfm;
    ASSERT_EQ(write_records("F", c.written, out), st::OK) << c.options;
    if (c.on_server) {
      EXPECT_EQ(real_->read_file(remote), c.on_server) << c.options;
    }
    std::vector<std::string> texts;
    records_of("F", OpenParams{}, &texts);
    EXPECT_EQ(texts, c.read.empty() ? c.written : c.read) << c.options;
    EXPECT_TRUE(host::references::deassign("F").ok());
  }
}

TEST_P(RealServerTransfer, CarriageControlSurvivesTheRoundTrip) {
  assign_real("F", "cc.txt", "LRECL=20");
  OpenParams out;
  out.mode = OPEN_OUTPUT;
  out.recfm = RECFM_V | RECFM_CC;
  ASSERT_EQ(write_records("F", {"heading"}, out, '1'), st::OK);
  OpenParams in;
  in.recfm = RECFM_V | RECFM_CC;
  std::vector<std::string> texts;
  auto records = records_of("F", in, &texts);
  ASSERT_EQ(texts, std::vector<std::string>{"heading"});
  EXPECT_EQ(records[0].cc, '1');
}

TEST_P(RealServerTransfer, StoreThenRetrieveIsByteForByte) {
  const std::string bytes = every_byte_value() + "\r\n\n\r" + every_byte_value();
  assign_real("F", "bytes.bin", "RECFM=S NONBYTE LRECL=100");
  OpenParams out;
  out.mode = OPEN_OUTPUT;
  std::vector<std::string> pieces;
  for (size_t at = 0; at < bytes.size(); at += 77) pieces.push_back(bytes.substr(at, 77));
  ASSERT_EQ(write_records("F", pieces, out), st::OK);
  EXPECT_EQ(real_->read_file("bytes.bin"), bytes);
  std::vector<std::string> texts;
  records_of("F", OpenParams{}, &texts, -1);
  std::string joined;
  for (const auto& t : texts) joined += t;
  EXPECT_EQ(joined, bytes);
}

TEST_P(RealServerTransfer, S370FormatsAreReadWithDescriptorsAndWrittenWithout) {
  ASSERT_TRUE(real_->write_file("v.dat", descriptor_word("first") + descriptor_word("") +
                                             descriptor_word("third")));
  assign_real("F", "v.dat", "S370V");
  std::vector<std::string> texts;
  records_of("F", OpenParams{}, &texts);
  EXPECT_EQ(texts, (std::vector<std::string>{"first", "", "third"}));

  assign_real("W", "vs.dat", "S370VS");
  OpenParams out;
  out.mode = OPEN_OUTPUT;
  ASSERT_EQ(write_records("W", {"ab", "cd"}, out), st::OK);
  EXPECT_EQ(real_->read_file("vs.dat"), "abcd");
}

TEST_P(RealServerTransfer, AppeAndModAppend) {
  OpenParams out;
  out.mode = OPEN_OUTPUT;
  assign_real("S", "log.dat", "RECFM=F LRECL=5");
  ASSERT_EQ(write_records("S", {"one"}, out), st::OK);
  assign_real("M", "log.dat", "RECFM=F LRECL=5 MOD");
  ASSERT_EQ(write_records("M", {"two"}, out), st::OK);
  OpenParams append;
  append.mode = OPEN_APPEND;
  ASSERT_EQ(write_records("S", {"three"}, append), st::OK);
  EXPECT_EQ(real_->read_file("log.dat"), "one  two  three");
}

TEST_P(RealServerTransfer, ListingsOfAFolderReachedWithWd) {
  ASSERT_TRUE(real_->write_file("dir/a.txt", "a\r\n"));
  ASSERT_TRUE(real_->write_file("dir/b.txt", "b\r\n"));
  ASSERT_TRUE(real_->write_file("top.txt", "t\r\n"));
  assign_real("N", "", "LS WD='dir'");
  std::vector<std::string> names;
  records_of("N", OpenParams{}, &names);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt"}));

  assign_real("L", "", "LIST WD='dir' LSFILE='b.txt'");
  std::vector<std::string> lines;
  records_of("L", OpenParams{}, &lines);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("b.txt"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("rw"), std::string::npos) << lines[0];
}

TEST_P(RealServerTransfer, MgetReadsEveryFileThatNlstNames) {
  ASSERT_TRUE(real_->write_file("dir/a.txt", "a1\r\na2\r\n"));
  ASSERT_TRUE(real_->write_file("dir/b.txt", "b1\r\n"));
  // pyftpdlib lists a folder, not a pattern.
  const char* pattern = kind() == ServerKind::Vsftpd ? "*.txt" : ".";
  assign_real("F", pattern, "MGET WD='dir'");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK) << real_->log();
  std::vector<std::string> texts;
  int files = 1;
  for (int i = 0; i < 20; ++i) {
    host::files::Record r;
    int32_t status = file->read(&r);
    if (status == st::NEXT_CONNECTION) {
      ++files;
      continue;
    }
    if (status != st::OK) {
      EXPECT_EQ(status, st::END_OF_DATA);
      break;
    }
    texts.emplace_back(r.view());
  }
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_EQ(files, 2);
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"a1", "a2", "b1"}));
}

// Both servers take EPSV; active mode shows its items as it always did. Over
// IPv6 the addresses are in their text form.
TEST_P(RealServerTransfer, InformationItemsNameAPassiveDataConnection) {
  ASSERT_TRUE(real_->write_file("i.txt", "x\r\n"));
  assign_real("F", "i.txt", "");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK) << real_->log();
  std::vector<std::pair<std::string, std::string>> items;
  ASSERT_EQ(file->items(&items), st::OK);
  if (tls()) {
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items.back().first, "TLS");
    EXPECT_EQ(items.back().second.rfind("TLSv1.", 0), 0u) << items.back().second;
    items.pop_back();
  }
  if (GetParam().passive) {
    ASSERT_EQ(items.size(), 11u);
    EXPECT_EQ(items.back(), (std::pair<std::string, std::string>{
                                "Data Connection", GetParam().ipv6 ? "Passive (EPSV), IPv6 ::1"
                                                                   : "Passive (EPSV)"}));
  } else {
    ASSERT_EQ(items.size(), 10u);
    EXPECT_EQ(items.back().first, "Recfm");
  }
  EXPECT_EQ(items.at(5), (std::pair<std::string, std::string>{"Service IP addr",
                                                               real_->address()}));
  EXPECT_EQ(file->close(), st::OK);
}

// 8 MiB in 8 KiB fixed records each way: no pool block is taken per record.
TEST_P(RealServerTransfer, LargeFileKeepsThePoolFlat) {
  constexpr int RECORD = 8192;
  constexpr int RECORDS = 1024;
  std::string record(RECORD, ' ');
  for (int i = 0; i < RECORD; ++i) record[size_t(i)] = char('a' + i % 26);
  assign_real("F", "large.dat", "RECFM=F LRECL=8192");

  OpenParams out;
  out.mode = OPEN_OUTPUT;
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file, out), st::OK);
  int during = -1;
  for (int i = 0; i < RECORDS; ++i) {
    record[0] = char('A' + i % 26);
    ASSERT_EQ(file->write(record), st::OK);
    if (i == 0) during = host::memory::live_blocks();
    ASSERT_EQ(host::memory::live_blocks(), during) << "record " << i;
  }
  ASSERT_EQ(file->close(), st::OK);
  EXPECT_EQ(real_->read_file("large.dat").size(), size_t(RECORD) * RECORDS);

  ASSERT_EQ(open("F", &file), st::OK);
  int count = 0;
  for (host::files::Record r; file->read(&r) == st::OK; ++count) {
    if (count == 0) during = host::memory::live_blocks();
    ASSERT_EQ(host::memory::live_blocks(), during) << "record " << count;
    ASSERT_EQ(r.length, RECORD);
    ASSERT_EQ(r.data[0], char('A' + count % 26));
    ASSERT_EQ(std::string_view(r.data + 1, RECORD - 1), std::string_view(record).substr(1));
  }
  EXPECT_EQ(count, RECORDS);
  EXPECT_EQ(file->close(), st::OK);
}

INSTANTIATE_TEST_SUITE_P(Installed, RealServerTransfer,
                         testing::Values(Setup{ServerKind::Pyftpdlib, false},
                                         Setup{ServerKind::Vsftpd, false},
                                         Setup{ServerKind::Pyftpdlib, true},
                                         Setup{ServerKind::Vsftpd, true},
                                         // Each server explicit and implicit, active and passive.
                                         Setup{ServerKind::Vsftpd, false, TlsMode::Explicit},
                                         Setup{ServerKind::Vsftpd, true, TlsMode::Implicit},
                                         Setup{ServerKind::Pyftpdlib, true, TlsMode::Explicit},
                                         Setup{ServerKind::Pyftpdlib, false, TlsMode::Implicit},
                                         // Each server over IPv6, active and passive.
                                         Setup{ServerKind::Pyftpdlib, false, TlsMode::None, true},
                                         Setup{ServerKind::Vsftpd, false, TlsMode::None, true},
                                         Setup{ServerKind::Pyftpdlib, true, TlsMode::None, true},
                                         Setup{ServerKind::Vsftpd, true, TlsMode::None, true}),
                         [](const testing::TestParamInfo<Setup>& info) {
                           std::string name = std::string(ftptest::server_name(info.param.kind)) +
                                              (info.param.passive ? "_passive" : "");
                           if (info.param.tls != TlsMode::None)
                             name += std::string("_tls_") + ftptest::tls_mode_name(info.param.tls);
                           return name + (info.param.ipv6 ? "_ipv6" : "");
                         });

}  // namespace

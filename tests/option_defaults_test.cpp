// The merge of options at open (open over assign over the host variables
// FTPHOST and FTPUSER and the built-in defaults) into the open-file block,
// and the option-block copies the host makes out and back in.
#include <gtest/gtest.h>

#include <cstring>

#include "ftp/ftp_file.h"
#include "host/memory.h"
#include "host/variables.h"
#include "module/status.h"
#include "tests/support/loaded_module.h"
#include "tests/support/options_support.h"

namespace {

using ftptest::parse;
using ftptest::text_of;

using Defaults = int32_t (*)(FtpFile*, FtpOptions*);

class OptionDefaults : public testing::Test {
 protected:
  void SetUp() override { live_ = host::memory::live_blocks(); }
  void TearDown() override {
    open_.reset();
    assign_.reset();
    host::variables::clear();
    EXPECT_EQ(host::memory::live_blocks(), live_) << "blocks left behind";
  }

  // The merge for an open with the options `open` of a reference assigned
  // with `assign` (either may be null for "no options").
  void merge(const char* open, const char* assign, uint32_t request_recfm = 0,
             int32_t request_lrecl = 0) {
    open_ = open ? parse(open) : nullptr;
    assign_ = assign ? parse(assign) : nullptr;
    ASSERT_TRUE(!open_ || open_->result.ok()) << open_->result.message;
    ASSERT_TRUE(!assign_ || assign_->result.ok()) << assign_->result.message;
    file_ = FtpFile{};
    ctl_ = sock_conn{};
    file_.ctl = &ctl_;
    file_.recfm = request_recfm;
    file_.lrecl = request_lrecl;
    file_.assign_options = assign_ ? assign_->block : nullptr;
    auto defaults = reinterpret_cast<Defaults>(ftptest::module().symbol("yxfzdfa"));
    ASSERT_NE(defaults, nullptr);
    ASSERT_EQ(defaults(&file_, open_ ? open_->block : nullptr), st::OK);
  }

  std::unique_ptr<ftptest::Options> open_, assign_;
  FtpFile file_{};
  sock_conn ctl_{};
  int live_ = 0;
};

TEST_F(OptionDefaults, NothingGivenTakesTheBuiltInDefaults) {
  merge(nullptr, nullptr, RECFM_F);
  EXPECT_EQ(file_.lrecl, 256);
  EXPECT_EQ(file_.lrecl_out, 256);
  EXPECT_EQ(file_.maxrec, 256);
  EXPECT_EQ(file_.blksize, 0);
  EXPECT_EQ(file_.recfm, uint32_t(RECFM_F)) << "the open request's format stays";
  EXPECT_EQ(file_.termstr, TERMSTR_CRLF);
  EXPECT_EQ(file_.opts, 0u);
  EXPECT_EQ(file_.byte_mode, 1);
  EXPECT_EQ(file_.host[0], 0);
  EXPECT_EQ(file_.user[0], 0);
  EXPECT_EQ(file_.cwd, nullptr);
  EXPECT_EQ(file_.open_options, nullptr);
  EXPECT_EQ(file_.open_options_flags, 0u);

  // The control connection: FTP service, CR LF lines both ways, 2048 bytes.
  EXPECT_STREQ(file_.service, "FTP");
  EXPECT_EQ(ctl_.service_name, file_.service);
  EXPECT_EQ(ctl_.host_name, file_.host);
  EXPECT_EQ(ctl_.host_name_size, 128);
  EXPECT_EQ(ctl_.record_size, 2048);
  EXPECT_EQ(ctl_.block_size, 2048);
  EXPECT_EQ(ctl_.terminator_kind, TERM_CRLF);
  EXPECT_EQ(ctl_.read_mode, READ_TERMINATED);
  EXPECT_EQ(ctl_.direction, SOCK_READS | SOCK_WRITES);
}

TEST_F(OptionDefaults, HostAndUserComeFromOpenThenAssignThenVariables) {
  host::variables::set("FTPHOST", "varhost");
  host::variables::set("FTPUSER", "varuser");
  merge(nullptr, nullptr);
  EXPECT_STREQ(file_.host, "varhost");
  EXPECT_STREQ(file_.user, "varuser");

  merge(nullptr, "USER='assignuser'");
  EXPECT_STREQ(file_.host, "varhost");
  EXPECT_STREQ(file_.user, "assignuser");

  merge("USER='openuser' PASS='op'", "USER='assignuser' HOST='ah' PASS='ap'");
  EXPECT_STREQ(file_.user, "openuser");
  EXPECT_STREQ(file_.host, "ah");
  EXPECT_STREQ(file_.password, "op");

  // A 128-character variable fills the field without a terminator; a longer
  // one is not cut to a different name but left out.
  host::variables::set("FTPHOST", std::string(128, 'h'));
  host::variables::set("FTPUSER", std::string(129, 'u'));
  merge(nullptr, nullptr);
  EXPECT_EQ(std::string(file_.host, 128), std::string(128, 'h'));
  EXPECT_EQ(file_.user[0], 0);
}

// A port after the host becomes the control connection's service; an IPv6
// address needs brackets for it, and loses them.
TEST_F(OptionDefaults, HostValuesNameTheirPort) {
  const struct {
    const char* host;
    const char* name;
    const char* service;
  } cases[] = {
      {"h.example:2121", "h.example", "2121"},
      {"127.0.0.2:21", "127.0.0.2", "21"},
      {"::1", "::1", "FTP"},
      {"::1:2121", "::1:2121", "FTP"},  // an address of its own
      {"[::1]:2121", "::1", "2121"},
      {"[fe80::1]", "fe80::1", "FTP"},
      {"[::1]:", "[::1]:", "FTP"},
      {"[::1]x", "[::1]x", "FTP"},
      {"[::1]:123456", "[::1]:123456", "FTP"},
      {"[::1", "[::1", "FTP"},
  };
  for (const auto& c : cases) {
    merge(nullptr, ("HOST='" + std::string(c.host) + "'").c_str());
    EXPECT_STREQ(file_.host, c.name) << c.host;
    EXPECT_STREQ(file_.service, c.service) << c.host;
  }
}

// IPV4 and IPV6 exclude each other; the open's choice replaces the assign's.
TEST_F(OptionDefaults, AddressFamilyOptionsMerge) {
  const struct {
    const char* open;
    const char* assign;
    uint32_t family;
  } cases[] = {
      {nullptr, "IPV6", opt::IPV6},
      {"IPV4", "IPV6", opt::IPV4},
      {nullptr, "IPV6 IPV4", opt::IPV4},
      {"DEBUG", "IPV6", opt::IPV6},
  };
  for (const auto& c : cases) {
    merge(c.open, c.assign);
    EXPECT_EQ(file_.opts & opt::INET_FAMILY, c.family) << (c.open ? c.open : "") << " / " << c.assign;
  }
}

TEST_F(OptionDefaults, NumbersAndFormatsMerge) {
  merge("LRECL=0", "LRECL=80 BLOCKSIZE=800 RECFM=F");
  EXPECT_EQ(file_.lrecl, 80) << "LRECL=0 counts as not given";
  EXPECT_EQ(file_.blksize, 800);
  EXPECT_EQ(file_.recfm, uint32_t(RECFM_F));

  merge("LRECL=100 RECFM=V", "LRECL=80 RECFM=F");
  EXPECT_EQ(file_.lrecl, 100);
  EXPECT_EQ(file_.recfm, uint32_t(RECFM_V));

  merge("LRECL=100", nullptr, 0, 133);
  EXPECT_EQ(file_.lrecl, 133) << "the open request's length wins";
  EXPECT_EQ(file_.lrecl_out, 133);

  merge(nullptr, nullptr, RECFM_V | RECFM_CC, 121);
  EXPECT_EQ(file_.maxrec, 120) << "carriage control takes a byte";

  for (const char* flag : {"S370V", "S370VS"}) {
    merge("RECFM=F", flag);
    EXPECT_EQ(file_.recfm, uint32_t(RECFM_V)) << flag;
    merge(flag, nullptr, RECFM_F | RECFM_CC, 80);
    EXPECT_EQ(file_.recfm, uint32_t(RECFM_V)) << flag;
    EXPECT_EQ(file_.maxrec, 80) << flag;
  }
}

TEST_F(OptionDefaults, FlagsTextsAndModesMerge) {
  merge("DEBUG TERMSTR=LF WD='/open' ENCODING=UTF8", "MGET TERMSTR=NULL WD='/assign' "
        "RCMD='NOOP' LSFILE='*.c' NONBYTE");
  EXPECT_EQ(file_.opts, opt::DEBUG | opt::MGET);
  EXPECT_EQ(file_.termstr, TERMSTR_LF);
  EXPECT_EQ(file_.cwd, open_->block->directory);
  EXPECT_EQ(file_.rcmd, assign_->block->rcmd);
  EXPECT_EQ(file_.lsfile, assign_->block->lsfile);
  EXPECT_EQ(file_.encoding, open_->block->encoding);
  EXPECT_NE(file_.encoding, 0);
  EXPECT_EQ(file_.byte_mode, 0);
  EXPECT_EQ(file_.open_options, open_->block);

  merge("FTP", "MGET NOQUIT");
  EXPECT_EQ(file_.opts, opt::MGET | opt::NOQUIT);
  EXPECT_EQ(file_.termstr, TERMSTR_CRLF);
}

TEST_F(OptionDefaults, NbyteComesFromTheOpenOptionsOnly) {
  host::variables::set_number("N1", 10);
  host::variables::set_number("N2", 20);
  auto open = parse("NBYTE=N1", 1);
  auto assign = parse("NBYTE=N2", 1);
  file_ = FtpFile{};
  file_.assign_options = assign->block;
  auto defaults = reinterpret_cast<Defaults>(ftptest::module().symbol("yxfzdfa"));
  defaults(&file_, open->block);
  EXPECT_EQ(std::string(file_.nbyte_name, 8), "N1      ");
  EXPECT_EQ(file_.nbyte_name_len, 2);
  EXPECT_EQ(file_.nbyte_value, -1);

  file_ = FtpFile{};
  file_.assign_options = assign->block;
  defaults(&file_, nullptr);
  EXPECT_EQ(file_.nbyte_name_len, 0);
}

TEST_F(OptionDefaults, HostOwnedOpenOptionsAreFlagged) {
  open_ = parse("DEBUG", host::references::PARSE_HOST_OWNED);
  file_ = FtpFile{};
  auto defaults = reinterpret_cast<Defaults>(ftptest::module().symbol("yxfzdfa"));
  defaults(&file_, open_->block);
  EXPECT_EQ(file_.open_options_flags, OPTIONS_HOST_OWNED);
}

// ---- copies out and in

using CopyOut = int32_t (*)(int32_t, int32_t, const FtpOptions*, FtpOptions**, int32_t*);
using CopyIn = int32_t (*)(int32_t, int32_t, const FtpOptions*, int32_t, FtpOptions**);

TEST_F(OptionDefaults, OptionBlockCopiesRoundTrip) {
  auto source = parse("USER='u' PASS='p' LRECL=80 RECFM=F MGET NONBYTE ENCODING=UTF8");
  FtpOptions* out = nullptr;
  int32_t length = 0;
  ASSERT_EQ(ftptest::module().call(host::slot::OPTIONS_OUT, 0, 0, source->block, &out, &length),
            st::OK);
  ASSERT_NE(out, nullptr);
  EXPECT_NE(out, source->block);
  EXPECT_EQ(length, FTP_OPTIONS_SIZE);
  FtpOptions* in = nullptr;
  ASSERT_EQ(ftptest::module().call(host::slot::OPTIONS_IN, 0, 0, out, length, &in), st::OK);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(std::memcmp(in, source->block, FTP_OPTIONS_SIZE), 0);
  ftptest::release_options(out);
  ftptest::release_options(in);
}

TEST_F(OptionDefaults, OptionBlockCopyRefusals) {
  auto source = parse("LRECL=80");
  int live = host::memory::live_blocks();
  FtpOptions* in = nullptr;
  for (int32_t length : {FTP_OPTIONS_SIZE - 1, FTP_OPTIONS_SIZE + 1, 0}) {
    EXPECT_EQ(ftptest::module().call(host::slot::OPTIONS_IN, 0, 0, source->block, length, &in),
              st::BAD_OPTION_BLOCK);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(host::memory::live_blocks(), live) << "nothing obtained";
  }

  host::memory::fail_allocation(1);
  EXPECT_EQ(ftptest::module().call(host::slot::OPTIONS_IN, 0, 0, source->block,
                                   FTP_OPTIONS_SIZE, &in),
            st::NO_MEMORY);
  host::memory::fail_allocation(1);
  FtpOptions* out = reinterpret_cast<FtpOptions*>(0x1);
  int32_t length = 0;
  EXPECT_EQ(ftptest::module().call(host::slot::OPTIONS_OUT, 0, 0, source->block, &out, &length),
            st::NO_MEMORY);
  host::memory::fail_allocation(0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(length, FTP_OPTIONS_SIZE);
  EXPECT_EQ(host::memory::live_blocks(), live);
}

}  // namespace

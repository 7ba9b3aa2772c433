// Credentials from .netrc through the MACH option: the word rules, the
// choice of the entry, the permission check and the refusals. Each test
// writes its .netrc into a temporary HOME that is removed afterwards.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "host/memory.h"
#include "host/messages.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/options_support.h"

namespace {

using ftptest::text_of;

class Netrc : public testing::Test {
 protected:
  void SetUp() override {
    live_ = host::memory::live_blocks();
    char pattern[] = "/tmp/ftpam-netrc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    if (const char* home = std::getenv("HOME")) old_home_ = home;
    setenv("HOME", dir_.c_str(), 1);
    host::messages::clear_log();
  }
  void TearDown() override {
    if (old_home_) setenv("HOME", old_home_->c_str(), 1);
    else unsetenv("HOME");
    unlink((dir_ + "/.netrc").c_str());
    rmdir(dir_.c_str());
    host::messages::clear_log();
    EXPECT_EQ(host::memory::live_blocks(), live_) << "blocks left behind";
  }

  void write_netrc(const std::string& content, mode_t mode = 0600) {
    std::string path = dir_ + "/.netrc";
    std::ofstream(path) << content;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
  }

  struct Found {
    int32_t status;
    std::string user, password, host, message;
  };
  Found lookup(const std::string& options) {
    auto r = ftptest::parse(options);
    Found f{r->result.status, "", "", "", r->result.message};
    if (r->block) {
      f.user = text_of(r->block->user, 128);
      f.password = text_of(r->block->password, 128);
      f.host = text_of(r->block->host, 128);
    }
    return f;
  }

  std::string dir_;
  std::optional<std::string> old_home_;
  int live_ = 0;
};

struct EntryCase {
  const char* what;
  const char* netrc;
  const char* machine;
  const char* user;
  const char* password;
};

TEST_F(Netrc, ChoosesTheEntryAndReadsItsWords) {
  const EntryCase cases[] = {
      {"blanks and newlines", "machine m\n\tlogin u\n password p\n", "m", "u", "p"},
      {"commas separate words", "machine m,login u,,password p", "m", "u", "p"},
      {"quoted word with blanks, commas and escapes",
       "machine m login u password \"a b,\\\"c\\\\d\"", "m", "u", "a b,\"c\\d"},
      {"backslash inside an unquoted word", "machine m login u\\ v password p", "m", "u v", "p"},
      {"backslash first is part of the word", "machine m login \\u password p", "m", "\\u", "p"},
      {"machine word longer than the name does not match",
       "machine ftp.example.com.x login u password p", "ftp.example.com", "", ""},
      {"an entry for a longer name before the machine's own",
       "machine 127.0.0.60.internal.example login root password RootSecret "
       "machine 127.0.0.60 login u password p",
       "127.0.0.60", "u", "p"},
      {"an address that begins another", "machine 10.0.0.12 login root password RootSecret",
       "10.0.0.1", "", ""},
      {"machine word shorter than the name does not", "machine ftp login u password p",
       "ftp.example.com", "", ""},
      {"machine names compare case-sensitively", "machine M login u password p", "m", "", ""},
      {"keyword prefixes", "mach m log u pass p", "m", "u", "p"},
      {"a machine name that reads like a keyword", "machine mac login u password p", "mac", "u",
       "p"},
      {"passwd", "machine m login u passwd p", "m", "u", "p"},
      {"a lone d is default", "d login u password p", "anything", "u", "p"},
      {"default before the machine wins", "default login d password dp machine m login u password p",
       "m", "d", "dp"},
      {"the entry ends at default", "machine m login u password p default login d password dp",
       "m", "u", "p"},
      {"the entry ends at the next machine", "machine m login u machine n password p", "m", "u", ""},
      {"other machines are skipped", "machine a login ua password pa machine m login u password p",
       "m", "u", "p"},
      {"account lines are skipped", "machine m login u account acct password p", "m", "u", "p"},
      {"a later login replaces an earlier one", "machine m login u1 login u2 password p", "m", "u2",
       "p"},
      {"the first password counts", "machine m login u password p1 password p2", "m", "u", "p1"},
      {"no entry for the machine", "machine x login u password p", "m", "", ""},
      {"an empty name matches no machine entry", "machine x login u password p", "", "", ""},
      {"an empty name takes the default entry", "machine x login u default login d", "", "d", ""},
      {"empty quoted login", "machine m login \"\" password p", "m", "", "p"},
  };
  for (const auto& c : cases) {
    write_netrc(c.netrc);
    Found f = lookup(std::string("MACH='") + c.machine + "'");
    EXPECT_EQ(f.status, st::OK) << c.what << ": " << f.message;
    EXPECT_EQ(f.user, c.user) << c.what;
    EXPECT_EQ(f.password, c.password) << c.what;
    EXPECT_EQ(f.host, c.machine) << c.what;
  }
}

TEST_F(Netrc, LaterOptionsOverrideWhatTheFileGave) {
  write_netrc("machine m login u password p");
  Found f = lookup("MACHINE='m' USER='other' HOST='h'");
  ASSERT_EQ(f.status, st::OK);
  EXPECT_EQ(f.user, "other");
  EXPECT_EQ(f.password, "p");
  EXPECT_EQ(f.host, "h");
}

TEST_F(Netrc, PasswordInAFileOthersCanReadIsRefused) {
  for (mode_t mode : {0644, 0640, 0604, 0620}) {
    write_netrc("machine m login u password p", mode);
    host::messages::clear_log();
    Found f = lookup("MACH='m'");
    EXPECT_EQ(f.status, st::FAILED) << std::oct << mode;
    EXPECT_TRUE(host::messages::logged(msg::NETRC_READABLE));
    EXPECT_NE(f.message.find("MACH"), std::string::npos) << f.message;
  }
  // A password before any login counts as a non-anonymous one.
  write_netrc("machine m password p login anonymous", 0644);
  EXPECT_EQ(lookup("MACH='m'").status, st::FAILED);

  // Anonymous passwords may be readable; a login alone needs no check.
  for (const char* netrc : {"machine m login anonymous password guest@",
                            "machine m login anonymous2 password guest@",
                            "machine m login u"}) {
    write_netrc(netrc, 0644);
    host::messages::clear_log();
    EXPECT_EQ(lookup("MACH='m'").status, st::OK) << netrc;
    EXPECT_FALSE(host::messages::logged(msg::NETRC_READABLE)) << netrc;
  }
}

TEST_F(Netrc, UnknownWordInTheEntryIsRefused) {
  write_netrc("machine m login u colour red password p");
  Found f = lookup("MACH='m'");
  EXPECT_EQ(f.status, st::FAILED);
  EXPECT_TRUE(host::messages::logged(msg::NETRC_BAD_KEYWORD));
  // Unknown words outside the entry are skipped.
  write_netrc("colour red machine m login u password p");
  host::messages::clear_log();
  EXPECT_EQ(lookup("MACH='m'").user, "u");
  EXPECT_FALSE(host::messages::logged(msg::NETRC_BAD_KEYWORD));
}

TEST_F(Netrc, WordsLongerThanTheBufferAreCut) {
  const std::string long_password(300, 'p');
  write_netrc("machine m password " + long_password + " login u");
  Found f = lookup("MACH='m'");
  ASSERT_EQ(f.status, st::OK);
  EXPECT_EQ(f.password, std::string(111, 'p'));
  EXPECT_EQ(f.user, "u");  // the rest of the long word was not read as the next word

  write_netrc("machine m login \"" + std::string(200, 'q') + "\" password p");
  EXPECT_EQ(lookup("MACH='m'").user, std::string(111, 'q'));
}

TEST_F(Netrc, NoFileOrNoHome) {
  Found none = lookup("MACH='m'");
  EXPECT_EQ(none.status, st::OK);
  EXPECT_EQ(none.user, "");
  EXPECT_EQ(none.host, "m");

  // Without HOME the file is looked for in the current directory.
  write_netrc("machine m login here password p");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  unsetenv("HOME");
  Found f = lookup("MACH='m'");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(f.user, "here");

  // A HOME too long for any path is as good as no file.
  setenv("HOME", std::string(5000, 'h').c_str(), 1);
  EXPECT_EQ(lookup("MACH='m'").status, st::OK);
}

TEST_F(Netrc, MachineNameFillingItsField) {
  // A 128-character name has no terminator in its field; the lookup gets it
  // whole. No .netrc word is that long, so only a default entry applies.
  const std::string name(128, 'n');
  write_netrc("machine " + name + " login u password p default login d password dp");
  Found f = lookup("MACH='" + name + "'");
  ASSERT_EQ(f.status, st::OK);
  EXPECT_EQ(f.user, "d");
  EXPECT_EQ(f.host, name);
}

}  // namespace

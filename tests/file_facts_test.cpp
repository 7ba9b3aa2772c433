// What a read learns before it starts and where it starts, against the
// scripted server: SIZE and MDTM with the FACTS option (answered, refused,
// unreadable) and what yxffact hands the host; REST= accepted, refused and
// not usable; ACTIVE over XXAMPASV; MGET over MLSD (facts in any order, odd
// names, directories and links left out, RECURSIVE) and its NLST fallback;
// and the MLSD line and time readers themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "ftp/transfer/facts_parse.h"
#include "host/messages.h"
#include "host/options.h"
#include "host/references.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::OpenFile;
using ftptest::OpenParams;

constexpr const char* LOGIN = "USER u\nPASS p\n";
// 2001-02-03 04:05:06 UTC
constexpr int64_t FEB_2001 = 981173106;

class ReadFacts : public ftptest::SessionTest {
 protected:
  // Opens F, reads it to the end and closes it; its facts and records.
  std::vector<std::string> read_with_facts(FileFacts* facts, OpenParams params = {}) {
    std::unique_ptr<OpenFile> file;
    int32_t end = open("F", &file, params);
    EXPECT_EQ(end, st::OK);
    if (end != st::OK) return {};
    EXPECT_EQ(file->facts(facts), st::OK);
    auto records = read_all(*file, &end);
    EXPECT_EQ(file->close(), st::OK);
    return records;
  }
  std::string transcript_after_close() {
    EXPECT_TRUE(server().wait_sessions_ended(1, 5000));
    return server().transcript();
  }
};

struct FactsCase {
  const char* name;
  const char* size_reply;
  const char* mdtm_reply;
  uint32_t known;
  int64_t size;
};

TEST_F(ReadFacts, SizeAndTimeAreTakenOnlyFromReadableAnswers) {
  const FactsCase cases[] = {
      {"both told", "213 12345\r\n", "213 20010203040506\r\n", FACT_SIZE | FACT_MODIFIED, 12345},
      {"a time with a fraction", "213 0\r\n", "213 20010203040506.123\r\n",
       FACT_SIZE | FACT_MODIFIED, 0},
      {"not implemented", "502 No.\r\n", "500 What?\r\n", 0, 0},
      {"no such file to tell of", "550 No.\r\n", "550 No.\r\n", 0, 0},
      {"unreadable values", "213 12a\r\n", "213 20011303040506\r\n", 0, 0},
      {"a size too large to be one", "213 1234567890123456789\r\n", "213 2001\r\n", 0, 0},
  };
  for (const FactsCase& c : cases) {
    SCOPED_TRACE(c.name);
    Script script;
    script.defaults()
        .on("SIZE", c.size_reply)
        .on("MDTM", c.mdtm_reply)
        .transfer("RETR", "150 Here.\r\n", Data::sending("a\r\n"), "226 Done.\r\n");
    ftptest::ScriptServer& s = serve(script);
    assign("F", "f", "USER='u' PASS='p' RECFM=F LRECL=3 FACTS", s.address());
    FileFacts facts{};
    EXPECT_EQ(read_with_facts(&facts), std::vector<std::string>{"a\r\n"});
    EXPECT_EQ(facts.known, c.known);
    EXPECT_EQ(facts.size, c.size);
    EXPECT_EQ(facts.modified, (c.known & FACT_MODIFIED) ? FEB_2001 : 0);
    s.stop();
    EXPECT_EQ(s.transcript(), std::string(LOGIN) +
                                  "PORT 127,0,0,1,*,*\nTYPE I\nPWD\nSIZE f\nMDTM f\nRETR f\nQUIT\n");
    // A refusal of what the server need not know is no failure to show.
    EXPECT_TRUE(failure_texts().empty());
  }
}

TEST_F(ReadFacts, WithoutTheOptionNothingIsAskedAndNothingIsKnown) {
  Script script;
  script.defaults().transfer("RETR", "150 Here.\r\n", Data::sending("a\r\n"), "226 Done.\r\n");
  serve(script);
  assign("F", "f", "USER='u' PASS='p'");
  FileFacts facts{};
  read_with_facts(&facts);
  EXPECT_EQ(facts.known, 0u);
  EXPECT_EQ(transcript_after_close(),
            std::string(LOGIN) + "PORT 127,0,0,1,*,*\nTYPE A\nPWD\nRETR f\nQUIT\n");
}

TEST_F(ReadFacts, RestStartsABinaryReadAtTheOffset) {
  Script script;
  script.defaults()
      .on("REST", "350 Restarting at 4294967295.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("rest"), "226 Done.\r\n");
  serve(script);
  assign("F", "f", "USER='u' PASS='p' RECFM=F LRECL=4 REST=4294967295");
  FileFacts facts{};
  EXPECT_EQ(read_with_facts(&facts), std::vector<std::string>{"rest"});
  EXPECT_EQ(transcript_after_close(), std::string(LOGIN) +
                                          "PORT 127,0,0,1,*,*\nTYPE I\nPWD\nREST 4294967295\n"
                                          "RETR f\nQUIT\n");
}

TEST_F(ReadFacts, RestRefusedOrUnusableFailsBeforeAnyData) {
  struct Case {
    const char* name;
    const char* options;
    const char* rest_reply;
    std::string failure;
  };
  const Case cases[] = {
      {"refused by the server", "RECFM=F REST=10", "502 No restarts.\r\n",
       "The server would not start the transfer at byte 10: 502 No restarts."},
      {"a text transfer", "REST=10", "350 Yes.\r\n",
       host::messages::catalog_text(msg::GROUP, msg::REST_NOT_USABLE)},
      {"within MGET", "RECFM=F REST=10", "350 Yes.\r\n",
       host::messages::catalog_text(msg::GROUP, msg::REST_NOT_USABLE)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script script;
    script.defaults()
        .on("REST", c.rest_reply)
        .transfer("RETR", "150 Here.\r\n", Data::sending("x"), "226 Done.\r\n");
    ftptest::ScriptServer& s = serve(script);
    const bool mget = std::string(c.name) == "within MGET";
    assign("F", mget ? "(f g)" : "f", std::string("USER='u' PASS='p' ") + c.options, s.address());
    std::unique_ptr<OpenFile> file;
    EXPECT_EQ(open("F", &file), st::FAILED);
    EXPECT_EQ(failure_texts(), std::vector<std::string>{c.failure});
    s.stop();
    auto commands = s.record().commands;
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR f"), 0);
  }
}

TEST_F(ReadFacts, RestValuesOutsideAnOffsetAreRefused) {
  for (const char* value : {"4294967296", "-1", "ten"}) {
    auto r = host::references::assign("F", "f", std::string("USER='u' REST=") + value,
                                      host::references::PARSE_INPUT);
    EXPECT_FALSE(r.ok()) << value;
  }
}

TEST_F(ReadFacts, ActiveOverridesPassiveAsTheHostsDefault) {
  Script script;
  script.defaults().transfer("RETR", "150 Here.\r\n", Data::sending("a\r\n"), "226 Done.\r\n");
  serve(script);
  host::options::set("XXAMPASV", "1");
  assign("F", "f", "USER='u' PASS='p' ACTIVE");
  FileFacts facts{};
  read_with_facts(&facts);
  EXPECT_EQ(transcript_after_close(),
            std::string(LOGIN) + "PORT 127,0,0,1,*,*\nTYPE A\nPWD\nRETR f\nQUIT\n");
}

// ------------------------------------------------------------ MGET over MLSD

constexpr const char* FEAT_WITH_MLST =
    "211-Features:\r\n MDTM\r\n MLST type*;size*;modify*;\r\n SIZE\r\n211 End\r\n";

class MlsdMget : public ReadFacts {
 protected:
  // Reads every file of the MGET open of `remote`: "name=records" per file,
  // with the facts each file had.
  std::vector<std::string> read_files(const std::string& remote, const std::string& options,
                                      std::vector<FileFacts>* facts = nullptr) {
    assign("F", remote, "USER='u' PASS='p' MGET FACTS RECFM=F LRECL=1 " + options);
    std::unique_ptr<OpenFile> file;
    int32_t status = open("F", &file);
    EXPECT_EQ(status, st::OK);
    if (status != st::OK) return {};
    // A file's name and facts are there from its start: at the open, and
    // when a read says that the next file has started.
    std::vector<std::string> files;
    auto start_file = [&]() {
      std::vector<std::pair<std::string, std::string>> items;
      file->items(&items);
      files.push_back(items[0].second + "=");
      FileFacts f{};
      file->facts(&f);
      if (facts) facts->push_back(f);
    };
    start_file();
    for (;;) {
      host::files::Record r;
      status = file->read(&r, 0);
      if (status == st::OK) files.back() += r.view();
      else if (status == st::NEXT_CONNECTION) start_file();
      else break;
    }
    EXPECT_EQ(status, st::END_OF_DATA);
    EXPECT_EQ(file->close(), st::OK);
    return files;
  }
};

TEST_F(MlsdMget, OnlyFilesAreReadWithTheirFacts) {
  Script script;
  script.defaults()
      .on("FEAT", FEAT_WITH_MLST)
      .transfer("MLSD", "150 Listing.\r\n",
                Data::sending("type=cdir;modify=20010203040506; .\r\n"
                              "type=pdir; ..\r\n"
                              "Size=3;Type=File;Modify=20010203040506; a b;c.txt\r\n"
                              "type=dir;sizd=4096; sub.txt\r\n"
                              "type=OS.unix=symlink;size=9; link.txt\r\n"
                              "modify=19991231235959;type=file; nosize.txt\r\n"
                              "type=file;size=1; other.dat\r\n"
                              "no facts and no blank\r\n"),
                "226 Done.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("abc"), "226 Done.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("xyz"), "226 Done.\r\n");
  serve(script);
  std::vector<FileFacts> facts;
  EXPECT_EQ(read_files("dir/*.txt", "", &facts),
            (std::vector<std::string>{"dir/a b;c.txt=abc", "dir/nosize.txt=xyz"}));
  ASSERT_EQ(facts.size(), 2u);
  EXPECT_EQ(facts[0].known, FACT_SIZE | FACT_MODIFIED);
  EXPECT_EQ(facts[0].size, 3);
  EXPECT_EQ(facts[0].modified, FEB_2001);
  // A fact the listing lacks is asked for (and not told here).
  EXPECT_EQ(facts[1].known, FACT_MODIFIED);
  EXPECT_EQ(facts[1].modified, 946684799);
  const std::string transcript = transcript_after_close();
  EXPECT_NE(transcript.find("FEAT\nPORT 127,0,0,1,*,*\nTYPE A\nPWD\nMLSD dir\n"),
            std::string::npos) << transcript;
  EXPECT_NE(transcript.find("RETR dir/a b;c.txt\n"), std::string::npos) << transcript;
  EXPECT_EQ(transcript.find("SIZE dir/a b;c.txt"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("SIZE dir/nosize.txt"), std::string::npos) << transcript;
}

TEST_F(MlsdMget, RecursiveDescendsIntoMatchedDirectories) {
  Script script;
  script.defaults()
      .on("FEAT", FEAT_WITH_MLST)
      .transfer("MLSD", "150 Listing.\r\n",
                Data::sending("type=dir; docs\r\ntype=file;size=1; top\r\ntype=dir; other\r\n"),
                "226 Done.\r\n")
      .transfer("MLSD", "150 Listing.\r\n",
                Data::sending("type=file;size=1; a\r\ntype=dir; deep\r\n"), "226 Done.\r\n")
      .transfer("MLSD", "150 Listing.\r\n", Data::sending("type=file;size=1; b\r\n"),
                "226 Done.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("1"), "226 Done.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("2"), "226 Done.\r\n");
  serve(script);
  EXPECT_EQ(read_files("docs", "RECURSIVE"),
            (std::vector<std::string>{"docs/a=1", "docs/deep/b=2"}));
  const std::string transcript = transcript_after_close();
  EXPECT_NE(transcript.find("MLSD\n"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("MLSD docs\n"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("MLSD docs/deep\n"), std::string::npos) << transcript;
  EXPECT_EQ(transcript.find("other"), std::string::npos) << transcript;
}

// A server whose every directory holds another is read 8 levels down, and
// no further.
TEST_F(MlsdMget, RecursionIsBoundedInDepth) {
  ftptest::Step nested;
  nested.verb = "MLSD";
  nested.reply = "150 Listing.\r\n";
  nested.data = Data::sending("type=dir; d\r\n");
  nested.after = "226 Done.\r\n";
  nested.repeat = true;
  Script script;
  script.defaults().on("FEAT", FEAT_WITH_MLST).step(nested);
  serve(script);
  assign("F", "d", "USER='u' PASS='p' MGET FACTS RECURSIVE");
  std::unique_ptr<OpenFile> file;
  EXPECT_EQ(open("F", &file), st::FILE_REFUSED);
  stop_server();
  auto commands = server().record().commands;
  EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                          [](const std::string& c) { return c.rfind("MLSD", 0) == 0; }),
            9);
  EXPECT_EQ(logged(msg::MGET_TOO_DEEP).size(), 1u);
}

TEST_F(MlsdMget, AServerWithoutMlstIsAskedWithNlst) {
  Script script;
  script.defaults()
      .on("FEAT", "211-Features:\r\n SIZE\r\n MLSTX\r\n211 End\r\n")
      .transfer("NLST", "150 Listing.\r\n", Data::sending("a.txt\r\n"), "226 Done.\r\n")
      .transfer("RETR", "150 Here.\r\n", Data::sending("1"), "226 Done.\r\n");
  serve(script);
  EXPECT_EQ(read_files("*.txt", ""), std::vector<std::string>{"a.txt=1"});
  const std::string transcript = transcript_after_close();
  EXPECT_NE(transcript.find("FEAT\nPORT 127,0,0,1,*,*\nTYPE A\nPWD\nNLST *.txt\n"),
            std::string::npos) << transcript;
}

// ------------------------------------------------------------ the readers

TEST(MlsdLine, FactsInAnyOrderNamesAsTheyStand) {
  struct Case {
    std::string line;
    bool read;
    EntryType type;
    int64_t size;        // -1: not known
    int64_t modified;    // -1: not known
    std::string name;
  };
  const Case cases[] = {
      {"type=file;size=10;modify=20010203040506; f", true, EntryType::File, 10, FEB_2001, "f"},
      {"MODIFY=20010203040506;SIZE=10;TYPE=FILE; f", true, EntryType::File, 10, FEB_2001, "f"},
      {"type=file; two  blanks; and=semi", true, EntryType::File, -1, -1, "two  blanks; and=semi"},
      {"type=dir;sizd=4096; d", true, EntryType::Directory, 4096, -1, "d"},
      {"type=cdir; .", true, EntryType::Other, -1, -1, "."},
      {"type=OS.unix=slink:/x; l", true, EntryType::Other, -1, -1, "l"},
      {"size=x;modify=2001;unknown=1;novalue; n", true, EntryType::Unknown, -1, -1, "n"},
      {" bare name", true, EntryType::Unknown, -1, -1, "bare name"},
      {"type=file;size=10;", false, EntryType::Unknown, -1, -1, ""},
      {"type=file; ", false, EntryType::Unknown, -1, -1, ""},
      {"", false, EntryType::Unknown, -1, -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::unique_ptr<char[]> exact(new char[c.line.size() + 1]);
    std::memcpy(exact.get(), c.line.data(), c.line.size());
    MlsdEntry e;
    ASSERT_EQ(parse_mlsd_line(exact.get(), int32_t(c.line.size()), &e), c.read);
    if (!c.read) continue;
    EXPECT_EQ(e.type, c.type);
    EXPECT_EQ(e.size_known ? e.size : -1, c.size);
    EXPECT_EQ(e.modified_known ? e.modified : -1, c.modified);
    EXPECT_EQ(std::string(e.name, size_t(e.name_length)), c.name);
  }
}

TEST(FtpTime, CalendarDatesOnly) {
  struct Case {
    const char* text;
    int64_t seconds;  // -1: refused
  };
  const Case cases[] = {
      {"19700101000000", 0},          {"20010203040506", FEB_2001},
      {"20000229120000", 951825600},  {"20010203040506.5", FEB_2001},
      {"19000228000000", -2203977600}, {"20010229000000", -1},
      {"20011301000000", -1},         {"20010203240000", -1},
      {"2001020304050", -1},          {"20010203040506x", -1},
      {"2001020304050a", -1},
  };
  for (const Case& c : cases) {
    int64_t seconds = -1;
    const bool read = parse_ftp_time(c.text, int32_t(std::strlen(c.text)), &seconds);
    EXPECT_EQ(read ? seconds : -1, c.seconds) << c.text;
  }
}

}  // namespace

// Information about a file reference: the information record of open and
// unopened references, the information items of an open file with the values
// built in its scratch area, and the list's release. Most cases use a file
// block built here; one opens a reply-only file against a scripted server.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ftp/ftp_file.h"
#include "host/memory.h"
#include "host/module.h"
#include "host/references.h"
#include "module/host_records.h"
#include "module/status.h"
#include "tests/support/loaded_module.h"
#include "tests/support/session_support.h"

using ftptest::module;

namespace {


using Items = std::vector<std::pair<std::string, std::string>>;

// An open file block with its control connection, as the open leaves them.
struct OpenBlock {
  FtpFile file{};
  sock_conn ctl{};
  sock_conn data{};
  char name[16] = "dir/remote.dat";

  OpenBlock() {
    file.ctl = &ctl;
    file.remote_name = name;
    file.remote_name_len = int32_t(std::strlen(name));
    file.recfm = RECFM_V;
    file.lrecl = file.lrecl_out = file.maxrec = 256;
    std::strcpy(file.pwd, "/home/demo");
    std::strcpy(ctl.local_host_name, "client.example");
    std::strcpy(ctl.local_host_ip, "127.0.0.1");
    std::strcpy(ctl.service_host_name, "server.example");
    std::strcpy(ctl.service_ip, "127.0.0.2");
    std::strcpy(ctl.service_name_text, "ftp");
    ctl.service_portno = 21;
  }
  void with_data(int32_t read_mode) {
    data.read_mode = read_mode;
    file.data = &data;
  }
  int32_t list(InfoItemList** out) {
    void* l = nullptr;
    int32_t status = module().call(host::slot::INFO_ITEMS, &file, &l);
    *out = static_cast<InfoItemList*>(l);
    return status;
  }
  int32_t release(InfoItemList* l) {
    return module().call(host::slot::INFO_RELEASE, &file, static_cast<void*>(l));
  }
  Items items() {
    InfoItemList* l = nullptr;
    EXPECT_EQ(list(&l), st::OK);
    Items out;
    for (int i = 0; l && i < l->header[3]; ++i)
      out.emplace_back(std::string(l->items[i].name, size_t(l->items[i].name_length)),
                       std::string(l->items[i].value, size_t(l->items[i].value_length)));
    EXPECT_EQ(release(l), st::OK);
    return out;
  }
};

class InformationItems : public testing::Test {
 protected:
  void SetUp() override { blocks_ = host::memory::live_blocks(); }
  void TearDown() override {
    host::memory::fail_allocation(0);
    EXPECT_EQ(host::memory::live_blocks(), blocks_) << "pool blocks left behind";
  }
  int blocks_ = 0;
};

TEST_F(InformationItems, TenItemsInOrder) {
  OpenBlock b;
  b.with_data(READ_TERMINATED);
  EXPECT_EQ(b.items(), (Items{{"Filename", "dir/remote.dat"},
                              {"Pathname", "/home/demo"},
                              {"Local Host Name", "client.example"},
                              {"Local Host IP addr", "127.0.0.1"},
                              {"Service Hostname Name", "server.example"},
                              {"Service IP addr", "127.0.0.2"},
                              {"Service Name", "ftp"},
                              {"Service Portno", "21"},
                              {"Lrecl", "256"},
                              {"Recfm", "Variable"}}));
  EXPECT_EQ(b.file.info_scratch, nullptr);  // released with the list
}

TEST_F(InformationItems, RecordFormatWordAndInformationRecordCode) {
  struct Case {
    const char* name;
    int32_t recfm;
    int32_t read_mode;  // 0: no data connection (a reply-only open)
    const char* word;
    int32_t code;
  };
  const Case cases[] = {
      {"S", RECFM_S, READ_BYTE_COUNT, "Stream", 0x20},
      {"F", RECFM_F, READ_FIXED, "Fixed", 0x08},
      {"F with carriage control", RECFM_F | RECFM_CC, READ_FIXED, "Variable", 0x18},
      {"V with carriage control", RECFM_V | RECFM_CC, READ_TERMINATED, "Variable", 0x30},
      {"S370V", RECFM_V, READ_S370V, "S370V", 0x20},
      {"S370VS", RECFM_V, READ_S370VS, "S370VS", 0x20},
      {"V", RECFM_V, READ_TERMINATED, "Variable", 0x20},
      {"reply-only", RECFM_V, 0, "Variable", 0x20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenBlock b;
    b.file.recfm = uint32_t(c.recfm);
    b.file.maxrec = 255;
    if (c.read_mode) b.with_data(c.read_mode);
    EXPECT_EQ(b.items().back(), (std::pair<std::string, std::string>{"Recfm", c.word}));

    InfoRecord info{};
    ASSERT_EQ(module().call(host::slot::INFO, &b.file, "FILE    ", nullptr, 0, 0,
                            static_cast<void*>(&info)),
              st::OK);
    EXPECT_EQ(info.name, b.name);
    EXPECT_EQ(info.name_length, 14);
    EXPECT_EQ(info.recfm_code, c.code);
    EXPECT_EQ(info.maxrec, 255);
    EXPECT_EQ(std::memcmp(info.device, "FTP    \0", 8), 0);
    EXPECT_EQ(info.word6, 0);
    EXPECT_EQ(info.word7, 0);
    EXPECT_EQ(info.word8, 12);
    EXPECT_EQ(info.word9, 4);
  }
}

// Built values follow one another in the scratch area: "N/A" takes 3 bytes,
// each number a 10-byte field, then the record-format word.
TEST_F(InformationItems, BuiltValuesAndTheirPlaceInTheScratchArea) {
  struct Case {
    const char* service_host;
    const char* service_name;
    int32_t port;
    int32_t lrecl;
    int port_at;
    std::string port_text;
    std::string lrecl_text;
  };
  const Case cases[] = {
      {"server.example", "ftp", 21, 256, 0, "21", "256"},
      {"", "ftp", 21, 80, 3, "21", "80"},
      {"", "", 2121, 32760, 6, "2121", "32760"},
      {"server.example", "ftp", 2147483647, -1, 0, "2147483647", "-1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port_at);
    OpenBlock b;
    std::strcpy(b.ctl.service_host_name, c.service_host);
    std::strcpy(b.ctl.service_name_text, c.service_name);
    b.ctl.service_portno = c.port;
    b.file.lrecl_out = c.lrecl;
    InfoItemList* l = nullptr;
    ASSERT_EQ(b.list(&l), st::OK);
    const char* scratch = b.file.info_scratch;
    ASSERT_NE(scratch, nullptr);
    const InfoItem* item = l->items;
    EXPECT_EQ(l->header[3], 10);
    EXPECT_EQ(l->header[0] | l->header[1] | l->header[2] | l->header[4], 0);
    if (!*c.service_host) {
      EXPECT_EQ(item[4].value, scratch);
      EXPECT_EQ(std::string(item[4].value, size_t(item[4].value_length)), "N/A");
    }
    if (!*c.service_name) {
      EXPECT_EQ(item[6].value, scratch + c.port_at - 3);
      EXPECT_EQ(std::string(item[6].value, size_t(item[6].value_length)), "N/A");
    }
    EXPECT_EQ(item[7].value, scratch + c.port_at);
    EXPECT_EQ(std::string(item[7].value, size_t(item[7].value_length)), c.port_text);
    EXPECT_EQ(item[8].value, scratch + c.port_at + 10);
    EXPECT_EQ(std::string(item[8].value, size_t(item[8].value_length)), c.lrecl_text);
    EXPECT_EQ(item[9].value, scratch + c.port_at + 20);
    EXPECT_EQ(b.release(l), st::OK);
  }
}

TEST_F(InformationItems, TheScratchAreaIsReusedUntilReleased) {
  OpenBlock b;
  InfoItemList* first = nullptr;
  InfoItemList* second = nullptr;
  ASSERT_EQ(b.list(&first), st::OK);
  char* scratch = b.file.info_scratch;
  ASSERT_EQ(b.list(&second), st::OK);
  EXPECT_EQ(b.file.info_scratch, scratch);
  EXPECT_EQ(second->items[7].value, first->items[7].value);

  EXPECT_EQ(b.release(nullptr), st::OK);  // nothing to release: the area stays
  EXPECT_EQ(b.file.info_scratch, scratch);
  EXPECT_EQ(b.release(first), st::OK);
  EXPECT_EQ(b.file.info_scratch, nullptr);
  host::memory::heap()->free(host::memory::heap(), second, 0, 4);
}

TEST_F(InformationItems, MissingFileAndExhaustedPool) {
  void* l = nullptr;
  EXPECT_EQ(module().call(host::slot::INFO_ITEMS, static_cast<FtpFile*>(nullptr), &l),
            st::NO_OPEN_FILE);
  EXPECT_EQ(module().call(host::slot::INFO_RELEASE, static_cast<FtpFile*>(nullptr), l),
            st::NO_OPEN_FILE);
  for (long nth : {1, 2}) {  // the list, then the scratch area
    OpenBlock b;
    InfoItemList* list = nullptr;
    host::memory::fail_allocation(nth);
    EXPECT_EQ(b.list(&list), st::NO_MEMORY);
    host::memory::fail_allocation(0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(b.file.info_scratch, nullptr);
  }
}

TEST_F(InformationItems, AnUnopenedReferenceSetsOnlyItsFiveWords) {
  ASSERT_TRUE(host::references::assign("INFOREF", "some/remote.file", "HOST='h'").ok());
  InfoRecord info;
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(module().call(host::slot::INFO, static_cast<FtpFile*>(nullptr), "INFOREF ", nullptr, 0,
                          0, static_cast<void*>(&info)),
            st::OK);
  EXPECT_EQ(std::string(info.name, size_t(info.name_length)), "some/remote.file");
  EXPECT_EQ(std::memcmp(info.device, "FTP    \0", 8), 0);
  EXPECT_EQ(info.word9, 4);
  for (int32_t untouched : {info.recfm_code, info.maxrec, info.word6, info.word7, info.word8})
    EXPECT_EQ(uint32_t(untouched), 0xABABABABu);
  EXPECT_EQ(host::references::deassign("INFOREF").status, st::OK);

  EXPECT_EQ(module().call(host::slot::INFO, static_cast<FtpFile*>(nullptr), "NOSUCH  ", nullptr,
                          0, 0, static_cast<void*>(&info)),
            st::NOT_ASSIGNED);
}

// A reply-only open has no data connection; its items come from the real
// control connection.
class InformationOfAnOpenFile : public ftptest::SessionTest {};

TEST_F(InformationOfAnOpenFile, ReplyOnlyOpenAgainstAServer) {
  ftptest::Script script;
  script.defaults().on("STAT", "211 All is well.\r\n");
  serve(script);
  assign("STATF", "", "USER='u' PASS='p' RSTAT LRECL=80");
  std::unique_ptr<ftptest::OpenFile> file;
  ASSERT_EQ(open("STATF", &file), st::OK);
  Items items;
  ASSERT_EQ(file->items(&items), st::OK);
  ASSERT_EQ(items.size(), 10u);
  EXPECT_EQ(items[3].second, "127.0.0.1");
  EXPECT_EQ(items[5].second, server().address());
  EXPECT_EQ(items[7].second, "21");
  EXPECT_EQ(items[8].second, "80");
  EXPECT_EQ(items[9].second, "Variable");
  EXPECT_EQ(file->handle()->info_scratch, nullptr);
  EXPECT_EQ(file->close(), st::OK);
}

}  // namespace

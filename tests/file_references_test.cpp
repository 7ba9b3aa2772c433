// File references: assign, reassign and deassign through the host's API,
// the lookups of the method vector, the method-instance record that lives
// from the first assign to the last deassign, and the blocks they hold.
#include <gtest/gtest.h>

#include <cstring>

#include "ftp/reference/method_instance.h"
#include "host/control_block.h"
#include "host/memory.h"
#include "host/messages.h"
#include "hostsvc/gcb.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/loaded_module.h"
#include "tests/support/options_support.h"

namespace {

using host::references::assign;
using host::references::deassign;
using host::references::list;
using ftptest::module;

std::vector<std::string> names() {
  std::vector<std::string> out;
  for (const auto& r : list()) out.push_back(r.name);
  return out;
}

// The assign record of a reference, found the way the host enumerates them.
AssignRecord* record_of(const std::string& name) {
  std::string key = host::references::padded_name(name);
  void* cursor = nullptr;
  char name8[8];
  const char* remote;
  int32_t length;
  while (module().call(host::slot::NEXT, &cursor, name8, static_cast<void*>(nullptr), &remote,
                       &length) == st::OK)
    if (std::string(name8, 8) == key) return static_cast<AssignRecord*>(cursor);
  return nullptr;
}

class FileReferences : public testing::Test {
 protected:
  void SetUp() override {
    live_ = host::memory::live_blocks();
    ASSERT_EQ(module().entry()->instance, nullptr) << "references left by another test";
  }
  void TearDown() override {
    for (const auto& r : list()) deassign(r.name);
    EXPECT_EQ(module().entry()->instance, nullptr);
    EXPECT_EQ(host::memory::live_blocks(), live_) << "blocks left behind";
  }
  int live_ = 0;
};

TEST_F(FileReferences, AssignedNamesAreListedNewestFirstAndLookedUp) {
  ASSERT_TRUE(assign("A1", "/r/a", "").ok());
  ASSERT_TRUE(assign("b2", "/r/b", "lrecl=80").ok());
  ASSERT_TRUE(assign("C3", "/r/c", "").ok());
  EXPECT_EQ(names(), (std::vector<std::string>{"C3      ", "B2      ", "A1      "}));
  EXPECT_EQ(host::references::physical_name("B2"), "/r/b");
  EXPECT_EQ(host::references::physical_name("c3"), "/r/c");

  const char* lower = "a1      ";
  const char* unknown = "ZZ      ";
  EXPECT_EQ(module().call(host::slot::EXISTS, lower, static_cast<void*>(nullptr)), st::OK);
  EXPECT_EQ(module().call(host::slot::VALIDATE, lower), st::OK);
  EXPECT_EQ(module().call(host::slot::EXISTS, unknown, static_cast<void*>(nullptr)),
            st::NOT_ASSIGNED);
  EXPECT_EQ(module().call(host::slot::VALIDATE, unknown), st::NOT_ASSIGNED);
  EXPECT_EQ(host::references::physical_name("ZZ"), std::nullopt);

  // The enumeration ends with 0x802 and a null cursor.
  void* cursor = nullptr;
  char name8[8];
  const char* remote;
  int32_t length;
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(module().call(host::slot::NEXT, &cursor, name8, static_cast<void*>(nullptr),
                            &remote, &length),
              st::OK);
  EXPECT_EQ(std::string(name8, 8), "A1      ");
  EXPECT_EQ(std::string(remote, size_t(length)), "/r/a");
  EXPECT_EQ(module().call(host::slot::NEXT, &cursor, name8, static_cast<void*>(nullptr), &remote,
                          &length),
            st::END_OF_LIST);
  EXPECT_EQ(cursor, nullptr);

  EXPECT_EQ(deassign("b2").status, st::OK);
  EXPECT_EQ(names(), (std::vector<std::string>{"C3      ", "A1      "}));
  EXPECT_EQ(deassign("b2").status, st::NOT_ASSIGNED);
}

TEST_F(FileReferences, MethodInstanceRecordLivesFromFirstAssignToLastDeassign) {
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(assign("ONE", "/1", "").ok());
    MethodInstance* instance = module().entry()->instance;
    ASSERT_NE(instance, nullptr);
    EXPECT_NE(instance->break_handler, nullptr);
    EXPECT_STREQ(instance->break_question,
                 host::messages::catalog_text(msg::GROUP, msg::BREAK_QUESTION));
    EXPECT_STREQ(instance->break_title, host::messages::catalog_text(msg::GROUP, msg::BREAK_TITLE));
    EXPECT_EQ(instance->open_files, nullptr);
    ASSERT_TRUE(assign("TWO", "/2", "").ok());
    EXPECT_EQ(module().entry()->instance, instance);
    ASSERT_TRUE(deassign("ONE").ok());
    EXPECT_EQ(module().entry()->instance, instance);
    ASSERT_TRUE(deassign("TWO").ok());
    EXPECT_EQ(module().entry()->instance, nullptr);
  }
  // With no record at all, the lookups answer "not assigned" and the
  // enumeration ends at once.
  EXPECT_EQ(module().call(host::slot::VALIDATE, "ONE     "), st::NOT_ASSIGNED);
  EXPECT_TRUE(list().empty());
}

TEST_F(FileReferences, ReassignReplacesRemoteNameAndOptions) {
  ASSERT_TRUE(assign("R", "/old", "lrecl=80").ok());
  int live = host::memory::live_blocks();
  AssignRecord* record = record_of("R");
  ASSERT_NE(record, nullptr);
  record->open_count = 1;  // an open file does not stop a reassign
  std::memcpy(record->saved_user, "kept", 5);

  ASSERT_TRUE(assign("r", "/newer", "lrecl=90").ok());
  EXPECT_EQ(record_of("R"), record);
  EXPECT_EQ(names().size(), 1u);
  EXPECT_EQ(host::references::physical_name("R"), "/newer");
  ASSERT_NE(record->options, nullptr);
  EXPECT_EQ(record->options->lrecl, 90);
  EXPECT_EQ(host::memory::live_blocks(), live) << "the old options and name were released";
  EXPECT_EQ(record->open_count, 1);
  EXPECT_STREQ(record->saved_user, "kept");

  // Reassign without options drops them.
  ASSERT_TRUE(assign("R", "/x", "").ok());
  EXPECT_EQ(record->options, nullptr);
  EXPECT_EQ(record->options_flags, 0u);
  EXPECT_EQ(host::memory::live_blocks(), live - 1);
  record->open_count = 0;
}

TEST_F(FileReferences, ReassignKeepsABlockItIsHandedAgain) {
  ASSERT_TRUE(assign("SAME", "/a", "lrecl=80").ok());
  AssignRecord* record = record_of("SAME");
  FtpOptions* block = record->options;
  char name8[] = "SAME    ";
  ASSERT_EQ(module().call(host::slot::ASSIGN, name8, static_cast<void*>(nullptr),
                          ACCESS_METHOD_NAME, "/b", 2, block),
            st::OK);
  EXPECT_EQ(record->options, block);
  EXPECT_EQ(block->lrecl, 80);  // still a live block
}

TEST_F(FileReferences, HostOwnedOptionsAreNeverReleasedHere) {
  const int32_t host_owned = host::references::PARSE_HOST_OWNED;
  ASSERT_TRUE(assign("HOSTOWN", "/a", "lrecl=80", host_owned).ok());
  AssignRecord* record = record_of("HOSTOWN");
  FtpOptions* first = record->options;
  EXPECT_EQ(record->options_flags, uint32_t(host_owned));
  ASSERT_TRUE(assign("HOSTOWN", "/a", "lrecl=90", host_owned).ok());
  FtpOptions* second = record->options;
  EXPECT_EQ(first->lrecl, 80) << "the first block is still the host's";
  ASSERT_TRUE(deassign("HOSTOWN").ok());
  EXPECT_EQ(second->lrecl, 90) << "the second block is still the host's";
  host::memory::heap()->free(host::memory::heap(), first, 0, 4);
  host::memory::heap()->free(host::memory::heap(), second, 0, 4);
}

TEST_F(FileReferences, OpenFilesStopTheDeassign) {
  ASSERT_TRUE(assign("BUSY", "/b", "").ok());
  record_of("BUSY")->open_count = 2;
  auto r = deassign("BUSY");
  EXPECT_EQ(r.status, st::HAS_OPEN_FILES);
  EXPECT_FALSE(r.message.empty());
  EXPECT_EQ(names().size(), 1u);
  record_of("BUSY")->open_count = 0;
  EXPECT_TRUE(deassign("BUSY").ok());
}

TEST_F(FileReferences, BlankNameGetsAUniqueName) {
  using Unique = int32_t (*)(char*, void*);
  auto unique = reinterpret_cast<Unique>(
      static_cast<void***>(host::control_block()[gcb::VECTORS])[30][247]);
  char probe[] = "        ";
  ASSERT_EQ(unique(probe, nullptr), st::OK);
  int next = std::atoi(probe + 4) % 9999 + 1;
  char taken[16];
  std::snprintf(taken, sizeof taken, "#FTP%04d", next);
  ASSERT_TRUE(assign(taken, "/taken", "").ok());  // the name the host would hand out next

  auto a = assign("", "/a", "");
  auto b = assign("        ", "/b", "");
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a.name.substr(0, 4), "#FTP");
  EXPECT_NE(a.name, taken);
  EXPECT_NE(a.name, b.name);
  EXPECT_EQ(host::references::physical_name(a.name), "/a");
  EXPECT_EQ(names().size(), 3u);

  char named[] = "KEEP    ";
  ASSERT_EQ(unique(named, nullptr), st::OK);
  EXPECT_STREQ(named, "KEEP    ") << "only a blank name is replaced";
}

TEST_F(FileReferences, PhysicalNameIsCutAt1024Bytes) {
  std::string remote(2000, 'x');
  remote[1023] = 'y';
  ASSERT_TRUE(assign("LONG", remote, "").ok());
  char buffer[1100];
  std::memset(buffer, 'Z', sizeof buffer);
  ASSERT_EQ(module().call(host::slot::PHYSICAL_NAME, "LONG    ", buffer), st::OK);
  EXPECT_EQ(std::string(buffer), remote.substr(0, 1024));
  EXPECT_EQ(buffer[1025], 'Z');
}

TEST_F(FileReferences, NamesLongerThanEightAreRefusedByTheHost) {
  auto r = assign("NINECHARS", "/x", "");
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.message.find("8 characters"), std::string::npos);
  EXPECT_TRUE(list().empty());
}

TEST_F(FileReferences, AllocationFailuresDuringAssign) {
  // 1: the method-instance record; nothing is made.
  host::memory::fail_allocation(1);
  EXPECT_EQ(assign("F", "/f", "").status, st::NO_MEMORY);
  host::memory::fail_allocation(0);
  EXPECT_EQ(module().entry()->instance, nullptr);
  EXPECT_EQ(host::memory::live_blocks(), live_);

  // 2: the remote-name copy; the method-instance record made for this assign
  // goes again: a failed assign leaves nothing behind.
  host::memory::fail_allocation(2);
  EXPECT_EQ(assign("F", "/f", "").status, st::NO_MEMORY);
  host::memory::fail_allocation(0);
  EXPECT_EQ(module().entry()->instance, nullptr);
  EXPECT_TRUE(list().empty());
  EXPECT_EQ(host::memory::live_blocks(), live_);

  // 3: the remote-name copy of an assign with options (after the options
  // block and the method-instance record): nothing is made, and the options
  // go back.
  host::memory::fail_allocation(3);
  EXPECT_EQ(assign("F", "/f", "lrecl=1").status, st::NO_MEMORY);
  host::memory::fail_allocation(0);
  EXPECT_TRUE(list().empty());
  EXPECT_EQ(host::memory::live_blocks(), live_);

  // A failed reassign keeps the reference as it was.
  ASSERT_TRUE(assign("F", "/f", "").ok());
  host::memory::fail_allocation(1);
  EXPECT_EQ(assign("F", "/g", "").status, st::NO_MEMORY);
  host::memory::fail_allocation(0);
  EXPECT_EQ(host::references::physical_name("F"), "/f");
  EXPECT_TRUE(deassign("F").ok());
}

}  // namespace

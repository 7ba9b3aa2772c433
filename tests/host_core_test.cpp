// The reference host's own services: pools, the formatter and message
// catalog, failure texts, and the control block the module reads.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "host/control_block.h"
#include "host/memory.h"
#include "host/messages.h"
#include "hostsvc/gcb.h"
#include "module/msgno.h"
#include "module/status.h"

namespace {

using namespace host;

template <typename Fn>
Fn service(int v, int s) {
  return reinterpret_cast<Fn>(static_cast<void***>(control_block()[gcb::VECTORS])[v][s]);
}

TEST(HostPools, CountLiveBlocksAndFailTheNthAllocation) {
  gcb::Pool* pool = static_cast<gcb::Pool*>(control_block()[gcb::MEMORY_POOL]);
  int before = memory::live_blocks();
  auto* a = static_cast<unsigned char*>(pool->alloc(pool, 32, gcb::ALLOC_CLEAR));
  auto* b = static_cast<unsigned char*>(pool->alloc(pool, 32, gcb::ALLOC_NOCLEAR));
  ASSERT_TRUE(a && b);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(a[i], 0);
  EXPECT_EQ(memory::live_blocks(), before + 2);
  // Any pool object frees any block: the module frees through the heap.
  memory::heap()->free(memory::heap(), a, 0, 4);
  memory::heap()->free(memory::heap(), b, 0, 4);
  EXPECT_EQ(memory::live_blocks(), before);

  memory::fail_allocation(3);
  void* blocks[4];
  for (auto& p : blocks) p = pool->alloc(pool, 8, gcb::ALLOC_CLEAR);
  memory::fail_allocation(0);
  EXPECT_TRUE(blocks[0] && blocks[1] && !blocks[2] && blocks[3]);
  for (void* p : blocks) memory::heap()->free(memory::heap(), p, 0, 4);
  EXPECT_EQ(memory::live_blocks(), before);
}

TEST(HostPools, PrivatePoolTakesItsBlocksWithIt) {
  using Create = void* (*)(int32_t, int32_t, int32_t);
  using Delete = int32_t (*)(void*);
  int before = memory::live_blocks();
  auto* pool = static_cast<gcb::Pool*>(service<Create>(30, 32)(0, 1024, 0));
  ASSERT_NE(pool, nullptr);
  void* kept = pool->alloc(pool, 100, gcb::ALLOC_NOCLEAR);
  void* freed = pool->alloc(pool, 100, gcb::ALLOC_NOCLEAR);
  memory::heap()->free(memory::heap(), freed, 0, 4);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(memory::live_blocks(), before + 1);
  EXPECT_EQ(service<Delete>(0, 113)(pool), 0);
  EXPECT_EQ(memory::live_blocks(), before);
  EXPECT_EQ(memory::private_pools(), 0);
}

std::string fmt(const char* format, ...) {
  char buffer[128];
  va_list args;
  va_start(args, format);
  int n = messages::format(buffer, sizeof buffer, format, args);
  va_end(args);
  return std::string(buffer, size_t(n));
}

TEST(HostFormatter, PrintfLikeWithBlankRuns) {
  EXPECT_EQ(fmt("PORT %d,%d,%d,%d,%d,%d", 127, 0, 0, 1, 4, 1), "PORT 127,0,0,1,4,1");
  EXPECT_EQ(fmt("%1z- Value"), " - Value");
  EXPECT_EQ(fmt("%3z - Using %s for PORT command ", "10.0.0.1"),
            "    - Using 10.0.0.1 for PORT command ");
  EXPECT_EQ(fmt("[%5s|%-5s|%.2s|%*d]", "ab", "cd", "xyz", 4, 7), "[   ab|cd   |xy|   7]");
  EXPECT_EQ(fmt("%x %X %o %u %c %%", 255, 255, 8, 3u, 'q'), "ff FF 10 3 q %");
  EXPECT_EQ(fmt("%s", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(fmt("100%"), "100%");  // a lone % is shown as written, nothing read
  EXPECT_EQ(fmt("%q%d", 5), "%q5");  // so is an unknown conversion
}

TEST(HostFormatter, CutsAtTheBufferSizeWithoutOverrun) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  using Ypsstr = int32_t (*)(char*, int32_t, const char*, ...);
  int n = service<Ypsstr>(30, 79)(buffer, 5, "USER %s", "someone");
  EXPECT_EQ(n, 5);
  EXPECT_EQ(std::string(buffer, 5), "USER ");
  EXPECT_EQ(buffer[5], '#');  // nothing written past the given size
  n = service<Ypsstr>(30, 79)(buffer, 8, "QUIT");
  EXPECT_EQ(n, 4);
  EXPECT_STREQ(buffer, "QUIT");
}

TEST(MessageCatalog, EveryNumberTheModuleIssuesHasATextWithItsInserts) {
  const int numbers[] = {7, 8, 9, 10, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 23, 24, 25, 29,
                         30, 35, 36, 37, 47, 50, 71, 72, 92, 93, 123, 124, 210, 211, 212};
  for (int n : numbers) EXPECT_NE(messages::catalog_text(msg::GROUP, n), nullptr) << n;
  EXPECT_EQ(messages::catalog_text(msg::GROUP, 1), nullptr);
  EXPECT_EQ(messages::catalog_text(999, 12), nullptr);

  using Ypmstr = int32_t (*)(char*, int32_t, int32_t, int32_t, ...);
  char text[256];
  int n = service<Ypmstr>(30, 74)(text, 255, msg::GROUP, msg::BYTE_COUNT_TOO_LARGE, 9000, 8192);
  EXPECT_EQ(std::string(text, size_t(n)), "9000 bytes were asked for, but a record holds at most 8192.");
  n = service<Ypmstr>(30, 74)(text, 255, msg::GROUP, msg::OPEN_COMPLETE, "anna", "ftp.example");
  EXPECT_NE(std::string(text, size_t(n)).find("anna"), std::string::npos);
  EXPECT_NE(std::string(text, size_t(n)).find("ftp.example"), std::string::npos);

  // The break question and title fit the 49 characters the module keeps.
  using Wkread = int32_t (*)(int32_t, int32_t, const char**, int32_t*);
  for (int number : {msg::BREAK_QUESTION, msg::BREAK_TITLE}) {
    const char* t = nullptr;
    int32_t length = 0;
    EXPECT_EQ(service<Wkread>(0, 95)(msg::GROUP, number, &t, &length), 0);
    EXPECT_GT(length, 0);
    EXPECT_LE(length, 49);
  }
}

TEST(MessageLog, NumberedAndFormattedLines) {
  messages::clear_log();
  using Ypmlog = int32_t (*)(int32_t, int32_t, ...);
  using Ypslog = int32_t (*)(const char*, ...);
  service<Ypmlog>(30, 70)(msg::GROUP, msg::COMMAND_SENT, "USER anna");
  service<Ypmlog>(30, 70)(msg::GROUP, 4242);
  service<Ypslog>(30, 89)("%1z- Value for %s", "XXAMBIND");
  ASSERT_EQ(messages::log().size(), 3u);
  EXPECT_EQ(messages::log()[0].number, msg::COMMAND_SENT);
  EXPECT_NE(messages::log()[0].text.find("USER anna"), std::string::npos);
  EXPECT_NE(messages::log()[1].text.find("4242"), std::string::npos);  // unknown, not dropped
  EXPECT_EQ(messages::log()[2].group, 0);
  EXPECT_EQ(messages::log()[2].text, " - Value for XXAMBIND");
  EXPECT_TRUE(messages::logged(msg::COMMAND_SENT));
  messages::clear_log();
}

TEST(FailureTexts, GoWithTheNextFailureStatus) {
  using Wrmksub = int32_t (*)(int32_t, ...);
  auto wrmksub = service<Wrmksub>(0, 144);
  messages::take_failure_texts();
  const char reason[] = "Host nosuch was not found.";
  wrmksub(1, reason, int32_t(sizeof reason));
  EXPECT_EQ(messages::describe_failure(st::FAILED),
            "Host nosuch was not found. (FAILED 0x80000805)");
  EXPECT_TRUE(messages::pending_failure_texts().empty());

  int32_t length = 9;
  wrmksub(2, &length, 4, "data.txtXXX", length);
  EXPECT_EQ(messages::describe_failure(st::FILE_REFUSED),
            "remote file data.txtX (FILE_REFUSED 0x80001006)");
  // Without texts the status's own wording is shown.
  EXPECT_EQ(messages::describe_failure(st::OPEN_FAILED), "open failed (OPEN_FAILED 0x8000100F)");
}

TEST(ControlBlock, ChainsLeadToTheWaitSlotStepServicesAndTables) {
  void** block = control_block();
  EXPECT_EQ(block[gcb::MEMORY_POOL], memory::memory_pool());
  EXPECT_EQ(block[gcb::TEMP_POOL], memory::temporary_pool());
  void** slot = task_wait_slot();
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(*slot, nullptr);
  // With word 56 naming a record whose first word is not 1, that word leads on.
  uintptr_t r2[8] = {}, r1[16] = {}, task[16] = {}, override_rec[2] = {};
  r1[gcb::TASK_HOP2 / 4] = reinterpret_cast<uintptr_t>(r2);
  task[gcb::TASK_HOP1 / 4] = reinterpret_cast<uintptr_t>(r1);
  override_rec[0] = reinterpret_cast<uintptr_t>(task);
  block[gcb::TASK_OVERRIDE] = override_rec;
  EXPECT_EQ(task_wait_slot(), reinterpret_cast<void**>(&r2[gcb::TASK_WAIT_SLOT / 4]));
  block[gcb::TASK_OVERRIDE] = nullptr;
  EXPECT_EQ(task_wait_slot(), slot);

  char* services = gcb::step_services(block);
  ASSERT_NE(services, nullptr);
  for (int offset : {gcb::SVC_VARIABLE_LOOKUP, gcb::SVC_OPTION_LOOKUP, gcb::SVC_OPTION_RELEASE})
    EXPECT_NE(gcb::word(services, offset), 0u) << offset;

  EXPECT_EQ(translation_table(2)['a'], 'A');
  EXPECT_EQ(translation_table(1)['A'], 'a');
  EXPECT_EQ(translation_table(0)[0xC1], 0xC1);
  EXPECT_EQ(translation_table(5), nullptr);
}

}  // namespace

// Work files and questions to the user, as the module reaches them through
// the host's service vectors.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "host/control_block.h"
#include "host/prompt.h"
#include "host/spool.h"
#include "hostsvc/gcb.h"
#include "module/status.h"

namespace {

template <typename Fn>
Fn service(int v, int s) {
  return reinterpret_cast<Fn>(static_cast<void***>(host::control_block()[gcb::VECTORS])[v][s]);
}
using Open = int32_t (*)(void**, const void*);
using Note = int32_t (*)(void*, int32_t*);
using Point = int32_t (*)(void*, int32_t);
using Read = int32_t (*)(void*, void*, int32_t);
using Write = int32_t (*)(void*, const void*, int32_t);
auto xcopen = [] { return service<Open>(39, 7); };
auto xcnote = [] { return service<Note>(39, 6); };
auto xcpoint = [] { return service<Point>(39, 8); };
auto xcread = [] { return service<Read>(39, 9); };
auto xcwrite = [] { return service<Write>(39, 11); };

int open_descriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

TEST(WorkFile, TokensAreByteOffsetsAndMinusOneIsTheEnd) {
  int fds = open_descriptors();
  void* work = nullptr;
  char descriptor[184] = "WORK    ";
  ASSERT_EQ(xcopen()(&work, descriptor), st::OK);
  ASSERT_NE(work, nullptr);
  int32_t token = -5;
  ASSERT_EQ(xcnote()(work, &token), st::OK);
  EXPECT_EQ(token, 0);  // a new file starts at 0

  ASSERT_EQ(xcwrite()(work, "hello", 5), st::OK);
  ASSERT_EQ(xcnote()(work, &token), st::OK);
  EXPECT_EQ(token, 5);
  ASSERT_EQ(xcpoint()(work, 0), st::OK);
  ASSERT_EQ(xcpoint()(work, -1), st::OK);  // appending goes on at the end
  ASSERT_EQ(xcwrite()(work, " world", 6), st::OK);

  char buffer[16] = {};
  ASSERT_EQ(xcpoint()(work, 3), st::OK);
  ASSERT_EQ(xcread()(work, buffer, 5), st::OK);
  EXPECT_EQ(std::string(buffer, 5), "lo wo");
  ASSERT_EQ(xcnote()(work, &token), st::OK);
  EXPECT_EQ(token, 8);
  // Reading past the end, or pointing beyond it, fails rather than inventing data.
  EXPECT_EQ(xcread()(work, buffer, 4), st::FAILED);
  EXPECT_EQ(xcpoint()(work, 12), st::FAILED);
  EXPECT_EQ(xcpoint()(work, -2), st::FAILED);

  EXPECT_EQ(host::spool::open_files(), 1);
  host::spool::close(work);
  EXPECT_EQ(host::spool::open_files(), 0);
  EXPECT_EQ(open_descriptors(), fds);
  EXPECT_EQ(xcwrite()(work, "x", 1), st::FAILED);  // a closed handle is refused
}

TEST(WorkFile, InjectedFailuresAndCloseSinceMark) {
  int mark = host::spool::mark();
  void* a = nullptr;
  void* b = nullptr;
  ASSERT_EQ(xcopen()(&a, nullptr), st::OK);
  host::spool::fail_operation(2);
  EXPECT_EQ(xcwrite()(a, "x", 1), st::OK);
  EXPECT_EQ(xcwrite()(a, "y", 1), st::FAILED);
  EXPECT_EQ(xcwrite()(a, "z", 1), st::OK);
  host::spool::fail_operation(1);
  EXPECT_EQ(xcopen()(&b, nullptr), st::FAILED);
  EXPECT_EQ(b, nullptr);
  host::spool::fail_operation(0);
  host::spool::close_made(mark, host::spool::mark());
  EXPECT_EQ(host::spool::open_files(), 0);
}

using Ask = int32_t (*)(int32_t, const char*, const char*, char*, int32_t*, int32_t);

// The descriptor of the (unlinked) work file this process has open.
int work_file_descriptor() {
  DIR* d = opendir("/proc/self/fd");
  int found = -1;
  while (dirent* e = readdir(d)) {
    char target[512] = {};
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strstr(target, "ftpam-work-"))
      found = std::atoi(e->d_name);
  }
  closedir(d);
  return found;
}

// The reference host's work file past 2 GiB: a file that has grown that far
// (sparse here, so the test writes next to nothing) is still positioned to
// its end, written and read there; only a token that no longer fits the
// 32-bit position word is refused.
TEST(WorkFile, IsPositionedWrittenAndReadPast2GiB) {
  void* work = nullptr;
  char descriptor[184] = "WORK    ";
  ASSERT_EQ(xcopen()(&work, descriptor), st::OK);
  const int fd = work_file_descriptor();
  ASSERT_GE(fd, 0);
  const off64_t three_gib = off64_t(3) << 30;
  ASSERT_EQ(ftruncate64(fd, three_gib), 0);

  ASSERT_EQ(xcpoint()(work, -1), st::OK) << "the end of a file past 2 GiB";
  ASSERT_EQ(xcwrite()(work, "tail", 4), st::OK);
  EXPECT_EQ(lseek64(fd, 0, SEEK_END), three_gib + 4);
  char back[4] = {};
  ASSERT_EQ(pread64(fd, back, 4, three_gib), 4);
  EXPECT_EQ(std::string(back, 4), "tail");
  int32_t token = 0;
  EXPECT_EQ(xcnote()(work, &token), st::FAILED) << "a position a token cannot hold";

  ASSERT_EQ(xcpoint()(work, 0), st::OK);
  char start[4] = {1, 1, 1, 1};
  ASSERT_EQ(xcread()(work, start, 4), st::OK);
  EXPECT_EQ(std::string(start, 4), std::string(4, '\0'));
  host::spool::close(work);
}

TEST(Questions, AnsweredFromAScript) {
  auto wurrqst = service<Ask>(0, 216);
  host::prompt::clear_asked();
  host::prompt::set_responder(host::prompt::scripted_responder(
      {"anna", std::string(200, 'p'), "yes", "No", "n"}));
  char answer[128];
  int32_t length = -1;
  EXPECT_EQ(wurrqst(3, "Userid:", "FTP ACCESS METHOD", answer, &length, 127), st::OK);
  EXPECT_EQ(std::string(answer, size_t(length)), "anna");
  EXPECT_EQ(wurrqst(4, "Password:", "FTP Access Method", answer, &length, 127), st::OK);
  EXPECT_EQ(length, 127);  // cut to the maximum, never beyond the buffer

  int32_t word = -1;
  wurrqst(0, "Transfer a.txt?", "FTP ACCESS METHOD", nullptr, &word, 0);
  EXPECT_EQ(word, 0);  // yes leaves the answer word 0
  wurrqst(0, "Transfer b.txt?", "FTP ACCESS METHOD", nullptr, &word, 0);
  EXPECT_EQ(word, 1);
  word = 0;
  wurrqst(0, "Transfer c.txt?", "FTP ACCESS METHOD", nullptr, &word, 0);
  EXPECT_EQ(word, 1);
  // The script has run out: nobody can be asked, the question counts as no
  // and a user id stays empty.
  word = 0;
  wurrqst(0, "Interrupt?", "FTP Access Method", nullptr, &word, 0);
  EXPECT_EQ(word, 1);
  length = -1;
  wurrqst(3, "Userid:", "FTP ACCESS METHOD", answer, &length, 127);
  EXPECT_EQ(length, 0);

  ASSERT_EQ(host::prompt::asked().size(), 7u);
  EXPECT_EQ(host::prompt::asked()[1].kind, host::prompt::PASSWORD);
  EXPECT_EQ(host::prompt::asked()[1].text, "Password:");
  EXPECT_EQ(host::prompt::asked()[1].title, "FTP Access Method");
  host::prompt::set_responder(nullptr);
}

}  // namespace

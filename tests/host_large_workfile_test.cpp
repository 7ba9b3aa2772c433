// The reference host's work file past 2 GiB: a file that has grown that far
// (sparse here, so the test writes next to nothing) is still positioned to
// its end, written and read there; only a token that no longer fits the
// 32-bit position word is refused.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "host/control_block.h"
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

TEST(LargeWorkFile, IsPositionedWrittenAndReadPast2GiB) {
  void* work = nullptr;
  char descriptor[184] = "WORK    ";
  ASSERT_EQ(service<Open>(39, 7)(&work, descriptor), st::OK);
  const int fd = work_file_descriptor();
  ASSERT_GE(fd, 0);
  const off64_t three_gib = off64_t(3) << 30;
  ASSERT_EQ(ftruncate64(fd, three_gib), 0);

  ASSERT_EQ(service<Point>(39, 8)(work, -1), st::OK) << "the end of a file past 2 GiB";
  ASSERT_EQ(service<Write>(39, 11)(work, "tail", 4), st::OK);
  EXPECT_EQ(lseek64(fd, 0, SEEK_END), three_gib + 4);
  char back[4] = {};
  ASSERT_EQ(pread64(fd, back, 4, three_gib), 4);
  EXPECT_EQ(std::string(back, 4), "tail");
  int32_t token = 0;
  EXPECT_EQ(service<Note>(39, 6)(work, &token), st::FAILED) << "a position a token cannot hold";

  ASSERT_EQ(service<Point>(39, 8)(work, 0), st::OK);
  char start[4] = {1, 1, 1, 1};
  ASSERT_EQ(service<Read>(39, 9)(work, start, 4), st::OK);
  EXPECT_EQ(std::string(start, 4), std::string(4, '\0'));
  host::spool::close(work);
}

}  // namespace

// Copies of a file reference's option block for the host: out of the module
// (slot 33) and back in (slot 34). The copies belong to the caller.
#include <cstring>

#include "ftp/ftp_options.h"
#include "ftp/methods.h"
#include "module/allocation.h"
#include "module/status.h"

namespace {
FtpOptions* copy_of(const FtpOptions* source) {
  auto* block = static_cast<FtpOptions*>(mem::alloc_clear(FTP_OPTIONS_SIZE));
  if (block) std::memcpy(block, source, FTP_OPTIONS_SIZE);
  return block;
}
}  // namespace

extern "C" int32_t yxfhh2p(int32_t, int32_t, const FtpOptions* source, FtpOptions** block_out,
                           int32_t* length_out) {
  *length_out = FTP_OPTIONS_SIZE;
  *block_out = nullptr;
  if (!source) return st::BAD_OPTION_BLOCK;
  *block_out = copy_of(source);
  return *block_out ? st::OK : st::NO_MEMORY;
}

extern "C" int32_t yxfhp2h(int32_t, int32_t, const FtpOptions* source, int32_t length,
                           FtpOptions** block_out) {
  if (length != FTP_OPTIONS_SIZE || !source) return st::BAD_OPTION_BLOCK;
  FtpOptions* block = copy_of(source);
  if (!block) return st::NO_MEMORY;
  *block_out = block;
  return st::OK;
}

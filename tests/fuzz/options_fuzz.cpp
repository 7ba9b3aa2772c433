// Fuzz target: option strings, tokenized by the host and parsed option by
// option by the module, as a user's statement is. The first byte chooses the
// parse flags; the rest is the statement. HOME points at an empty directory,
// so MACH finds no .netrc.
#include <string>

#include "host/references.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::start();
  fuzz::private_home();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t choice = in.byte();
  int32_t flags = 0;
  if (choice & 1) flags |= host::references::PARSE_INPUT;
  const std::string statement = in.rest();

  fuzz::Baseline baseline;
  FtpOptions* block = nullptr;
  auto result = host::references::parse_options(statement, flags, &block);
  fuzz::require(result.ok() || block == nullptr, "a refused statement kept its block");
  fuzz::release_options(block);
  baseline.check();
  return 0;
}

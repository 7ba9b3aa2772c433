// Fuzz target: .netrc files, read through the MACH option the way a user's
// statement reaches them. The input's first line names the machine (letters,
// digits, dots and hyphens only, so that it survives the option syntax); a
// byte chooses whether others may read the file; the rest is the file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host/references.h"
#include "tests/fuzz/fuzz_support.h"

namespace {
std::string g_netrc;

std::string machine_name(const std::string& line) {
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789.-";
  std::string name;
  for (unsigned char c : line) name += alphabet[c % (sizeof alphabet - 1)];
  return name.empty() ? "m" : name;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::start();
  g_netrc = fuzz::private_home() + "/.netrc";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const std::string machine = machine_name(in.line(64));
  const mode_t mode = in.byte() & 1 ? 0644 : 0600;
  const std::string content = in.rest();
  FILE* f = std::fopen(g_netrc.c_str(), "wb");
  fuzz::require(f != nullptr, "cannot write .netrc");
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  chmod(g_netrc.c_str(), mode);

  fuzz::Baseline baseline;
  FtpOptions* block = nullptr;
  auto result = host::references::parse_options("MACH=" + machine, 0, &block);
  fuzz::require(result.ok() == (block != nullptr), "a block without success, or none with it");
  fuzz::release_options(block);
  baseline.check();
  return 0;
}

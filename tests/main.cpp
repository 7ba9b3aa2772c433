// Test entry: gives the process a loopback of its own, then loads the module
// once through the reference host before any test runs, so every test sees
// the same loaded module and control block.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/module.h"
#include "tests/support/loaded_module.h"
#include "tests/support/loopback.h"

int main(int argc, char** argv) {
  // First, while the process has one thread: test processes that run at the
  // same time never share an address, nor do the servers they start.
  std::string why;
  if (!ftptest::isolate_loopback(&why))
    std::fprintf(stderr, "no loopback of our own (%s): loopback addresses are leased\n",
                 why.c_str());
  testing::InitGoogleTest(&argc, argv);
  std::string error;
  if (!ftptest::load_module(&error)) {
    std::fprintf(stderr, "cannot load the module: %s\n", error.c_str());
    return 2;
  }
  return RUN_ALL_TESTS();
}

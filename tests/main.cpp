// Test entry: loads the module once through the reference host before any
// test runs, so every test sees the same loaded module and control block.
#include <gtest/gtest.h>

#include <cstdio>

#include "host/module.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string error;
  if (!host::Module::load_default(&error)) {
    std::fprintf(stderr, "cannot load the module: %s\n", error.c_str());
    return 2;
  }
  return RUN_ALL_TESTS();
}

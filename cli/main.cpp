// ftpam: the command-line host. For now it loads the module and shows what the
// host finds in it: the image information, the program control node and the
// method vector.
#include <cstdio>
#include <cstring>
#include <string>

#include "host/module.h"

namespace {

const char* const slot_names[45] = {
    "assign", "deassign", "exists", "exp", "physical name", "-", "enumerate", "validate",
    "information", "information items", "release items", "open", "note", "point",
    "position to number", "number to position", "-", "-", "read", "write", "flush", "close",
    "-", "-", "-", "-", "-", "-", "-", "-", "parse option", "-", "-", "copy options out",
    "copy options in", "record access", "release options", "-"};

int show_module(const std::string& path) {
  std::string error;
  host::Module* m = path.empty() ? host::Module::load_default(&error)
                                 : host::Module::load(path, &error);
  if (!m) {
    std::fprintf(stderr, "ftpam: cannot load the module: %s\n", error.c_str());
    return 1;
  }
  const ImageInfo* i = m->image();
  std::printf("module     %s\n", path.empty() ? FTPAM_MODULE_PATH : path.c_str());
  std::printf("release    %s (major %d), build %s of %s, level %s\n", i->release,
              i->major_release, i->build_id, i->build_date, i->level);
  std::printf("notice     %s\n", i->notice);
  const ProgramControlNode* n = m->node();
  std::printf("node       %.12s\n", n->name);
  const AccessMethodEntry* e = m->entry();
  std::printf("entry      %.4s %.8s, %d-slot method vector\n", e->eyecatcher, e->name,
              METHOD_SLOTS);
  void* unsupported = e->vector[5].routine;
  for (int s = 0; s < METHOD_SLOTS; ++s) {
    void* r = e->vector[s].routine;
    const char* what = !r ? "(empty)" : r == unsupported ? "not supported" : slot_names[s];
    std::printf("  slot %2d  %s\n", s, what);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string module_path;
  for (int a = 1; a < argc; ++a) {
    if (!std::strcmp(argv[a], "--module") && a + 1 < argc) module_path = argv[++a];
    else if (!std::strcmp(argv[a], "--help") || !std::strcmp(argv[a], "-h")) {
      std::printf("usage: ftpam [--module FILE] module\n"
                  "  module   load the FTP access method and show what the host finds in it\n");
      return 0;
    }
  }
  return show_module(module_path);
}

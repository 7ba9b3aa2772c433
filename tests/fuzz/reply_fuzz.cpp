// Fuzz target: the server's replies. The input, after a byte of option
// choices, is everything the server sends on the control connection: the
// greeting and the replies to USER and PASS go through the command exchange
// (putreply reads the further lines of multi-line replies), the reply to
// HELP or STAT comes back as records through the reply-line reader (yxfrd),
// and whatever is left answers QUIT at close.
#include <memory>
#include <string>

#include "host/files.h"
#include "host/references.h"
#include "module/status.h"
#include "tests/fuzz/fuzz_support.h"

namespace {
fuzz::ControlPeer* g_peer;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::start();
  g_peer = new fuzz::ControlPeer;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t choice = in.byte();
  std::string options = "HOST='" + g_peer->address() + "' USER='u' PASS='p'";
  options += choice & 1 ? " RSTAT" : " RHELP";
  if (choice & 2) options += " DEBUG";

  fuzz::Baseline baseline;
  g_peer->send_all(in.rest());
  auto assigned = host::references::assign("FUZZ", "", options);
  fuzz::require(assigned.ok(), "assign");
  std::unique_ptr<host::files::OpenFile> file;
  if (host::files::OpenFile::open("FUZZ", {}, &file) == st::OK) {
    for (int i = 0; i < 100000; ++i) {
      host::files::Record record;
      int32_t status = file->read(&record);
      if (status != st::OK && status != st::TRUNCATED) break;
      fuzz::require(record.length >= 0, "negative record length");
    }
    file->close();
  }
  file.reset();
  fuzz::require(host::references::deassign("FUZZ").ok(), "deassign");
  g_peer->finish();
  baseline.check();
  return 0;
}

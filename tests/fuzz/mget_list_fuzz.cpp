// Fuzz target: the explicit MGET list, "(name 'quoted name' ...)". The input,
// after a byte of option choices, is the list after its opening parenthesis.
// The server answers every command; a RETR is refused, so each open ends at
// the first file it tries. With MPROMPT every file is declined, so every
// name of the list is offered (and the open ends with no file to read).
#include <memory>
#include <string>

#include "host/files.h"
#include "host/prompt.h"
#include "host/references.h"
#include "module/status.h"
#include "tests/fuzz/fuzz_support.h"

namespace {
fuzz::ControlPeer* g_peer;

std::string answer(const std::string& line) {
  const std::string verb = line.substr(0, line.find(' '));
  if (line.empty()) return "220 Ready.\r\n";
  if (verb == "USER") return "331 Password.\r\n";
  if (verb == "PASS") return "230 In.\r\n";
  if (verb == "PWD") return "257 \"/\"\r\n";
  if (verb == "RETR" || verb == "NLST") return "550 No such file.\r\n";
  if (verb == "QUIT") return "221 Bye.\r\n";
  return "200 OK.\r\n";
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::start();
  g_peer = new fuzz::ControlPeer;
  host::prompt::set_responder([](const host::prompt::Request&) { return "no"; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t choice = in.byte();
  const std::string remote = "(" + in.rest();
  if (remote.size() > 1024) return -1;  // longer names are refused at assign
  std::string options = "HOST='" + g_peer->address() + "' USER='u' PASS='p'";
  if (choice & 1) options += " MPROMPT";
  if (choice & 2) options += " DEBUG";

  fuzz::Baseline baseline;
  g_peer->answer(answer);
  auto assigned = host::references::assign("FUZZ", remote, options);
  if (assigned.ok()) {
    std::unique_ptr<host::files::OpenFile> file;
    if (host::files::OpenFile::open("FUZZ", {}, &file) == st::OK) file->close();
    file.reset();
    fuzz::require(host::references::deassign("FUZZ").ok(), "deassign");
  }
  g_peer->finish();
  baseline.check();
  return 0;
}

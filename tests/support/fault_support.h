// Fault injection for the tests of reliability: user flows that run one
// operation end to end (assign, open, read or write, note/point,
// information, close, deassign) and record every entry's status, and faults
// to inject into them -- the Nth host-pool allocation, the Nth work-file
// operation, or the Nth system call of the socket layer failing or finding
// nothing ready (a stall).
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "module/host_records.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/tls_script_server.h"

namespace ftptest {

// What a flow does between open and close.
enum class Action { Read, Write, Position };

struct Flow {
  const char* name = "";
  std::string remote{};
  std::string options{};
  int32_t mode = OPEN_INPUT;
  int32_t recfm = 0;
  std::vector<ftptest::Step> steps{};   // besides the willing defaults; repeating
  Action action = Action::Read;
  std::vector<std::string> records{};  // read (NEXT_CONNECTION shows as "--next--"), or written
  std::string upload{};               // Write: what the server must have received
  int32_t piece = 0;                  // bytes asked for by each read (byte-count reads)
  bool items = false;                 // also ask for the information record and items
  // Over TLS in this mode, against the scripted TLS server serving `records`
  // as the file `remote` (and `steps` unused); the options name the mode.
  TlsMode tls = TlsMode::None;
  // The server on ::1, reached by the name kDualName, which the test's
  // resolver answers with an unreachable IPv6 address first and ::1 next.
  bool ipv6_by_name = false;
};

constexpr const char* kDualName = "ftp.dual.test";

inline void PrintTo(const Flow& flow, std::ostream* out) { *out << flow.name; }

// One entry called by a flow and what it returned.
struct Call {
  std::string entry;
  int32_t status;
  long attempts_before;  // allocations (or faults' counter) attempted before the call
  long attempts_after;
};

struct FlowOutcome {
  std::vector<Call> calls;
  std::vector<std::string> records;  // what the reads handed back
  bool all_ok = false;               // every entry succeeded (reads ending with end of data)
  bool finished_upload = false;      // Write: a new upload was recorded
  std::string upload;
  std::string describe() const;
};

// Counter the flow's calls are measured against (allocation attempts, work
// file operations or system calls since the fault was armed).
using Counter = long (*)();

// Runs `flow` against `server` once. The reference is deassigned at the end
// whatever happened.
FlowOutcome run_flow(const Flow& flow, ftptest::ScriptServer& server, Counter counter);
FlowOutcome run_flow(const Flow& flow, ftptest::TlsScriptServer& server, Counter counter);

// A scripted server willing to serve `flow` any number of times.
ftptest::Script script_for(const Flow& flow);

// Socket-layer system-call faults. install_syscall_wrappers() wraps the
// table's entries (remove_syscall_wrappers() puts the saved table back);
// while they are in place the sockets the module makes and closes are
// counted, and once armed every wrapped call counts and the Nth one fails
// (with an error fitting the call), or, for `stall`, the Nth poll reports
// nothing ready.
enum class SysFault { Fail, Stall };
void install_syscall_wrappers();
void remove_syscall_wrappers();
void arm_syscall_fault(long nth, SysFault kind);  // nth 0: no fault
long syscalls_since_armed();
// Sockets the module has made (socket, accept) and not closed since the
// wrappers were installed.
int module_sockets();

}  // namespace ftptest

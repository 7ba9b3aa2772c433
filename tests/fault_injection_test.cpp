// Fault injection over every user operation. Each flow (assign, open of one
// operation kind, reads in one format or writes, note/point, information,
// close, deassign; active or passive data connections, in clear or over TLS)
// runs against a willing scripted server, once for every
// fault it can meet: the Nth host-pool allocation failing for every N the
// flow reaches, the Nth work-file operation failing (opens for
// positioning), and the Nth system call of the socket layer failing or a
// poll finding nothing ready (a stalled server, bounded by XXAMWAIT).
//
// After every run: no pool block, descriptor, work file, reference, host
// wait registration or pushed state is left; the entry the allocation
// failure hit answered 0x80000803; and a run in which every entry reported
// success delivered exactly the records (or the upload) of a clean run.
#include <gtest/gtest.h>

#include <functional>

#include "host/events.h"
#include "host/memory.h"
#include "host/options.h"
#include "host/references.h"
#include "host/spool.h"
#include "module/status.h"
#include "tests/support/fault_support.h"
#include "tests/support/session_support.h"
#include "tests/support/sock_support.h"

namespace {

using ftptest::Action;
using ftptest::Flow;
using ftptest::FlowOutcome;
using ftptest::Data;
using ftptest::Step;
using ftptest::Writes;

Step transfer(const char* verb, Data data) {
  Step s;
  s.verb = verb;
  s.reply = "150 Here.\r\n";
  s.data = std::move(data);
  s.after = "226 Done.\r\n";
  return s;
}
Step sending(const char* verb, std::string bytes) { return transfer(verb, Data::sending(bytes)); }
Step answer(const char* verb, Writes reply) {
  Step s;
  s.verb = verb;
  s.reply = std::move(reply);
  return s;
}

std::string segment(int type, const std::string& data) {
  const size_t length = data.size() + 4;
  return std::string{char(length >> 8), char(length & 0xFF), char(type), 0} + data;
}

const Flow flows[] = {
    {"RetrLines", "f", "", OPEN_INPUT, 0, {sending("RETR", "a\r\nb\r\n")}, Action::Read,
     {"a", "b"}, "", 0, true},
    {"RetrFixed", "f", "RECFM=F LRECL=4", OPEN_INPUT, 0, {sending("RETR", "abcdefgh")},
     Action::Read, {"abcd", "efgh"}},
    {"RetrByteCount", "f", "RECFM=S LRECL=4 NONBYTE", OPEN_INPUT, 0, {sending("RETR", "abcdefg")},
     Action::Read, {"abcd", "efg"}, "", 4},
    {"RetrS370v", "f", "S370V", OPEN_INPUT, 0,
     {sending("RETR", segment(0, "ab") + segment(0, "c"))}, Action::Read, {"ab", "c"}},
    {"RetrS370vs", "f", "S370VS", OPEN_INPUT, 0,
     {sending("RETR", segment(1, "ab") + segment(2, "c") + segment(0, "d"))}, Action::Read,
     {"abc", "d"}},
    {"RetrWithCarriageControl", "f", "LRECL=8", OPEN_INPUT, RECFM_V | RECFM_CC,
     {sending("RETR", "1a\r\n-b\r\n")}, Action::Read, {"a", "b"}},
    {"RetrPositioned", "f", "", OPEN_INPUT | OPEN_POSITIONING, 0,
     {sending("RETR", "a\r\nb\r\nc\r\n")}, Action::Position, {"a", "b", "c", "b"}, "", 0, true},
    {"RetrBytesPositioned", "f", "RECFM=S LRECL=4 NONBYTE", OPEN_INPUT | OPEN_POSITIONING, RECFM_S,
     {sending("RETR", "abcdefghij")}, Action::Position, {"abcd", "efgh", "ij", "efgh"}, "", 4},
    {"Stor", "out", "", OPEN_OUTPUT, 0, {transfer("STOR", Data::receiving())}, Action::Write,
     {"x", "yz"}, "x\r\nyz\r\n", 0, true},
    {"Appe", "out", "MOD", OPEN_OUTPUT, 0, {transfer("APPE", Data::receiving())}, Action::Write,
     {"x"}, "x\r\n"},
    {"StorFixed", "out", "RECFM=F LRECL=4", OPEN_OUTPUT, 0,
     {transfer("STOR", Data::receiving())}, Action::Write, {"ab", "cdef"}, "ab  cdef"},
    {"Nlst", "", "LS", OPEN_INPUT, 0, {sending("NLST", "n1\r\nn2\r\n")}, Action::Read,
     {"n1", "n2"}},
    {"List", "", "LIST LSFILE='d'", OPEN_INPUT, 0, {sending("LIST", "-rw x\r\n")}, Action::Read,
     {"-rw x"}},
    {"Help", "", "RHELP", OPEN_INPUT, 0, {answer("HELP", "214-Help\r\n text\r\n214 End\r\n")},
     Action::Read, {"214-Help", " text", "214 End"}, "", 0, true},
    {"Stat", "", "RSTAT", OPEN_INPUT, 0, {answer("STAT", "211 Fine\r\n")}, Action::Read,
     {"211 Fine"}},
    {"RawCommand", "", "RCMD='SITE X'", OPEN_INPUT, 0, {answer("SITE", "200 Done\r\n")},
     Action::Read, {"200 Done"}},
    {"MgetList", "(a b)", "", OPEN_INPUT, 0, {sending("RETR", "r\r\n")}, Action::Read,
     {"r", "--next--", "r"}},
    {"MgetPattern", "*.txt", "MGET", OPEN_INPUT, 0,
     {sending("NLST", "a.txt\r\nb.txt\r\n"), sending("RETR", "r\r\n")}, Action::Read,
     {"r", "--next--", "r"}},
    // Sizes, times and a restart before the transfer; MGET over MLSD.
    {"RetrFactsRest", "f", "RECFM=F LRECL=4 FACTS REST=4", OPEN_INPUT, 0,
     {answer("SIZE", "213 8\r\n"), answer("MDTM", "213 20010203040506\r\n"),
      answer("REST", "350 Restarting.\r\n"), sending("RETR", "efgh")},
     Action::Read, {"efgh"}},
    {"MgetMlsd", "*.txt", "MGET FACTS", OPEN_INPUT, 0,
     {answer("FEAT", "211-Features:\r\n MLST type*;size*;\r\n211 End\r\n"),
      sending("MLSD", "type=file;size=3; a.txt\r\ntype=dir; d.txt\r\ntype=file; b.txt\r\n"),
      answer("SIZE", "213 3\r\n"), answer("MDTM", "502 No.\r\n"), sending("RETR", "r\r\n")},
     Action::Read, {"r", "--next--", "r"}},
    // Passive data connections: EPSV, and PASV after EPSV is refused.
    {"RetrLinesPassive", "f", "PASV", OPEN_INPUT, 0, {sending("RETR", "a\r\nb\r\n")},
     Action::Read, {"a", "b"}, "", 0, true},
    {"StorPassive", "out", "PASV", OPEN_OUTPUT, 0, {transfer("STOR", Data::receiving())},
     Action::Write, {"x", "yz"}, "x\r\nyz\r\n"},
    {"MgetPatternPasvAfterEpsvRefused", "*.txt", "MGET PASV", OPEN_INPUT, 0,
     {answer("EPSV", "502 No.\r\n"), sending("NLST", "a.txt\r\nb.txt\r\n"), sending("RETR", "r\r\n")},
     Action::Read, {"r", "--next--", "r"}},
    // Over TLS: handshakes, session resumption, close_notify at both ends.
    {"RetrLinesTls", "f", "TLS=EXPLICIT", OPEN_INPUT, 0, {}, Action::Read, {"a", "b"}, "", 0, true,
     ftptest::TlsMode::Explicit},
    {"StorTlsImplicitPassive", "out", "TLS=IMPLICIT PASV", OPEN_OUTPUT, 0, {}, Action::Write,
     {"x", "yz"}, "x\r\nyz\r\n", 0, false, ftptest::TlsMode::Implicit},
    // Over IPv6, by a name whose first address cannot be reached: the connect
    // goes on to the next; EPRT in active mode, EPSV alone in passive mode.
    {"RetrLinesIpv6ByName", "f", "", OPEN_INPUT, 0, {sending("RETR", "a\r\nb\r\n")},
     Action::Read, {"a", "b"}, "", 0, true, ftptest::TlsMode::None, true},
    {"StorIpv6PassiveByName", "out", "PASV", OPEN_OUTPUT, 0, {transfer("STOR", Data::receiving())},
     Action::Write, {"x", "yz"}, "x\r\nyz\r\n", 0, false, ftptest::TlsMode::None, true},
};

// Totals over the whole suite, shown at its end.
struct Figures {
  long runs = 0, allocation_faults = 0, work_file_faults = 0, syscall_faults = 0, stalls = 0;
  ~Figures() {
    if (runs)
      std::printf("[ faults ] %ld runs: %ld allocation failures, %ld work-file failures, "
                  "%ld system-call failures, %ld stalls\n",
                  runs, allocation_faults, work_file_faults, syscall_faults, stalls);
  }
} g_figures;

class FaultInjection : public ftptest::SessionTest, public testing::WithParamInterface<Flow> {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    // A wait the fault leaves without an end is bounded by XXAMWAIT.
    host::events::set_idle_limit(0);
    host::options::set("XXAMWAIT", "1");
    const Flow& flow = GetParam();
    if (flow.ipv6_by_name) {
      serve(ftptest::script_for(flow), "::1", 0);
      ftptest::answer_name(ftptest::kDualName, {"2001:db8::21", "::1"});
      ftptest::syscalls().getaddrinfo = ftptest::known_names_resolver;
    } else if (flow.tls == ftptest::TlsMode::None) {
      serve(ftptest::script_for(flow));
    } else {
      std::string error;
      tls_server_ = ftptest::TlsScriptServer::start({}, {flow.tls}, &error);
      ASSERT_TRUE(tls_server_) << error;
      host::options::set("XXAMCAFL", tls_server_->ca_file());
      std::string served;
      for (const std::string& r : flow.records) served += r + "\r\n";
      tls_server_->write_file(flow.remote, served);
    }
    ftptest::install_syscall_wrappers();
    blocks_ = host::memory::live_blocks();
    work_files_ = host::spool::open_files();
  }
  void TearDown() override {
    host::memory::fail_allocation(0);
    host::spool::fail_operation(0);
    ftptest::remove_syscall_wrappers();
    ftptest::syscalls().getaddrinfo = ftptest::original().getaddrinfo;
    ftptest::forget_names();
    if (tls_server_) tls_server_->stop();
    SessionTest::TearDown();
  }

  FlowOutcome run(ftptest::Counter counter) {
    ++g_figures.runs;
    if (tls_server_) return ftptest::run_flow(GetParam(), *tls_server_, counter);
    return ftptest::run_flow(GetParam(), server(), counter);
  }

  // Nothing of the run is left behind, and success means nothing was lost.
  void check(const FlowOutcome& o, const std::string& fault) {
    SCOPED_TRACE(fault + ": " + o.describe());
    EXPECT_EQ(host::memory::live_blocks(), blocks_) << "pool blocks left";
    EXPECT_EQ(ftptest::module_sockets(), 0) << "sockets left open";
    EXPECT_EQ(host::spool::open_files(), work_files_) << "work files left";
    EXPECT_TRUE(host::references::list().empty()) << "reference left";
    EXPECT_EQ(host::events::registered_descriptors(), 0);
    EXPECT_EQ(host::events::pushed_states(), 0);
    for (const auto& r : host::references::list()) host::references::deassign(r.name);
    if (!o.all_ok) return;
    const Flow& flow = GetParam();
    if (flow.action == Action::Write) {
      EXPECT_TRUE(o.finished_upload);
      EXPECT_EQ(o.upload, flow.upload) << "a write reported success and lost data";
    } else {
      EXPECT_EQ(o.records, flow.records) << "a read reported success and lost data";
    }
  }

  // One faulty run: its outcome, the failure texts it left, the fault's
  // number and name.
  using Judge = std::function<void(const FlowOutcome&, const std::vector<std::string>& texts,
                                   long nth, const std::string& fault)>;

  // Runs the flow with the Nth fault armed for N = 1, 2, ... until a run no
  // longer reaches the Nth (and so must succeed whole). `arm(0)` disarms.
  void sweep(const std::function<void(long)>& arm, ftptest::Counter counter,
             const std::string& what, long* figure, const Judge& judge) {
    for (long nth = 1; nth < SWEEP_LIMIT; ++nth) {
      arm(nth);
      FlowOutcome o = run(counter);
      const long reached = counter();
      arm(0);
      const std::string fault = what + " " + std::to_string(nth);
      check(o, fault);
      auto texts = failure_texts();
      if (reached < nth) {
        EXPECT_TRUE(o.all_ok) << fault << " was never reached, yet: " << o.describe();
        return;
      }
      ++*figure;
      judge(o, texts, nth, fault);
      if (HasFailure()) return;
    }
    ADD_FAILURE() << "the flow reaches more than " << SWEEP_LIMIT << " of: " << what;
  }

  // Socket-layer faults: any failure status will do, but an entry that
  // fails says why, and success must be whole.
  void sweep_syscalls(ftptest::SysFault kind, long* figure) {
    sweep([kind](long nth) { ftptest::arm_syscall_fault(nth, kind); },
          ftptest::syscalls_since_armed,
          kind == ftptest::SysFault::Stall ? "stall at poll" : "system call", figure,
          [](const FlowOutcome& o, const std::vector<std::string>& texts, long, const std::string& fault) {
            bool failed = false;
            for (const auto& c : o.calls) failed = failed || st::is_failure(c.status);
            if (failed) {
              EXPECT_FALSE(texts.empty()) << fault << " failed without a message: " << o.describe();
            }
          });
  }

  static constexpr long SWEEP_LIMIT = 400;  // far above what any flow reaches
  int blocks_ = 0, work_files_ = 0;
  std::unique_ptr<ftptest::TlsScriptServer> tls_server_;
};

TEST_P(FaultInjection, CleanRunDeliversEverything) {
  FlowOutcome o = run(host::memory::attempts_since_armed);
  EXPECT_TRUE(o.all_ok) << o.describe();
  check(o, "none");
}

// The entry during which the allocation failed answers 0x80000803.
TEST_P(FaultInjection, EveryAllocationFailureIsReportedAndLeavesNothing) {
  sweep(host::memory::fail_allocation, host::memory::attempts_since_armed, "allocation",
        &g_figures.allocation_faults,
        [](const FlowOutcome& o, const std::vector<std::string>&, long nth, const std::string& fault) {
          for (const auto& c : o.calls) {
            if (c.attempts_before < nth && nth <= c.attempts_after) {
              EXPECT_EQ(c.status, st::NO_MEMORY) << fault << " in " << c.entry << ": " << o.describe();
            }
          }
        });
}

TEST_P(FaultInjection, EveryWorkFileFailureIsReportedAndLeavesNothing) {
  if (!(GetParam().mode & OPEN_POSITIONING)) GTEST_SKIP() << "no work file";
  sweep(host::spool::fail_operation, host::spool::operations_since_armed, "work-file operation",
        &g_figures.work_file_faults,
        [](const FlowOutcome& o, const std::vector<std::string>&, long, const std::string& fault) {
          EXPECT_FALSE(o.all_ok) << fault << " went unreported: " << o.describe();
        });
}

TEST_P(FaultInjection, EverySystemCallFailureIsReportedAndLeavesNothing) {
  sweep_syscalls(ftptest::SysFault::Fail, &g_figures.syscall_faults);
}

TEST_P(FaultInjection, EveryStallEndsWithinXxamwait) {
  sweep_syscalls(ftptest::SysFault::Stall, &g_figures.stalls);
}

INSTANTIATE_TEST_SUITE_P(Flows, FaultInjection, testing::ValuesIn(flows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

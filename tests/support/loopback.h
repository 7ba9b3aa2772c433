// Loopback addresses that belong to one test process alone, so that test
// processes running at the same time never share an address.
//
// The process first tries to take a network namespace of its own, with `lo`
// up: then the whole of 127.0.0.0/8 is private to it and to every server and
// program it starts. Where the system refuses that (no privilege, no
// namespaces), each address is leased instead: an flock on a lock file per
// address in a directory all test processes share, held until the process
// ends, so the kernel gives it back even when the process is killed.
//
//   int main() { ftptest::isolate_loopback(&why); ... }    // before any thread
//   std::string address = ftptest::claim_loopback_address(&error);  // 127.0.0.N
#pragma once
#include <string>

namespace ftptest {

// Moves the process into a network namespace of its own and brings `lo` up.
// Call it once, before any thread starts: children and threads made later
// share the namespace. False, with the reason in `why`, when the system
// refuses (or the environment variable FTPAM_TEST_LEASES is set); the process
// then stays where it was and leases its share of addresses there and then,
// so the lease descriptors are open before any test counts descriptors.
bool isolate_loopback(std::string* why);

// A loopback address 127.0.0.N for a server of this process that no other
// test process is given while this one runs. Each call gives the next address
// of the process's own set, in turn, so an address comes back only after
// many others. "" with `error` set when no address can be had.
std::string claim_loopback_address(std::string* error);

}  // namespace ftptest

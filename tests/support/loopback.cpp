// Loopback addresses of one test process: a private network namespace, or
// addresses leased with flock where namespaces are refused.
#include "tests/support/loopback.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace ftptest {
namespace {

constexpr int kFirstHost = 2;  // 127.0.0.1 is the clients' own address
constexpr int kLastHost = 254;
// A process leases this many addresses and hands them out in turn, which
// leaves room for about thirty test processes at once.
constexpr std::size_t kLeases = 8;
const char* const kLeaseFolder = "/tmp/ftpam-test-loopback";

std::mutex g_mutex;
bool g_isolated = false;
std::vector<int> g_hosts;  // the N of each address the process may use
std::size_t g_next = 0;    // the one claimed next

std::string failed(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

std::string address_of(int host) { return "127.0.0." + std::to_string(host); }

bool bring_up_lo(std::string* why) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = failed("socket");
    return false;
  }
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (!up) *why = failed("ioctl on lo");
  ::close(fd);
  return up;
}

// Takes the lease of 127.0.0.`host` for the rest of the process's life; the
// descriptor is never closed (and not inherited by children).
bool lease(int host) {
  std::string path = std::string(kLeaseFolder) + "/" + address_of(host);
  int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  return true;
}

// Leases the process's share of addresses (fewer when others hold the
// rest), all at once: the descriptors it keeps are then open before any test
// counts the process's descriptors.
void lease_share() {
  if (::mkdir(kLeaseFolder, 01777) == 0) ::chmod(kLeaseFolder, 01777);  // whatever the umask
  for (int host = kFirstHost; host <= kLastHost && g_hosts.size() < kLeases; ++host)
    if (lease(host)) g_hosts.push_back(host);
}

// A network namespace of the process's own with lo up; false (and the
// process where it was) when the system refuses it.
bool enter_own_namespace(std::string* why) {
  if (const char* forced = std::getenv("FTPAM_TEST_LEASES"); forced && *forced) {
    *why = "FTPAM_TEST_LEASES is set";
    return false;
  }
  // Kept to come back to, should lo refuse to come up in the new namespace.
  int original = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (::unshare(CLONE_NEWNET) != 0) {
    *why = failed("unshare(CLONE_NEWNET)");
    if (original >= 0) ::close(original);
    return false;
  }
  bool up = bring_up_lo(why);
  if (!up && (original < 0 || ::setns(original, CLONE_NEWNET) != 0)) {
    // Stranded without a working loopback: no test could run.
    std::fprintf(stderr, "%s; cannot return to the original network namespace\n", why->c_str());
    std::abort();
  }
  if (original >= 0) ::close(original);
  return up;
}

}  // namespace

bool isolate_loopback(std::string* why) {
  std::lock_guard lock(g_mutex);
  if (g_isolated) return true;
  g_isolated = enter_own_namespace(why);
  g_hosts.clear();
  if (g_isolated) {
    for (int host = kFirstHost; host <= kLastHost; ++host) g_hosts.push_back(host);
  } else {
    lease_share();
  }
  return g_isolated;
}

std::string claim_loopback_address(std::string* error) {
  std::lock_guard lock(g_mutex);
  if (g_hosts.empty()) {
    *error = std::string("no loopback address of this process's own: none could be leased in ") +
             kLeaseFolder + " (or isolate_loopback was not called)";
    return "";
  }
  std::string address = address_of(g_hosts[g_next]);
  g_next = (g_next + 1) % g_hosts.size();
  return address;
}

}  // namespace ftptest

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
// A process leases at most this many addresses and hands them out in turn,
// which leaves room for about fifteen test processes at once.
constexpr std::size_t kMostLeases = 16;
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

// Leases one more address when the process may hold more; false when every
// address is taken.
bool lease_another(std::string* error) {
  if (::mkdir(kLeaseFolder, 01777) == 0) ::chmod(kLeaseFolder, 01777);  // whatever the umask
  for (int host = kFirstHost; host <= kLastHost; ++host) {
    bool held = false;
    for (int h : g_hosts) held |= h == host;
    if (!held && lease(host)) {
      g_hosts.push_back(host);
      return true;
    }
  }
  if (g_hosts.empty()) *error = std::string("no loopback address could be leased in ") + kLeaseFolder;
  return false;
}

}  // namespace

bool isolate_loopback(std::string* why) {
  std::lock_guard lock(g_mutex);
  if (g_isolated) return true;
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
  g_isolated = bring_up_lo(why);
  if (!g_isolated && (original < 0 || ::setns(original, CLONE_NEWNET) != 0)) {
    // Stranded without a working loopback: no test could run.
    std::fprintf(stderr, "%s; cannot return to the original network namespace\n", why->c_str());
    std::abort();
  }
  if (original >= 0) ::close(original);
  if (g_isolated) {
    g_hosts.clear();
    for (int host = kFirstHost; host <= kLastHost; ++host) g_hosts.push_back(host);
  }
  return g_isolated;
}

bool loopback_isolated() {
  std::lock_guard lock(g_mutex);
  return g_isolated;
}

std::string claim_loopback_address(std::string* error) {
  std::lock_guard lock(g_mutex);
  // A new lease is handed out first; once the process holds its share, the
  // addresses it holds come round in turn, the oldest first.
  if (!g_isolated && g_hosts.size() < kMostLeases && lease_another(error))
    g_next = g_hosts.size() - 1;
  if (g_hosts.empty()) return "";
  std::string address = address_of(g_hosts[g_next]);
  g_next = (g_next + 1) % g_hosts.size();
  return address;
}

}  // namespace ftptest

// Name and service resolution: the remote host (yxshost, with every
// address of a name for the connect), the service (yxsserv) and the local
// machine's own name and address.
#include <arpa/inet.h>
#include <cstring>

#include "module/status.h"
#include "sock/internal.h"
#include "util/util.h"

namespace {

constexpr int NAME_MAX_LENGTH = SOCK_TEXT;
constexpr int32_t PORT_MAX = 65535;
const char LOCALHOST[] = "LOCALHOST";

// The name at `text`: up to its first NUL, at most `limit` characters,
// without trailing blanks.
int32_t name_length(const char* text, int32_t limit) {
  if (!text || limit <= 0) return 0;
  return wzstrip(text, int32_t(strnlen(text, size_t(limit))));
}

// Looks a name up as given and, when that fails, once more in lower case.
template <typename Entry, typename Lookup>
Entry* lookup_twice(char* name, int32_t length, Lookup lookup) {
  Entry* entry = lookup(name);
  if (!entry) {
    wzstrlo(name, length);
    entry = lookup(name);
  }
  return entry;
}

const char* family_name(int family) { return family == AF_INET6 ? "IPv6" : "IPv4"; }

void keep_address(sock_conn* block, int32_t type, const sock::Address& address) {
  block->address_type = type;
  block->address_length = address.family == AF_INET6 ? 16 : 4;
  std::memcpy(block->address, address.bytes, size_t(block->address_length));
}

// A name given as an address of either family: true with *address set.
bool literal_address(const char* name, sock::Address* address) {
  std::memset(address, 0, sizeof *address);
  in_addr_t dotted = inet_addr(name);
  if (dotted != INADDR_NONE) {
    address->family = AF_INET;
    std::memcpy(address->bytes, &dotted, 4);
    return true;
  }
  address->family = AF_INET6;
  return inet_pton(AF_INET6, name, address->bytes) == 1;
}

}  // namespace

namespace sock {

int family_allowed(const sock_conn* block) {
  if (block->family_wanted == FAMILY_IPV4) return AF_INET;
  if (block->family_wanted == FAMILY_IPV6) return AF_INET6;
  return AF_UNSPEC;
}

// A dotted IPv4 address is taken as it is (inet_addr, so 255.255.255.255 is
// a name), and so is an IPv6 address; a name is looked up with getaddrinfo,
// as given and then in lower case. The resolver's first address is kept in
// the block, and the canonical name it reports.
int32_t resolve_host(sock_conn* block, int family, AddressList* all) {
  const int32_t limit = min(block->host_name_size, NAME_MAX_LENGTH);
  int32_t length = name_length(block->host_name, limit);
  if (length == 0 && block->host_name && limit > 0) {
    yxs_syscalls.gethostname(block->host_name, size_t(limit));
    length = name_length(block->host_name, limit);
  }
  if (length == 0) {
    ypmlog(msg::GROUP, msg::NO_HOST_NAME);
    return st::OPEN_FAILED;
  }
  char name[NAME_MAX_LENGTH + 1];
  std::memcpy(name, block->host_name, size_t(length));
  name[length] = '\0';
  if (all) all->count = 0;

  Address address;
  if (literal_address(name, &address)) {
    if (family != AF_UNSPEC && family != address.family)
      return report_message(msg::NO_ADDRESS_OF_FAMILY, name, family_name(family));
    keep_address(block, 0, address);
    if (all) all->entries[all->count++] = address;
    return st::OK;
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = lookup_twice<addrinfo>(name, length, [&](const char* n) -> addrinfo* {
    addrinfo* list = nullptr;
    return yxs_syscalls.getaddrinfo(n, nullptr, &hints, &list) == 0 ? list : nullptr;
  });
  int kept = 0;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    if (!a->ai_addr || (a->ai_family != AF_INET && a->ai_family != AF_INET6)) continue;
    sockaddr_storage socket_address;
    std::memset(&socket_address, 0, sizeof socket_address);
    std::memcpy(&socket_address, a->ai_addr,
                size_t(min(int32_t(a->ai_addrlen), int32_t(sizeof socket_address))));
    address = address_of(socket_address);
    if (kept++ == 0) {
      keep_address(block, a->ai_family, address);
      set_text(block->service_host_name, found->ai_canonname ? found->ai_canonname : name);
    }
    if (all && all->count < ADDRESSES_MAX) all->entries[all->count++] = address;
  }
  if (found) yxs_syscalls.freeaddrinfo(found);
  if (kept > 0) return st::OK;
  if (family != AF_UNSPEC)
    return report_message(msg::NO_ADDRESS_OF_FAMILY, name, family_name(family));
  return report_message(msg::UNKNOWN_HOST, name);
}

}  // namespace sock

extern "C" {

int32_t yxshost(sock_conn* block) {
  return sock::resolve_host(block, sock::family_allowed(block), nullptr);
}

// A number that is not a port (below 0 or above 65535) is looked up as a
// name like any other text, and so is refused as an unknown service.
int32_t yxsserv(sock_conn* block, int32_t max_length, int32_t* port_out) {
  const char* text = block->service_name ? block->service_name : "";
  int32_t limit = min(max_length, NAME_MAX_LENGTH);
  int32_t skipped = 0;
  while (skipped < limit && text[skipped] == ' ') ++skipped;
  char name[NAME_MAX_LENGTH + 1];
  int32_t length = name_length(text + skipped, limit - skipped);
  std::memcpy(name, text + skipped, size_t(length));
  name[length] = '\0';
  block->service_name_text[0] = '\0';

  int32_t converted = 0, number = 0;
  if (wzrlchr(name, length, 0, &converted, &number) == 0 && number >= 0 && number <= PORT_MAX) {
    *port_out = htons(uint16_t(number));
    return st::OK;
  }
  servent* service = lookup_twice<servent>(
      name, length, [](const char* n) { return yxs_syscalls.getservbyname(n, "tcp"); });
  if (!service) return report_message(msg::UNKNOWN_SERVICE, name);
  *port_out = uint16_t(service->s_port);
  sock::set_text(block->service_name_text, name);
  return st::OK;
}

}  // extern "C"

namespace sock {

void identify_local_host(sock_conn* block, OpenKind kind) {
  if (block->local_only) {
    set_text(block->local_host_name, LOCALHOST);
    if (kind != OpenKind::CLIENT) block->local_host_ip[0] = '\0';
    return;
  }
  if (yxs_syscalls.gethostname(block->local_host_name, SOCK_TEXT) != 0) {
    set_text(block->local_host_name, LOCALHOST);
    if (kind == OpenKind::SERVER && block->host_name && block->host_name_size > 0)
      set_text(block->host_name, LOCALHOST, min(block->host_name_size, SOCK_TEXT) - 1);
  }
  block->local_host_name[SOCK_TEXT - 1] = '\0';
  hostent* host = yxs_syscalls.gethostbyname(block->local_host_name);
  if (host && host->h_addrtype == AF_INET && host->h_addr_list && host->h_addr_list[0])
    set_dotted(block->local_host_ip, host->h_addr_list[0]);
}

}  // namespace sock

// Name and service resolution: the remote host (yxshost), the service
// (yxsserv) and the local machine's own name and address.
#include <arpa/inet.h>
#include <cstring>

#include "module/status.h"
#include "sock/internal.h"
#include "util/util.h"

namespace {

constexpr int NAME_MAX_LENGTH = SOCK_TEXT;
constexpr int ADDRESS_MAX = 20;
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

}  // namespace

extern "C" {

int32_t yxshost(sock_conn* block) {
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

  in_addr_t dotted = inet_addr(name);
  if (dotted != INADDR_NONE) {
    block->address_type = 0;
    block->address_length = 4;
    std::memcpy(block->address, &dotted, 4);
    return st::OK;
  }
  hostent* host = lookup_twice<hostent>(name, length, yxs_syscalls.gethostbyname);
  if (!host || !host->h_addr_list || !host->h_addr_list[0])
    return report_message(msg::UNKNOWN_HOST, name);
  block->address_type = host->h_addrtype;
  block->address_length = host->h_length < 0 ? 0 : min(host->h_length, ADDRESS_MAX);
  std::memcpy(block->address, host->h_addr_list[0], size_t(block->address_length));
  sock::set_text(block->service_host_name, host->h_name);
  return st::OK;
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

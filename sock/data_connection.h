// What the FTP layer's data connection needs of the socket layer beyond the
// exported entries (sock/yxsoc.h): the descriptor a block reads and writes,
// waiting for one of several descriptors, dropping an accepted peer, and the
// passive-mode connect that waits in the host's event wait.
#pragma once
#include <cstdint>

#include "sock/sock_conn.h"

namespace sock {

// Closes the accepted socket of a listening block, which then waits for the
// next peer again (yxsacc).
void drop_accepted(sock_conn* block);
// Which of `descriptors` (at most 32) are readable
// now: bit i of *ready for descriptors[i]. Does not wait.
int32_t poll_readable(const int32_t* descriptors, int count, uint32_t* ready);
// Waits until at least one of `descriptors` is readable, with *ready as
// above. A wait that ends with nothing readable fails with message 210 when
// wait_value is positive and goes on otherwise.
int32_t wait_readable(const int32_t* descriptors, int count, int32_t* break_word,
                      BreakRoutine break_routine, int32_t wait_value, uint32_t* ready);
// Opens `block` as a TCP client of `address` (network order: 4 bytes for
// AF_INET, 16 for AF_INET6, as `family` says) and `port` without name lookups, waiting for the connect in the host's event
// wait: the block's wait_value bounds it and, with a break word, a confirmed
// break ends it. A failure hands its text to the host and leaves the block
// idle.
int32_t connect_within_wait(sock_conn* block, int32_t family, const void* address,
                            int32_t port);
// The descriptor reads and writes use: the accepted socket when there is one.
inline int32_t data_socket(const sock_conn* block) {
  return block->accepted_socket != -1 ? block->accepted_socket : block->main_socket;
}

}  // namespace sock

// Routines shared by the files of the socket layer and kept out of the
// module's export table.
#pragma once
#include <cstdint>
#include <netdb.h>
#include <netinet/in.h>

#include "hostsvc/hostsvc.h"
#include "module/failure.h"
#include "module/msgno.h"
#include "sock/data_connection.h"
#include "sock/sock_conn.h"
#include "sock/syscalls.h"

extern "C" SockSyscalls yxs_syscalls;

// Descriptors the bit set can name: 16096 bytes of 32-bit words.
constexpr int FD_BITMAP_BITS = FD_BITMAP_BYTES * 8;
constexpr int FD_BITMAP_WORDS = FD_BITMAP_BYTES / 4;
// The largest carry a refill keeps: three bytes of a split descriptor word.
constexpr int MAX_CARRY = 3;
// Path field of a local socket address.
constexpr int LOCAL_PATH_MAX = 108;

extern "C" {
int32_t yxshost(sock_conn* block);
int32_t yxsserv(sock_conn* block, int32_t max_length, int32_t* port_out);
void sock_option(int32_t socket, int32_t send_size, int32_t receive_size);
void yxtzbit(uint32_t* bitmap, int32_t descriptor, int32_t on);
int32_t readblk(int32_t descriptor, int32_t carry, sock_conn* block);
// Reads at most `capacity` bytes of the block's stream straight into `into`
// (*got of them), as a refill of an empty read buffer would.
int32_t read_direct(sock_conn* block, char* into, int32_t capacity, int32_t* got);
int32_t mywrite(int32_t descriptor, const char* data, int32_t length);
void drop370msg(int32_t segment_number);
}

namespace sock {

// Which open is identifying the local host: only the TCP client leaves
// local_host_ip alone when the block is local_only, only the server writes
// "LOCALHOST" back into host_name when the machine has no name.
enum class OpenKind { CLIENT, SERVER, OTHER };
void identify_local_host(sock_conn* block, OpenKind kind);

// Buffer preparation of every open, once its socket is connected or bound.
int32_t prepare_buffers(sock_conn* block);
// A block that reads first, once its stream has brought READ_BUFFER_GROWTH
// times its read buffer's size, gets one twice as large before the next
// refill, up to its block size (at most READ_BUFFER_LARGEST), keeping the
// `carry` bytes at its start: a long transfer soon reads in large blocks
// while a short file or a listing keeps the small buffer it started with.
// Without memory for the larger buffer the block goes on with one of the
// size it had; NO_MEMORY (the block without a read buffer) only when not
// even that can be had again.
constexpr int32_t READ_BUFFER_GROWTH = 4;
constexpr int32_t READ_BUFFER_LARGEST = 1 << 20;
int32_t grow_read_buffer(sock_conn* block, int32_t carry);
// Returns read_buffer, write_buffer, record, staging, terminator and fd_bitmap
// to the host, in that order, and nulls them.
void release_buffers(sock_conn* block);
// Obtains the descriptor bit set when the block has none yet.
int32_t ensure_bitmap(sock_conn* block);
// A failed open after its socket exists: closes the socket and releases the
// buffers the open obtained, leaving the block idle. Returns `status`.
int32_t abandon_open(sock_conn* block, int socket, int32_t status);
// The last steps of every open: buffers, the bit set where the open watches
// its socket (with `watch`), and the socket recorded in the block.
int32_t finish_open(sock_conn* block, int socket, bool watch);
// Hands the system error text to the host, closes `socket`, returns FAILED.
int32_t fail_and_close(int socket);
// Fails with errno set to `error`: the system's text goes to the host.
int32_t fail_with_errno(int error);


// Copies at most `length` bytes of `text` (stopping at a NUL) into a
// 128-byte field, cut to fit and NUL-terminated.
void set_text(char* field, const char* text, int length);
void set_text(char* field, const char* text);
// The dotted form of an IPv4 address in network byte order.
void set_dotted(char* field, const void* address);

// One address of either family, in network order.
struct Address {
  int32_t family;           // AF_INET or AF_INET6
  unsigned char bytes[16];  // AF_INET: the first 4
};
// The addresses a name resolves to, in the resolver's order (at most
// ADDRESSES_MAX; any more are not tried).
constexpr int ADDRESSES_MAX = 16;
struct AddressList {
  int count;
  Address entries[ADDRESSES_MAX];
};

// The socket family a block's family_wanted allows: AF_INET, AF_INET6, or
// AF_UNSPEC for either.
int family_allowed(const sock_conn* block);
// yxshost restricted to `family` (AF_UNSPEC: either): fills address,
// address_length, address_type and service_host_name from the first address
// and, with `all`, lists every address found.
int32_t resolve_host(sock_conn* block, int family, AddressList* all);
// The socket address of `address` and `port` (network order) and its length.
socklen_t socket_address(const Address& address, uint16_t port, sockaddr_storage* out);
// The address and the port (network order) of a socket address.
Address address_of(const sockaddr_storage& socket_address);
uint16_t port_of(const sockaddr_storage& socket_address);
// The usual text form of an address: dotted IPv4, or IPv6 as inet_ntop writes it.
void set_address_text(char* field, const Address& address);
// Records where `socket` ends locally: local_sockaddr (IPv6: its family and
// port only) and local_host_ip. False when the system cannot say.
bool record_local_end(sock_conn* block, int socket);

// Accepts on a listening socket, repeating an accept that a signal
// interrupted. Returns the new socket, or -1 with errno set.
int accept_peer(int listener, sockaddr_storage* peer);
// Records an accepted peer: its address (message 8) and its name.
void note_accepted_peer(sock_conn* block, const sockaddr_storage& peer);

// One connect to `address`, port `port` (network order), made non-blocking
// and watched in slices within `limit_ms` (< 0: until the system gives up),
// with breaks checked between slices. OK with *socket_out connected and
// blocking; CONNECT_NOT_MADE with the reason in *error (an errno value, or
// LIMIT_PASSED) and no socket left; any other status is a failure already
// reported (a break, a failed poll). With `reset_is_connected` a connection
// reset before it is looked at counts as made: the first read reports it.
// *waited_ms counts the slices spent.
constexpr int32_t CONNECT_NOT_MADE = 1;
constexpr int LIMIT_PASSED = -1;
int32_t connect_once(sock_conn* block, const Address& address, uint16_t port, int64_t limit_ms,
                     bool reset_is_connected, int* socket_out, int* error, int64_t* waited_ms);

// One sleep in the host's event wait until one of `descriptors` is readable
// or the host's idle limit passes (no sleep at all when count is 0). With a break word the host's break routine
// is pushed around it; a confirmed break fails with message 37.
int32_t host_wait(const int32_t* descriptors, int count, int32_t* break_word,
                  BreakRoutine break_routine);
// Without sleeping, lets the host run the break routine for a break requested
// since the last wait, with the same break word and wait slot as a wait; a
// confirmed break fails with message 37. Nothing to do without a break word.
int32_t check_break(int32_t* break_word, BreakRoutine break_routine);

// A stream that reads first and finds nothing waits a moment, at most
// GATHER_WAIT_MICROSECONDS, for a batch of up to GATHER_BYTES (and at most
// `bytes`) rather than for its first byte, sleeping through the sender's
// smaller writes: when a server sends more slowly than the records are
// taken (a text transfer it converts), each of its writes would otherwise
// wake the reader for a few records, and the wake-ups slow the server down.
// The end of the stream or an error ends the moment too. True when the
// socket is readable; false after the moment (or when it cannot be set up),
// and then the host's wait follows. The socket's low-water mark is one byte
// again on return, so that the host's wait sees every byte.
constexpr int32_t GATHER_BYTES = 512 * 1024;
constexpr int GATHER_WAIT_MICROSECONDS = 20000;
bool gather(int descriptor, int32_t bytes);

// The reads, writes and end of a block whose connection is TLS (block->tls
// set; sock/tls.cpp). tls_receive: as a refill's one read, *got > 0 bytes or
// the end of data (END_OF_DATA after the peer's close_notify, a failure after
// an end without it on a block that requires it). tls_send: all of `data`.
// tls_close: close_notify (after an upload, the peer's end awaited, bounded)
// and the TLS state released; the socket is the caller's to close.
int32_t tls_receive(sock_conn* block, char* into, int32_t capacity, int32_t* got);
int32_t tls_send(sock_conn* block, const char* data, int32_t length);
void tls_close(sock_conn* block);


}  // namespace sock

// The connection block of the socket layer: one per TCP (or local) connection.
// Its user obtains it zero-filled from the host memory pool, fills the fields
// marked "caller" and releases it; the layer never allocates or frees the
// block itself. Other host components read and write these offsets directly,
// so the layout is fixed to the byte.
#pragma once
#include <cstddef>
#include <cstdint>

// Bits of `direction`.
constexpr int32_t SOCK_READS = 1;
constexpr int32_t SOCK_WRITES = 2;

// Bits of `read_mode`; the lowest set bit decides.
constexpr int32_t READ_TERMINATED = 1;
constexpr int32_t READ_FIXED = 2;
constexpr int32_t READ_BYTE_COUNT = 4;
constexpr int32_t READ_S370V = 8;
constexpr int32_t READ_S370VS = 16;

// Values of `terminator_kind`; anything else means LF.
constexpr int32_t TERM_LF = 0;
constexpr int32_t TERM_CRLF = 1;
constexpr int32_t TERM_NUL = 4;

// Values of `family_wanted`: which addresses of a name a connect may use.
constexpr int32_t FAMILY_ANY = 0;
constexpr int32_t FAMILY_IPV4 = 4;
constexpr int32_t FAMILY_IPV6 = 6;

constexpr int SOCK_TEXT = 128;
constexpr int FD_BITMAP_BYTES = 16096;

using BreakRoutine = int32_t (*)();

struct TlsConn;  // the socket layer's TLS state of a connection (sock/tls.cpp)

struct sock_conn {
  char* host_name;              // caller: name or dotted address; empty -> local name written back
  int32_t host_name_size;       // caller: capacity of host_name
  int32_t direction;            // caller: SOCK_READS | SOCK_WRITES
  int32_t read_mode;            // caller: READ_* bits
  int32_t block_size;           // caller: sizes the read and write buffers
  int32_t byte_count;           // caller: byte-count mode, bytes wanted (< 0: one read's worth)
  int32_t terminator_kind;      // caller: TERM_*
  int32_t record_size;          // caller: record buffer size; 0 -> 256, < 0 fails the open
  int32_t accept_count;         // caller: further connections to accept on a listening block
  char* service_name;           // caller: port number or service name
  int32_t* break_word;          // caller: null = waits cannot be broken
  BreakRoutine break_routine_copy;  // caller: kept for the caller, not read here
  int32_t segment_count;        // S370VS segment headers read so far
  int32_t server_mode;          // 1 after yxssopn
  char* record;                 // record buffer (record_size bytes)
  int32_t record_length;
  char* staging;                // write staging buffer (record_size + terminator_length)
  int32_t staging_length;       // caller: bytes put in staging
  int32_t terminator_length;
  char* terminator;             // 4-byte buffer holding the terminator
  int32_t main_socket;          // connected or listening socket; -1 when none
  int32_t accepted_socket;      // accepted socket; -1 when none
  unsigned char local_sockaddr[16];  // IPv4: the local socket address; IPv6: its family and
                                     //   port, the rest zero (the address is in local_host_ip)
  int32_t service_portno;       // remote/bound port; data sockets: port * 65536
  int32_t address_type;
  char service_ip[SOCK_TEXT];
  char accepted_peer_ip[SOCK_TEXT];
  char local_host_ip[SOCK_TEXT];
  char service_host_name[SOCK_TEXT];
  char service_name_text[SOCK_TEXT];
  char local_host_name[SOCK_TEXT];
  char accepted_peer_name[SOCK_TEXT];
  uint32_t* fd_bitmap;          // FD_BITMAP_BYTES, from the first open until yxsclos
  int32_t write_buffer_size;    // 0: writes go straight to the socket
  int32_t read_buffer_size;
  char* read_buffer;
  char* write_buffer;
  int32_t read_end;             // valid bytes in read_buffer after the last refill
  int32_t read_pos;             // next unread byte
  int32_t read_avail;           // unread bytes left
  int32_t at_eof;               // sticky end of file; callers may set and clear it
  int32_t reaccept_pending;
  int32_t address_length;
  unsigned char address[20];    // network order: 4 bytes of IPv4 or 16 of IPv6 (address_length)
  int32_t bytes_consumed;       // counts modulo 2^32: past 2 GiB it wraps
  BreakRoutine break_routine;   // pushed around every breakable wait
  void* owner_fileref;          // caller: not read here
  int32_t wait_value;           // XXAMWAIT seconds; > 0: a silent wait fails
  int32_t data_port;            // caller: port yxscsoc binds to (low 16 bits); 0 = any
  int32_t local_only;           // caller: no name lookups, local name "LOCALHOST"
  int32_t write_fill;           // bytes waiting in write_buffer
  int32_t write_count;          // write runs issued
  int32_t line_limit;           // caller: a terminated line longer than this fails; 0 = none
  int32_t read_first;           // caller: 1 = refills try a non-blocking read before waiting
  int32_t reset_is_end;         // caller: 1 = a reset by the peer ends the stream (reads and
                                //   yxswrit give END_OF_DATA), as a close does
  TlsConn* tls;                 // layer: TLS state while the connection is TLS, else null
  int32_t family_wanted;        // caller: FAMILY_*; the data socket's family (0: IPv4)
  int32_t address_family;       // layer: AF_INET or AF_INET6 of the open connection or socket
  unsigned char reserved[16];   // zero, unused
};

static_assert(sizeof(sock_conn) == 1144);
static_assert(offsetof(sock_conn, host_name) == 0);
static_assert(offsetof(sock_conn, host_name_size) == 4);
static_assert(offsetof(sock_conn, direction) == 8);
static_assert(offsetof(sock_conn, read_mode) == 12);
static_assert(offsetof(sock_conn, block_size) == 16);
static_assert(offsetof(sock_conn, byte_count) == 20);
static_assert(offsetof(sock_conn, terminator_kind) == 24);
static_assert(offsetof(sock_conn, record_size) == 28);
static_assert(offsetof(sock_conn, accept_count) == 32);
static_assert(offsetof(sock_conn, service_name) == 36);
static_assert(offsetof(sock_conn, break_word) == 40);
static_assert(offsetof(sock_conn, break_routine_copy) == 44);
static_assert(offsetof(sock_conn, segment_count) == 48);
static_assert(offsetof(sock_conn, server_mode) == 52);
static_assert(offsetof(sock_conn, record) == 56);
static_assert(offsetof(sock_conn, record_length) == 60);
static_assert(offsetof(sock_conn, staging) == 64);
static_assert(offsetof(sock_conn, staging_length) == 68);
static_assert(offsetof(sock_conn, terminator_length) == 72);
static_assert(offsetof(sock_conn, terminator) == 76);
static_assert(offsetof(sock_conn, main_socket) == 80);
static_assert(offsetof(sock_conn, accepted_socket) == 84);
static_assert(offsetof(sock_conn, local_sockaddr) == 88);
static_assert(offsetof(sock_conn, service_portno) == 104);
static_assert(offsetof(sock_conn, address_type) == 108);
static_assert(offsetof(sock_conn, service_ip) == 112);
static_assert(offsetof(sock_conn, accepted_peer_ip) == 240);
static_assert(offsetof(sock_conn, local_host_ip) == 368);
static_assert(offsetof(sock_conn, service_host_name) == 496);
static_assert(offsetof(sock_conn, service_name_text) == 624);
static_assert(offsetof(sock_conn, local_host_name) == 752);
static_assert(offsetof(sock_conn, accepted_peer_name) == 880);
static_assert(offsetof(sock_conn, fd_bitmap) == 1008);
static_assert(offsetof(sock_conn, write_buffer_size) == 1012);
static_assert(offsetof(sock_conn, read_buffer_size) == 1016);
static_assert(offsetof(sock_conn, read_buffer) == 1020);
static_assert(offsetof(sock_conn, write_buffer) == 1024);
static_assert(offsetof(sock_conn, read_end) == 1028);
static_assert(offsetof(sock_conn, read_pos) == 1032);
static_assert(offsetof(sock_conn, read_avail) == 1036);
static_assert(offsetof(sock_conn, at_eof) == 1040);
static_assert(offsetof(sock_conn, reaccept_pending) == 1044);
static_assert(offsetof(sock_conn, address_length) == 1048);
static_assert(offsetof(sock_conn, address) == 1052);
static_assert(offsetof(sock_conn, bytes_consumed) == 1072);
static_assert(offsetof(sock_conn, break_routine) == 1076);
static_assert(offsetof(sock_conn, owner_fileref) == 1080);
static_assert(offsetof(sock_conn, wait_value) == 1084);
static_assert(offsetof(sock_conn, data_port) == 1088);
static_assert(offsetof(sock_conn, local_only) == 1092);
static_assert(offsetof(sock_conn, write_fill) == 1096);
static_assert(offsetof(sock_conn, write_count) == 1100);
static_assert(offsetof(sock_conn, line_limit) == 1104);
static_assert(offsetof(sock_conn, read_first) == 1108);
static_assert(offsetof(sock_conn, reset_is_end) == 1112);
static_assert(offsetof(sock_conn, tls) == 1116);
static_assert(offsetof(sock_conn, family_wanted) == 1120);
static_assert(offsetof(sock_conn, address_family) == 1124);
static_assert(offsetof(sock_conn, reserved) == 1128);

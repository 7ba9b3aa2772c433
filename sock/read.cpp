// Reading records: yxsread cuts the byte stream of a block into records by
// terminator, fixed length, byte count or S370V / S370VS descriptor words;
// readblk refills the read buffer with one read (after re-accepting when the
// previous peer of a listening block has closed); drop370msg reports S370VS
// segments that cannot belong to a record.
//
// A block with read_first set (the FTP data connection) departs from the
// wait-then-read order for speed: each refill first tries a non-blocking
// read and waits in the host only when nothing is there (after a moment of
// gathering, sock::gather), so a transfer that keeps the socket full costs
// one system call per refill. Such a refill still
// lets the host deliver a pending break first, so a break ends a transfer
// that never stalls. Long records of such blocks are read straight into the
// record buffer instead of through the read buffer. A record that lies whole
// in the read buffer is taken at once (sock/in_place.h).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "module/allocation.h"
#include "module/status.h"
#include "sock/in_place.h"
#include "sock/internal.h"
#include "sock/yxsoc.h"

namespace {

using sock::DESCRIPTOR_LENGTH;
// Records (or what is left of them) at least this long skip the read buffer
// when it is empty and the block reads first.
constexpr int32_t DIRECT_READ_MIN = 4096;

enum SegmentType { COMPLETE = 0, FIRST = 1, LAST = 2, MIDDLE = 3 };

// The count of consumed bytes wraps at 2^32 instead of overflowing.
inline void count_consumed(sock_conn* block, int32_t n) {
  block->bytes_consumed = int32_t(uint32_t(block->bytes_consumed) + uint32_t(n));
}

// One call of yxsread: the block, the carry its next refill keeps, and
// whether the record was cut to record_size.
struct Reader {
  sock_conn* block;
  int32_t carry = 0;
  bool truncated = false;

  int32_t refill() { return readblk(sock::data_socket(block), carry, block); }

  const char* unread() const { return block->read_buffer + block->read_pos; }

  // Consumes n unread bytes and returns where they start.
  const char* take(int32_t n) {
    const char* p = unread();
    block->read_pos += n;
    block->read_avail -= n;
    count_consumed(block, n);
    return p;
  }

  // Appends n bytes to the record, as far as the record buffer allows.
  void store(const char* p, int32_t n) {
    if (block->record_length + n > block->record_size) {
      truncated = true;
      n = block->record_size - block->record_length;
    }
    std::memcpy(block->record + block->record_length, p, size_t(n));
    block->record_length += n;
  }

  // Moves at most n (> 0) bytes of the stream into the record, *moved of
  // them: straight from the socket when the read buffer is empty and the
  // bytes are many and fit, otherwise through the read buffer.
  int32_t move(int32_t n, int32_t* moved) {
    if (block->read_first && block->read_avail == 0 && carry == 0 && n >= DIRECT_READ_MIN &&
        n <= block->record_size - block->record_length) {
      int32_t status = read_direct(block, block->record + block->record_length, n, moved);
      if (status != st::OK) return status;
      block->record_length += *moved;
      count_consumed(block, *moved);
      return st::OK;
    }
    int32_t status = refill();
    if (status != st::OK) return status;
    *moved = std::min(block->read_avail, n);
    store(take(*moved), *moved);
    return st::OK;
  }

  // Keeps the last unread bytes for the next refill, which reads behind them.
  void keep_as_carry() {
    carry = block->read_avail;
    std::memmove(block->read_buffer, unread(), size_t(carry));
    block->read_avail = 0;
  }

  // The carry, waiting at the start of the read buffer, goes into the record.
  void keep_carry_in_record() {
    count_consumed(block, carry);
    store(block->read_buffer, carry);
    carry = 0;
  }

  int32_t done() const { return truncated ? st::TRUNCATED : st::OK; }
  // A stream that ends inside a descriptor word, or before the data its
  // descriptor promised, has lost a record: not a clean end of data.
  int32_t cut_off(int32_t status) const {
    return status == st::END_OF_DATA ? report_message(msg::RECORD_CUT_OFF) : status;
  }

  int32_t terminated();
  int32_t fixed();
  int32_t byte_count();
  int32_t s370v();
  int32_t s370vs();
  int32_t descriptor(int32_t* segment_length, int* type);
};

// With a line limit, a line that goes on past it fails (the system's "Message
// too long") instead of being consumed for as long as the peer sends: a
// control connection must not read forever from a server that never ends
// its line.
int32_t Reader::terminated() {
  const int32_t term_length = block->terminator_length == 2 ? 2 : 1;
  const char term = block->terminator[0];
  const uint32_t started = uint32_t(block->bytes_consumed);
  while (!block->at_eof) {
    const uint32_t line_so_far = uint32_t(block->bytes_consumed) - started;
    if (block->line_limit > 0 && line_so_far > uint32_t(block->line_limit))
      return sock::fail_with_errno(EMSGSIZE);
    int32_t status = refill();
    if (status != st::OK) {
      // A byte held back as carry is data of the unfinished line. A last
      // line cut to the record size says so; the end comes with the next read.
      keep_carry_in_record();
      return status == st::END_OF_DATA && truncated ? st::TRUNCATED : status;
    }
    const char* p = unread();
    const int32_t avail = block->read_avail;
    if (term_length == 1) {
      auto* hit = static_cast<const char*>(std::memchr(p, term, size_t(avail)));
      if (hit) {
        int32_t n = int32_t(hit - p);
        store(take(n + 1), n);
        return done();
      }
      store(take(avail), avail);
      continue;
    }
    // CR LF: each byte is looked at once; a CR in the last position may be
    // completed by the next read, so it is carried over.
    const char second = block->terminator[1];
    const char* end = p + avail;
    for (const char* q = p; (q = static_cast<const char*>(std::memchr(q, term, size_t(end - q))));) {
      if (q + 1 == end) break;
      if (q[1] == second) {
        int32_t n = int32_t(q - p);
        store(take(n + 2), n);
        carry = 0;
        return done();
      }
      ++q;
    }
    store(take(avail - 1), avail - 1);
    keep_as_carry();
  }
  return done();
}

int32_t Reader::fixed() {
  while (block->record_length < block->record_size && !block->at_eof) {
    int32_t moved = 0;
    int32_t status = move(block->record_size - block->record_length, &moved);
    if (status != st::OK) return status;
  }
  return done();
}

// A count above the record size is limited to it, so the record fills
// instead of swallowing the stream.
int32_t Reader::byte_count() {
  const int32_t wanted = std::min(block->byte_count, block->record_size);
  for (;;) {
    if (wanted >= 0 ? block->record_length >= wanted : block->at_eof) break;
    int32_t moved = 0;
    int32_t status =
        move(wanted >= 0 ? wanted - block->record_length : block->record_size, &moved);
    if (status == st::END_OF_DATA && block->record_length > 0) break;
    if (status != st::OK) return status;
    if (wanted < 0 || (block->at_eof && block->read_avail == 0)) break;
  }
  return done();
}

// Reads the next descriptor word, refilling with a carry when it is split
// across reads. Its length must count at least the word itself: a shorter
// length is refused as a malformed stream.
int32_t Reader::descriptor(int32_t* segment_length, int* type) {
  for (;;) {
    int32_t status = refill();
    if (status != st::OK) return carry > 0 ? cut_off(status) : status;
    if (block->read_avail >= DESCRIPTOR_LENGTH) break;
    keep_as_carry();
  }
  carry = 0;
  auto* word = reinterpret_cast<const unsigned char*>(take(DESCRIPTOR_LENGTH));
  int32_t length = word[0] * 256 + word[1];
  if (length < DESCRIPTOR_LENGTH) return sock::fail_with_errno(EBADMSG);
  *segment_length = length - DESCRIPTOR_LENGTH;
  *type = word[2];
  return st::OK;
}

int32_t Reader::s370v() {
  int32_t length = 0;
  int type = 0;
  int32_t status = descriptor(&length, &type);
  if (status != st::OK) return status;
  for (int32_t taken = 0, moved = 0; taken < length; taken += moved)
    if ((status = move(length - taken, &moved)) != st::OK) return cut_off(status);
  return done();
}

// Segments are joined into one logical record. A segment that continues a
// record whose start was never seen is dropped; a record start while another
// record is open discards the open one. Either is reported once per call.
int32_t Reader::s370vs() {
  bool first_piece = true, reported = false;
  for (;;) {
    int32_t length = 0;
    int type = 0;
    int32_t status = descriptor(&length, &type);
    if (status != st::OK) return first_piece ? status : cut_off(status);
    ++block->segment_count;
    const bool dropping = first_piece && (type == LAST || type == MIDDLE);
    const bool restart = !first_piece && (type == COMPLETE || type == FIRST);
    if ((dropping || restart) && !reported) {
      drop370msg(block->segment_count);
      reported = true;
    }
    if (restart) {
      block->record_length = 0;
      truncated = false;
    }
    for (int32_t taken = 0, moved = 0; taken < length; taken += moved) {
      if (dropping) {
        if ((status = refill()) != st::OK) return cut_off(status);
        take(moved = std::min(length - taken, block->read_avail));
        continue;
      }
      if ((status = move(length - taken, &moved)) != st::OK) return cut_off(status);
      if (moved > 0) first_piece = false;
    }
    if (!first_piece && type != FIRST && type != MIDDLE) return done();
  }
}

// The common case, a record that lies whole in the read buffer and fits the
// record buffer, is copied out at once.
inline bool whole_record_held(sock_conn* block) {
  char* data;
  int32_t length;
  if (!sock::record_in_place(block, &data, &length)) return false;
  std::memcpy(block->record, data, size_t(length));
  block->record_length = length;
  return true;
}

}  // namespace

// The old buffer goes back to the pool before the larger one is taken, so
// that the two are never held at once; only the carry (a few bytes) is kept
// aside. The count of consumed bytes wraps past 4 GiB, long after the buffer
// is at its largest.
int32_t sock::grow_read_buffer(sock_conn* block, int32_t carry) {
  const int32_t largest = std::min(block->block_size, READ_BUFFER_LARGEST);
  if (block->read_buffer_size >= largest || carry > MAX_CARRY ||
      uint32_t(block->bytes_consumed) < uint32_t(READ_BUFFER_GROWTH * block->read_buffer_size))
    return st::OK;
  char kept[MAX_CARRY];
  std::memcpy(kept, block->read_buffer, size_t(carry));
  mem::release(block->read_buffer);
  int32_t size = std::min(block->read_buffer_size * 2, largest);
  block->read_buffer = static_cast<char*>(mem::alloc_text(size));
  if (!block->read_buffer) {
    size = block->read_buffer_size;
    block->read_buffer = static_cast<char*>(mem::alloc_text(size));
    if (!block->read_buffer) return st::NO_MEMORY;
  }
  std::memcpy(block->read_buffer, kept, size_t(carry));
  block->read_buffer_size = size;
  return st::OK;
}

// A line limit is watched by yxsread alone. With CR LF a CR counts only with
// its LF, and a CR in the last place waits for yxsread, which reads on.
bool sock::line_in_place(sock_conn* block, char** data, int32_t* length) {
  if (block->line_limit > 0 || !block->terminator) return false;
  char* p = block->read_buffer + block->read_pos;
  const int32_t avail = block->read_avail;
  const char term = block->terminator[0];
  const char* end = p + avail;
  auto* hit = static_cast<const char*>(std::memchr(p, term, size_t(avail)));
  int32_t skip = 1;
  if (block->terminator_length == 2) {
    const char second = block->terminator[1];
    while (hit && hit + 1 < end && hit[1] != second)
      hit = static_cast<const char*>(std::memchr(hit + 1, term, size_t(end - hit - 1)));
    if (hit && hit + 1 == end) return false;
    skip = 2;
  }
  if (!hit) return false;
  const int32_t n = int32_t(hit - p);
  if (n > block->record_size) return false;
  *data = p;
  *length = n;
  consume(block, n + skip);
  return true;
}

extern "C" {

void drop370msg(int32_t segment_number) {
  ypmlog(msg::GROUP, msg::SEGMENT_DROPPED, segment_number);
}

// After a re-accept has closed the previous peer's socket, accepted_socket is
// -1 at once: should the wait or the accept that follows fail, the block
// never uses or closes that descriptor again, and the next read tries the
// re-accept anew.
static int32_t reaccept(sock_conn* block, int32_t* descriptor) {
  if (block->accepted_socket != -1) {
    yxs_syscalls.close(block->accepted_socket);
    yxtzbit(block->fd_bitmap, block->accepted_socket, 0);
    block->accepted_socket = -1;
  }
  const int listener = block->main_socket;
  yxtzbit(block->fd_bitmap, listener, 1);
  int32_t status = yxtzsnb(listener + 1, block->fd_bitmap, block->break_word,
                           block->break_routine, block->wait_value);
  if (status != st::OK) return status;
  sockaddr_storage peer;
  int s = sock::accept_peer(listener, &peer);
  if (s < 0) return yxtzsub(st::FAILED);
  sock::note_accepted_peer(block, peer);
  yxtzbit(block->fd_bitmap, listener, 0);
  block->accepted_socket = s;
  yxtzbit(block->fd_bitmap, s, 1);
  *descriptor = s;
  block->reaccept_pending = 0;
  block->accept_count -= 1;
  return st::OK;
}

// One read of at most `capacity` bytes into `into`: *got > 0 of them, or
// the end of the peer's data (end of data, or the next connection due).
static int32_t receive(sock_conn* block, int32_t descriptor, char* into, int32_t capacity,
                       int32_t* got) {
  if (block->reaccept_pending) {
    int32_t status = reaccept(block, &descriptor);
    if (status != st::OK) return status;
  }
  if (block->tls) return sock::tls_receive(block, into, capacity, got);
  const bool read_first = block->read_first;
  bool gathered = false;
  for (;;) {
    int32_t status = read_first ? sock::check_break(block->break_word, block->break_routine)
                                : yxtzsnb(descriptor + 1, block->fd_bitmap, block->break_word,
                                          block->break_routine, block->wait_value);
    if (status != st::OK) return status;
    ssize_t n = read_first ? yxs_syscalls.recv(descriptor, into, size_t(capacity), MSG_DONTWAIT)
                           : yxs_syscalls.read(descriptor, into, size_t(capacity));
    if (n < 0 && read_first && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!gathered) {
        gathered = true;
        if (sock::gather(descriptor, capacity)) continue;
      }
      status = yxtzsnb(descriptor + 1, block->fd_bitmap, block->break_word,
                       block->break_routine, block->wait_value);
      if (status != st::OK) return status;
      continue;
    }
    // A peer that closes with our bytes still unread reaches us as a reset.
    if (n < 0 && errno == ECONNRESET && block->reset_is_end) n = 0;
    if (n == 0) {
      if (block->accepted_socket >= 0 && block->accept_count > 0) {
        block->reaccept_pending = 1;
        return st::NEXT_CONNECTION;
      }
      block->at_eof = 1;
      return st::END_OF_DATA;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      return yxtzsub(st::FAILED);
    }
    *got = int32_t(n);
    return st::OK;
  }
}

int32_t read_direct(sock_conn* block, char* into, int32_t capacity, int32_t* got) {
  *got = 0;
  return receive(block, sock::data_socket(block), into, capacity, got);
}

int32_t readblk(int32_t descriptor, int32_t carry, sock_conn* block) {
  if (block->read_avail > 0) return st::OK;
  if (block->read_first) {
    int32_t status = sock::grow_read_buffer(block, carry);
    if (status != st::OK) return status;
  }
  int32_t got = 0;
  int32_t status = receive(block, descriptor, block->read_buffer + carry,
                           block->read_buffer_size - carry, &got);
  if (status != st::OK) return status;
  block->read_pos = 0;
  block->read_end = block->read_avail = carry + got;
  return st::OK;
}

// A block without its buffers (never opened for reading, or closed) cannot
// deliver records: the call fails instead of touching them.
FTPAM_VISIBLE int32_t yxsread(sock_conn* block) {
  block->record_length = 0;
  if (block->at_eof) return st::END_OF_DATA;
  const int32_t mode = block->read_mode;
  if (!(mode & (READ_TERMINATED | READ_FIXED | READ_BYTE_COUNT | READ_S370V | READ_S370VS)))
    return st::OK;
  if (!block->read_buffer || !block->record || !block->terminator)
    return sock::fail_with_errno(EBADF);
  if (whole_record_held(block)) return st::OK;
  Reader reader{block};
  if (mode & READ_TERMINATED) return reader.terminated();
  if (mode & READ_FIXED) return reader.fixed();
  if (mode & READ_BYTE_COUNT) return reader.byte_count();
  if (mode & READ_S370V) return reader.s370v();
  return reader.s370vs();
}

}  // extern "C"

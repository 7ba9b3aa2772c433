// The common cases of the record readers and writers, kept inline for the
// per-record path.
//
// Reading: the next record of a fixed, S370V or terminated-line stream lies
// whole in the read buffer and fits the record buffer. It is consumed there
// and its place given back, so that a caller can hand it on without copying
// it; the bytes stay put until the block's next read. Anything else (a
// record split across reads, one too long, the other modes, a block at its
// end or without buffers) is left untouched for yxsread.
//
// Writing: a record is laid out where it will go out from -- the free end of
// the write buffer when it fits there with its terminator, else the staging
// buffer -- and then sent from that place, so that it is copied once.
#pragma once
#include <cstdint>

#include "sock/sock_conn.h"

namespace sock {

// The record or segment descriptor word before S370 data: a two-byte length
// (most significant first) that counts the word itself, then two more bytes.
constexpr int DESCRIPTOR_LENGTH = 4;

// Consumes n bytes of the read buffer.
inline void consume(sock_conn* block, int32_t n) {
  block->read_pos += n;
  block->read_avail -= n;
  block->bytes_consumed = int32_t(uint32_t(block->bytes_consumed) + uint32_t(n));
}

// The terminated-line case, out of line: its search calls the C library.
bool line_in_place(sock_conn* block, char** data, int32_t* length);

inline __attribute__((always_inline)) bool record_in_place(sock_conn* block, char** data,
                                                           int32_t* length) {
  const int32_t mode = block->read_mode;
  const int32_t avail = block->read_avail;
  if (block->at_eof || avail <= 0 || !block->read_buffer) return false;
  char* p = block->read_buffer + block->read_pos;
  if (mode & READ_TERMINATED) return line_in_place(block, data, length);
  if (mode & READ_FIXED) {
    const int32_t n = block->record_size;
    if (avail < n) return false;
    *data = p;
    *length = n;
    consume(block, n);
    return true;
  }
  if ((mode & (READ_BYTE_COUNT | READ_S370V)) != READ_S370V || avail < DESCRIPTOR_LENGTH)
    return false;
  const int32_t n = uint8_t(p[0]) * 256 + uint8_t(p[1]);
  if (n < DESCRIPTOR_LENGTH || n - DESCRIPTOR_LENGTH > block->record_size || avail < n)
    return false;
  *data = p + DESCRIPTOR_LENGTH;
  *length = n - DESCRIPTOR_LENGTH;
  consume(block, n);
  return true;
}

// Where a record of n (<= record_size) bytes is to be laid out.
inline char* write_place(sock_conn* block, int32_t n) {
  const int32_t terminator =
      (block->read_mode & READ_TERMINATED) && block->terminator ? block->terminator_length : 0;
  if (block->write_buffer && block->write_buffer_size > 0 && !(block->direction & SOCK_READS) &&
      n + terminator <= block->write_buffer_size - block->write_fill)
    return block->write_buffer + block->write_fill;
  return block->staging;
}

// Sends the n bytes laid out at `place` (from write_place) as yxswrit sends
// staging: the terminator of the line mode follows them, and a write buffer
// that is full goes out whole.
int32_t send_placed(sock_conn* block, char* place, int32_t n);

}  // namespace sock

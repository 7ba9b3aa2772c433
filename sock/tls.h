// TLS on a connection of the socket layer, as the FTP layer asks for it: the
// control connection becomes a TLS client of the server (a context of its
// own, the server's certificate checked), and each data connection a TLS
// client that resumes the control connection's session. Once a block is TLS,
// yxsread, yxswrit and yxsclos go through TLS without their callers knowing:
// reads take what the library has decrypted before they wait, a read that
// finds the connection ended without the peer's close_notify fails on a
// block that requires it, and yxsclos sends close_notify.
//
// Every wait is the layer's usual one: XXAMWAIT (wait_value) bounds it and,
// with a break word, a confirmed break ends it. Every failure hands its text
// to the host (a numbered message naming the reason) before its status.
#pragma once
#include <cstdint>

#include "sock/sock_conn.h"

namespace sock {

// What the control connection's TLS is to check.
struct TlsPeer {
  const char* host;     // the server as named: a name (also sent as SNI) or an IP literal
  const char* ca_file;  // certificates to trust; null or empty: the system's store
  bool verify;          // false: the certificate is not checked (the caller warns)
};

// Whether TLS can be had: loads the TLS library on first use. A failure hands
// over the reason (the library missing, or not OpenSSL 3).
int32_t tls_available();

// Makes the open control connection `ctl` a TLS client connection: loads the
// TLS library, makes the context (TLS 1.2 at least), shakes hands and checks
// the certificate. Bytes read before and not yet taken are discarded: nothing
// the server sent in clear is read as if it came through TLS.
int32_t tls_client(sock_conn* ctl, const TlsPeer& peer);

// Prepares the connected data block `data` for TLS with the context and host
// of the control connection `ctl`, offering its session for resumption. A
// data block requires the server's close_notify at the end of its data. The
// handshake itself is then driven with tls_handshake_step.
int32_t tls_data_client(sock_conn* data, const sock_conn* ctl);

// One step of the handshake of a prepared block: OK with *wants_peer false
// when it is done (the certificate checked), OK with *wants_peer true when it
// needs more from the peer (the caller waits for the block's socket), or a
// failure.
int32_t tls_handshake_step(sock_conn* block, bool* wants_peer);

// Bytes the block's TLS holds that a read takes without the socket.
bool tls_pending(const sock_conn* block);

// The protocol and cipher of a TLS block ("TLSv1.3", "TLS_AES_256_GCM_SHA384"),
// or null for a block without TLS.
const char* tls_version(const sock_conn* block);
const char* tls_cipher(const sock_conn* block);

// Whether the data connection resumed the control connection's session.
bool tls_resumed(const sock_conn* block);

}  // namespace sock

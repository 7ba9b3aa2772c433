// TLS on the socket layer's connections (sock/tls.h): the control
// connection's context and handshake, the data connections that resume its
// session, and the reads, writes and ends that yxsread, yxswrit and yxsclos
// route here for a TLS block.
//
// The library reaches the socket through a BIO of our own whose reads and
// writes are the layer's system calls (yxs_syscalls): reads never block
// (MSG_DONTWAIT), so that every wait is the layer's wait in the host's event
// wait, bounded by XXAMWAIT and breakable; writes block as plain writes do.
// The BIO remembers how the socket ended (the peer's end of stream, or an
// error number), which tells a connection cut without close_notify from a
// TLS failure.
#include "sock/tls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "module/allocation.h"
#include "module/status.h"
#include "sock/internal.h"
#include "sock/tls_library.h"
#include "sock/yxsoc.h"

struct TlsConn {
  tls::SSL* ssl;
  tls::SSL_CTX* context;     // the control connection's; its data connections share it
  int32_t is_control;        // the control connection, which owns the context
  int32_t socket;            // the descriptor the BIO reads and writes
  int32_t requires_close_notify;
  int32_t verify;
  int32_t handshake_done;
  int32_t broken;            // a fatal TLS error: no close_notify may follow
  int32_t peer_ended;        // the socket gave the end of the peer's stream
  int32_t io_error;          // errno of the BIO's last failed call, or 0
  char host[SOCK_TEXT];      // checked against the certificate (and SNI for a name)
};

namespace {

const tls::Library* L = nullptr;  // the loaded library; set by the first tls_client
tls::BIO_METHOD* g_bio_method = nullptr;

constexpr char CONTROL_ROLE[] = "control";
constexpr char DATA_ROLE[] = "data";
// Debian's bundle of the system's CAs, for when the library's own default
// paths (which come with the openssl package, not the library) are missing.
constexpr char CA_BUNDLE[] = "/etc/ssl/certs/ca-certificates.crt";
// A connection that wrote (an upload) waits this long at most, after its
// close_notify, for the server to end its side.
constexpr int CLOSE_WAIT_MS = 5000;
constexpr int CLOSE_SLICE_MS = 100;
constexpr int DRAIN_BUFFER = 512;
constexpr int REASON_MAX = 160;
constexpr int SSL_CTRL_SET_READ_AHEAD = 41;
// A data connection reads ahead up to this much of the socket at a time (the
// library's default is one TLS record, 16 KiB): a 16 MiB download takes about
// 190 socket reads in all instead of some 1,060. The control connection keeps
// the default.
constexpr size_t DATA_READ_AHEAD = 256 * 1024;

const char* role_of(const TlsConn* t) { return t->is_control ? CONTROL_ROLE : DATA_ROLE; }

// ---------------------------------------------------------------- the BIO

int bio_write(tls::BIO* bio, const char* data, int length) {
  auto* t = static_cast<TlsConn*>(L->BIO_get_data(bio));
  for (;;) {
    ssize_t n = yxs_syscalls.write(t->socket, data, size_t(length));
    if (n >= 0) return int(n);
    if (errno == EINTR) continue;
    t->io_error = errno;
    return -1;
  }
}

int bio_read(tls::BIO* bio, char* into, int length) {
  auto* t = static_cast<TlsConn*>(L->BIO_get_data(bio));
  L->BIO_clear_flags(bio, tls::BIO_FLAGS_RWS | tls::BIO_FLAGS_SHOULD_RETRY);
  for (;;) {
    ssize_t n = yxs_syscalls.recv(t->socket, into, size_t(length), MSG_DONTWAIT);
    if (n > 0) return int(n);
    if (n == 0) {
      t->peer_ended = 1;
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      L->BIO_set_flags(bio, tls::BIO_FLAGS_READ | tls::BIO_FLAGS_SHOULD_RETRY);
      return -1;
    }
    t->io_error = errno;
    return -1;
  }
}

long bio_ctrl(tls::BIO*, int command, long, void*) { return command == tls::BIO_CTRL_FLUSH ? 1 : 0; }

// The library and our BIO method, made once for the process.
bool load_library() {
  if (L && g_bio_method) return true;
  char why[160] = {};
  L = tls::library(why, sizeof why);
  if (!L) {
    report_message(msg::TLS_LIBRARY_MISSING, why);
    return false;
  }
  g_bio_method = L->BIO_meth_new(L->BIO_get_new_index() | tls::BIO_TYPE_SOURCE_SINK, "ftpam socket");
  if (!g_bio_method || !L->BIO_meth_set_write(g_bio_method, bio_write) ||
      !L->BIO_meth_set_read(g_bio_method, bio_read) ||
      !L->BIO_meth_set_ctrl(g_bio_method, bio_ctrl)) {
    g_bio_method = nullptr;
    report_message(msg::TLS_LIBRARY_MISSING, "the library could not make a BIO method");
    return false;
  }
  return true;
}

// ------------------------------------------------------------- failures

// The library's reason for its last failure ("certificate verify failed"),
// without the error number and library name before it.
void library_reason(char (&reason)[REASON_MAX]) {
  unsigned long error = L->ERR_get_error();
  if (!error) {
    std::strcpy(reason, "the TLS library gave no reason");
    return;
  }
  char text[REASON_MAX];
  L->ERR_error_string_n(error, text, sizeof text);
  const char* last = std::strrchr(text, ':');
  std::strcpy(reason, last && last[1] ? last + 1 : text);
}

// Why the connection failed: what the socket said, else the library.
void failure_reason(const TlsConn* t, char (&reason)[REASON_MAX]) {
  if (t->io_error) {
    std::strncpy(reason, std::strerror(t->io_error), REASON_MAX - 1);
    reason[REASON_MAX - 1] = '\0';
  } else if (t->peer_ended) {
    std::strcpy(reason, "the server ended the connection");
  } else {
    library_reason(reason);
  }
}

int32_t handshake_failed(sock_conn* block) {
  TlsConn* t = block->tls;
  t->broken = 1;
  const long verified = L->SSL_get_verify_result(t->ssl);
  if (t->verify && verified != tls::X509_V_OK)
    return report_message(msg::TLS_CERTIFICATE_REFUSED, L->X509_verify_cert_error_string(verified));
  char reason[REASON_MAX];
  failure_reason(t, reason);
  return report_message(msg::TLS_HANDSHAKE_FAILED, role_of(t), reason);
}

// A read or write that failed: the socket's error as the system says it (a
// reset ends the stream where the block takes it so), a connection cut
// without close_notify, or the library's reason.
int32_t transfer_failed(sock_conn* block) {
  TlsConn* t = block->tls;
  t->broken = 1;
  if (t->io_error) {
    errno = t->io_error;
    if (block->reset_is_end && (errno == ECONNRESET || errno == EPIPE)) {
      block->at_eof = 1;
      return st::END_OF_DATA;
    }
    return yxtzsub(st::FAILED);
  }
  if (t->peer_ended) {
    if (t->requires_close_notify) return report_message(msg::TLS_DATA_CUT);
    block->at_eof = 1;
    return st::END_OF_DATA;
  }
  char reason[REASON_MAX];
  library_reason(reason);
  return report_message(msg::TLS_FAILED, role_of(t), reason);
}

// ------------------------------------------------------------- set-up

bool is_address(const char* host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
}

bool readable_file(const char* path) { return path && path[0] && access(path, R_OK) == 0; }

// The certificates the context trusts: the caller's file, or the system's
// store (the library's default file and folder where they exist, else the
// CA bundle). The store used is logged.
int32_t trust(tls::SSL_CTX* context, const char* ca_file) {
  if (ca_file && ca_file[0]) {
    if (!L->SSL_CTX_load_verify_locations(context, ca_file, nullptr)) {
      char reason[REASON_MAX];
      library_reason(reason);
      return report_message(msg::TLS_CA_FILE_UNUSABLE, ca_file, reason);
    }
    ypmlog(msg::GROUP, msg::TLS_TRUSTED, ca_file);
    return st::OK;
  }
  const char* file = L->X509_get_default_cert_file();
  const char* folder = L->X509_get_default_cert_dir();
  if (!readable_file(file)) file = nullptr;
  if (!folder || access(folder, X_OK) != 0) folder = nullptr;
  if (!file && !folder && readable_file(CA_BUNDLE)) file = CA_BUNDLE;
  if (file || folder) L->SSL_CTX_load_verify_locations(context, file, folder);
  L->ERR_clear_error();  // a default file without certificates is no failure
  ypmlog(msg::GROUP, msg::TLS_TRUSTED, file ? file : folder ? folder : "no certificates at all");
  return st::OK;
}

// A TLS state for `block` on its connected socket, with a new SSL object
// of `context` wired to our BIO. The block is TLS from then on.
int32_t attach(sock_conn* block, tls::SSL_CTX* context, bool is_control) {
  auto* t = static_cast<TlsConn*>(mem::alloc_clear(sizeof(TlsConn)));
  if (!t) return st::NO_MEMORY;
  t->is_control = is_control;
  t->context = context;
  t->socket = sock::data_socket(block);
  t->ssl = L->SSL_new(context);
  if (t->ssl && !is_control) L->SSL_set_default_read_buffer_len(t->ssl, DATA_READ_AHEAD);
  tls::BIO* bio = t->ssl ? L->BIO_new(g_bio_method) : nullptr;
  if (!bio) {
    if (t->ssl) L->SSL_free(t->ssl);
    mem::release(t);
    char reason[REASON_MAX];
    library_reason(reason);
    return report_message(msg::TLS_HANDSHAKE_FAILED, is_control ? CONTROL_ROLE : DATA_ROLE, reason);
  }
  L->BIO_set_data(bio, t);
  L->BIO_set_init(bio, 1);
  L->SSL_set_bio(t->ssl, bio, bio);  // the SSL object owns the BIO from here on
  block->tls = t;
  return st::OK;
}

// Names the server for the certificate check and, for a name, for SNI.
int32_t name_server(TlsConn* t) {
  if (!t->host[0]) return st::OK;
  bool named;
  if (is_address(t->host))
    named = L->X509_VERIFY_PARAM_set1_ip_asc(L->SSL_get0_param(t->ssl), t->host) == 1;
  else
    named = L->SSL_ctrl(t->ssl, tls::SSL_CTRL_SET_TLSEXT_HOSTNAME, tls::TLSEXT_NAMETYPE_host_name,
                        t->host) == 1 &&
            L->SSL_set1_host(t->ssl, t->host) == 1;
  if (named) return st::OK;
  char reason[REASON_MAX];
  library_reason(reason);
  return report_message(msg::TLS_HANDSHAKE_FAILED, role_of(t), reason);
}

int32_t wait_for_peer(sock_conn* block) {
  if (sock::ensure_bitmap(block) != st::OK) return st::NO_MEMORY;
  const int fd = block->tls->socket;
  yxtzbit(block->fd_bitmap, fd, 1);
  return yxtzsnb(fd + 1, block->fd_bitmap, block->break_word, block->break_routine,
                 block->wait_value);
}

void log_protection(const sock_conn* block) {
  const TlsConn* t = block->tls;
  ypmlog(msg::GROUP, msg::TLS_IN_USE, sock::tls_version(block), sock::tls_cipher(block),
         role_of(t));
  if (!t->is_control && !L->SSL_session_reused(t->ssl)) ypmlog(msg::GROUP, msg::TLS_NOT_RESUMED);
}

// Reads what the peer still sends until it ends its side, for at most
// CLOSE_WAIT_MS: a TLS 1.3 server's session tickets and its close_notify.
// Closing with them unread would reset the connection, and a server may
// then drop what it had not yet written of an upload.
void drain(sock_conn* block) {
  TlsConn* t = block->tls;
  char scratch[DRAIN_BUFFER];
  for (int waited = 0; waited < CLOSE_WAIT_MS;) {
    L->ERR_clear_error();
    int n = L->SSL_read(t->ssl, scratch, sizeof scratch);
    if (n > 0) continue;
    if (L->SSL_get_error(t->ssl, n) != tls::SSL_ERROR_WANT_READ) return;
    pollfd entry = {t->socket, POLLIN, 0};
    int found = yxs_syscalls.poll(&entry, 1, CLOSE_SLICE_MS);
    if (found < 0 && errno != EINTR) return;
    if (found == 0) waited += CLOSE_SLICE_MS;
  }
}

}  // namespace

namespace sock {

int32_t tls_available() { return load_library() ? st::OK : st::FAILED; }

int32_t tls_client(sock_conn* ctl, const TlsPeer& peer) {
  if (!load_library()) return st::FAILED;
  tls::SSL_CTX* context = L->SSL_CTX_new(L->TLS_client_method());
  if (!context) {
    char reason[REASON_MAX];
    library_reason(reason);
    return report_message(msg::TLS_HANDSHAKE_FAILED, CONTROL_ROLE, reason);
  }
  L->SSL_CTX_ctrl(context, tls::SSL_CTRL_SET_MIN_PROTO_VERSION, tls::TLS1_2_VERSION, nullptr);
  // Reading ahead takes a whole socket's worth at a time, not each record's
  // header and body in two reads.
  L->SSL_CTX_ctrl(context, SSL_CTRL_SET_READ_AHEAD, 1, nullptr);
  L->SSL_CTX_set_verify(context, peer.verify ? tls::SSL_VERIFY_PEER : tls::SSL_VERIFY_NONE,
                        nullptr);
  int32_t status = peer.verify ? trust(context, peer.ca_file) : st::OK;
  if (status == st::OK) status = attach(ctl, context, true);
  if (status != st::OK) {
    L->SSL_CTX_free(context);
    return status;
  }
  TlsConn* t = ctl->tls;
  t->verify = peer.verify;
  set_text(t->host, peer.host ? peer.host : "");
  for (size_t n = std::strlen(t->host); n > 0 && t->host[n - 1] == ' ';) t->host[--n] = '\0';
  if ((status = name_server(t)) != st::OK) return status;

  // What the server sent in clear and we have not taken is dropped: only
  // what comes through TLS is read from here on.
  ctl->read_pos = ctl->read_end = ctl->read_avail = 0;
  for (;;) {
    bool wants_peer = false;
    if ((status = tls_handshake_step(ctl, &wants_peer)) != st::OK || !wants_peer) return status;
    if ((status = wait_for_peer(ctl)) != st::OK) return status;
  }
}

int32_t tls_data_client(sock_conn* data, const sock_conn* ctl) {
  const TlsConn* control = ctl->tls;
  int32_t status = attach(data, control->context, false);
  if (status != st::OK) return status;
  TlsConn* t = data->tls;
  t->verify = control->verify;
  t->requires_close_notify = 1;
  std::memcpy(t->host, control->host, sizeof t->host);
  if ((status = name_server(t)) != st::OK) return status;
  // The control connection's session as it is now: with TLS 1.3 the server
  // sends it after the handshake, so it is taken afresh for each transfer.
  if (tls::SSL_SESSION* session = L->SSL_get1_session(control->ssl)) {
    L->SSL_set_session(t->ssl, session);
    L->SSL_SESSION_free(session);
  }
  return st::OK;
}

int32_t tls_handshake_step(sock_conn* block, bool* wants_peer) {
  TlsConn* t = block->tls;
  *wants_peer = false;
  L->ERR_clear_error();
  const int result = L->SSL_connect(t->ssl);
  if (result == 1) {
    if (t->verify && L->SSL_get_verify_result(t->ssl) != tls::X509_V_OK)
      return handshake_failed(block);
    t->handshake_done = 1;
    log_protection(block);
    return st::OK;
  }
  if (L->SSL_get_error(t->ssl, result) == tls::SSL_ERROR_WANT_READ && !t->peer_ended) {
    *wants_peer = true;
    return st::OK;
  }
  return handshake_failed(block);
}

bool tls_pending(const sock_conn* block) {
  return block->tls && L->SSL_has_pending(block->tls->ssl);
}

const char* tls_version(const sock_conn* block) {
  return block->tls ? L->SSL_get_version(block->tls->ssl) : nullptr;
}

const char* tls_cipher(const sock_conn* block) {
  if (!block->tls) return nullptr;
  const tls::SSL_CIPHER* cipher = L->SSL_get_current_cipher(block->tls->ssl);
  return cipher ? L->SSL_CIPHER_get_name(cipher) : "none";
}

bool tls_resumed(const sock_conn* block) {
  return block->tls && L->SSL_session_reused(block->tls->ssl) == 1;
}

// Fills as much of `into` as the TLS has for it before waiting; waits only
// when it has nothing.
int32_t tls_receive(sock_conn* block, char* into, int32_t capacity, int32_t* got) {
  TlsConn* t = block->tls;
  *got = 0;
  for (;;) {
    int32_t status = check_break(block->break_word, block->break_routine);
    if (status != st::OK) return status;
    int last_error = tls::SSL_ERROR_NONE;
    while (*got < capacity) {
      L->ERR_clear_error();
      int n = L->SSL_read(t->ssl, into + *got, capacity - *got);
      if (n <= 0) {
        last_error = L->SSL_get_error(t->ssl, n);
        break;
      }
      *got += n;
    }
    if (*got > 0) return st::OK;
    if (last_error == tls::SSL_ERROR_ZERO_RETURN) {
      block->at_eof = 1;
      return st::END_OF_DATA;
    }
    if (last_error != tls::SSL_ERROR_WANT_READ || t->peer_ended) return transfer_failed(block);
    if ((status = wait_for_peer(block)) != st::OK) return status;
  }
}

int32_t tls_send(sock_conn* block, const char* data, int32_t length) {
  TlsConn* t = block->tls;
  while (length > 0) {
    L->ERR_clear_error();
    int n = L->SSL_write(t->ssl, data, length);
    if (n > 0) {
      data += n;
      length -= n;
      continue;
    }
    // A key update or renegotiation the peer started: its bytes first.
    if (L->SSL_get_error(t->ssl, n) == tls::SSL_ERROR_WANT_READ && !t->peer_ended) {
      int32_t status = wait_for_peer(block);
      if (status != st::OK) return status;
      continue;
    }
    return transfer_failed(block);
  }
  return st::OK;
}

void tls_close(sock_conn* block) {
  TlsConn* t = block->tls;
  if (!t) return;
  const bool open = t->handshake_done && !t->broken;
  if (open && L->SSL_shutdown(t->ssl) >= 0 && block->direction == SOCK_WRITES) drain(block);
  L->SSL_free(t->ssl);
  if (t->is_control) L->SSL_CTX_free(t->context);
  mem::wipe(t, sizeof *t);
  mem::release(t);
  block->tls = nullptr;
}

}  // namespace sock

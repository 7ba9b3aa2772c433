// The system's TLS library (OpenSSL 3: libssl.so.3 and the libcrypto.so.3 it
// needs), loaded at run time the first time a connection asks for TLS and
// never unloaded. The module is not linked with it: a host without it runs
// plain FTP as before, and only a TLS request fails, naming the library.
//
// Every routine the socket layer calls is one entry of the table below, taken
// with dlsym. The prototypes are the library's own, to the type; what OpenSSL 3
// offers only as macros (SSL_CTX_set_min_proto_version, SSL_set_tlsext_host_name,
// BIO_set_retry_read, ...) is written here with the routines underneath
// (SSL_CTX_ctrl, SSL_ctrl, BIO_set_flags) and the library's constant values.
//
// OpenSSL allocates its own memory with the C library's allocator, not from
// the host's pools: a control connection costs about 50 KiB there (its
// record buffers and handshake state), a data connection about 300 KiB (its
// 256 KiB read-ahead buffer besides), on top of the connection's usual buffers.
#pragma once
#include <cstddef>
#include <cstdint>

// The library's types, opaque to us.
struct ssl_st;
struct ssl_ctx_st;
struct ssl_method_st;
struct ssl_session_st;
struct ssl_cipher_st;
struct bio_st;
struct bio_method_st;
struct X509_VERIFY_PARAM_st;
struct x509_store_ctx_st;

namespace tls {

using SSL = ssl_st;
using SSL_CTX = ssl_ctx_st;
using SSL_METHOD = ssl_method_st;
using SSL_SESSION = ssl_session_st;
using SSL_CIPHER = ssl_cipher_st;
using BIO = bio_st;
using BIO_METHOD = bio_method_st;
using X509_VERIFY_PARAM = X509_VERIFY_PARAM_st;
using X509_STORE_CTX = x509_store_ctx_st;

// The library's constants (ssl.h, bio.h, x509_vfy.h of OpenSSL 3).
constexpr int SSL_ERROR_NONE = 0;
constexpr int SSL_ERROR_SSL = 1;
constexpr int SSL_ERROR_WANT_READ = 2;
constexpr int SSL_ERROR_WANT_WRITE = 3;
constexpr int SSL_ERROR_SYSCALL = 5;
constexpr int SSL_ERROR_ZERO_RETURN = 6;
constexpr int SSL_VERIFY_NONE = 0;
constexpr int SSL_VERIFY_PEER = 1;
constexpr int SSL_RECEIVED_SHUTDOWN = 2;
constexpr int SSL_CTRL_SET_TLSEXT_HOSTNAME = 55;
constexpr int SSL_CTRL_SET_MIN_PROTO_VERSION = 123;
constexpr int TLSEXT_NAMETYPE_host_name = 0;
constexpr long TLS1_2_VERSION = 0x0303;
constexpr int BIO_TYPE_SOURCE_SINK = 0x0400;
constexpr int BIO_FLAGS_READ = 0x01;
constexpr int BIO_FLAGS_WRITE = 0x02;
constexpr int BIO_FLAGS_RWS = 0x07;
constexpr int BIO_FLAGS_SHOULD_RETRY = 0x08;
constexpr int BIO_CTRL_FLUSH = 11;
constexpr long X509_V_OK = 0;
constexpr unsigned long OPENSSL_MAJOR_3 = 3;

struct Library {
  // libcrypto
  unsigned long (*OpenSSL_version_num)(void);
  unsigned long (*ERR_get_error)(void);
  void (*ERR_clear_error)(void);
  void (*ERR_error_string_n)(unsigned long error, char* text, size_t length);
  const char* (*X509_verify_cert_error_string)(long result);
  const char* (*X509_get_default_cert_file)(void);
  const char* (*X509_get_default_cert_dir)(void);
  int (*X509_VERIFY_PARAM_set1_ip_asc)(X509_VERIFY_PARAM* param, const char* address);
  int (*BIO_get_new_index)(void);
  BIO_METHOD* (*BIO_meth_new)(int type, const char* name);
  int (*BIO_meth_set_write)(BIO_METHOD* method, int (*write)(BIO*, const char*, int));
  int (*BIO_meth_set_read)(BIO_METHOD* method, int (*read)(BIO*, char*, int));
  int (*BIO_meth_set_ctrl)(BIO_METHOD* method, long (*ctrl)(BIO*, int, long, void*));
  BIO* (*BIO_new)(const BIO_METHOD* method);
  void (*BIO_set_data)(BIO* bio, void* data);
  void* (*BIO_get_data)(BIO* bio);
  void (*BIO_set_init)(BIO* bio, int init);
  void (*BIO_set_flags)(BIO* bio, int flags);
  void (*BIO_clear_flags)(BIO* bio, int flags);
  // libssl
  const SSL_METHOD* (*TLS_client_method)(void);
  SSL_CTX* (*SSL_CTX_new)(const SSL_METHOD* method);
  void (*SSL_CTX_free)(SSL_CTX* context);
  long (*SSL_CTX_ctrl)(SSL_CTX* context, int command, long number, void* argument);
  void (*SSL_CTX_set_verify)(SSL_CTX* context, int mode, int (*callback)(int, X509_STORE_CTX*));
  int (*SSL_CTX_load_verify_locations)(SSL_CTX* context, const char* file, const char* path);
  SSL* (*SSL_new)(SSL_CTX* context);
  void (*SSL_free)(SSL* ssl);
  void (*SSL_set_bio)(SSL* ssl, BIO* read_bio, BIO* write_bio);
  void (*SSL_set_default_read_buffer_len)(SSL* ssl, size_t length);
  long (*SSL_ctrl)(SSL* ssl, int command, long number, void* argument);
  int (*SSL_set1_host)(SSL* ssl, const char* host);
  X509_VERIFY_PARAM* (*SSL_get0_param)(SSL* ssl);
  int (*SSL_connect)(SSL* ssl);
  int (*SSL_read)(SSL* ssl, void* buffer, int length);
  int (*SSL_write)(SSL* ssl, const void* buffer, int length);
  int (*SSL_shutdown)(SSL* ssl);
  int (*SSL_get_shutdown)(const SSL* ssl);
  int (*SSL_get_error)(const SSL* ssl, int result);
  int (*SSL_has_pending)(const SSL* ssl);
  long (*SSL_get_verify_result)(const SSL* ssl);
  SSL_SESSION* (*SSL_get1_session)(SSL* ssl);
  int (*SSL_set_session)(SSL* ssl, SSL_SESSION* session);
  void (*SSL_SESSION_free)(SSL_SESSION* session);
  int (*SSL_session_reused)(const SSL* ssl);
  const char* (*SSL_get_version)(const SSL* ssl);
  const SSL_CIPHER* (*SSL_get_current_cipher)(const SSL* ssl);
  const char* (*SSL_CIPHER_get_name)(const SSL_CIPHER* cipher);
};

// The library, loaded on the first call; null when it cannot be loaded (a
// text saying why is in `why`, of `why_size` bytes). Later calls give the
// same answer without trying again.
const Library* library(char* why, size_t why_size);

}  // namespace tls

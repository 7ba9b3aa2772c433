// Loading the system's TLS library: one dlopen of libssl.so.3 (which brings
// libcrypto.so.3 with it) and one dlsym per entry of tls::Library.
//
// dlopen, dlsym and dlerror are taken at their oldest versions (GLIBC_2.1,
// GLIBC_2.0): a C library from 2.34 on has them in libc.so.6 at those
// versions too, and an older one has them in libdl.so.2, which a host that
// loads this module with dlopen has loaded already. The module so needs
// nothing newer than before, and nothing but libc.
#include "sock/tls_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <iterator>

__asm__(".symver dlopen,dlopen@GLIBC_2.1");
__asm__(".symver dlsym,dlsym@GLIBC_2.0");
__asm__(".symver dlerror,dlerror@GLIBC_2.0");

namespace tls {
namespace {

constexpr char LIBRARY_NAME[] = "libssl.so.3";

struct Entry {
  const char* name;
  size_t offset;
};

#define ENTRY(name) {#name, offsetof(Library, name)}
constexpr Entry entries[] = {
    ENTRY(OpenSSL_version_num),
    ENTRY(ERR_get_error),
    ENTRY(ERR_clear_error),
    ENTRY(ERR_error_string_n),
    ENTRY(X509_verify_cert_error_string),
    ENTRY(X509_get_default_cert_file),
    ENTRY(X509_get_default_cert_dir),
    ENTRY(X509_VERIFY_PARAM_set1_ip_asc),
    ENTRY(BIO_get_new_index),
    ENTRY(BIO_meth_new),
    ENTRY(BIO_meth_set_write),
    ENTRY(BIO_meth_set_read),
    ENTRY(BIO_meth_set_ctrl),
    ENTRY(BIO_new),
    ENTRY(BIO_set_data),
    ENTRY(BIO_get_data),
    ENTRY(BIO_set_init),
    ENTRY(BIO_set_flags),
    ENTRY(BIO_clear_flags),
    ENTRY(TLS_client_method),
    ENTRY(SSL_CTX_new),
    ENTRY(SSL_CTX_free),
    ENTRY(SSL_CTX_ctrl),
    ENTRY(SSL_CTX_set_verify),
    ENTRY(SSL_CTX_load_verify_locations),
    ENTRY(SSL_new),
    ENTRY(SSL_free),
    ENTRY(SSL_set_bio),
    ENTRY(SSL_set_default_read_buffer_len),
    ENTRY(SSL_ctrl),
    ENTRY(SSL_set1_host),
    ENTRY(SSL_get0_param),
    ENTRY(SSL_connect),
    ENTRY(SSL_read),
    ENTRY(SSL_write),
    ENTRY(SSL_shutdown),
    ENTRY(SSL_get_shutdown),
    ENTRY(SSL_get_error),
    ENTRY(SSL_has_pending),
    ENTRY(SSL_get_verify_result),
    ENTRY(SSL_get1_session),
    ENTRY(SSL_set_session),
    ENTRY(SSL_SESSION_free),
    ENTRY(SSL_session_reused),
    ENTRY(SSL_get_version),
    ENTRY(SSL_get_current_cipher),
    ENTRY(SSL_CIPHER_get_name),
};
#undef ENTRY
// Every member of the table is named above.
static_assert(sizeof(Library) == std::size(entries) * sizeof(void*));

Library g_library;
enum class State { UNTRIED, LOADED, MISSING } g_state = State::UNTRIED;
char g_why[160];

void note(const char* text) { std::snprintf(g_why, sizeof g_why, "%s", text); }

bool load() {
  // Never closed: the library's own state and our BIO method live as long
  // as the process.
  void* handle = dlopen(LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* error = dlerror();
    note(error ? error : LIBRARY_NAME);
    return false;
  }
  for (const Entry& entry : entries) {
    void* routine = dlsym(handle, entry.name);
    if (!routine) {
      std::snprintf(g_why, sizeof g_why, "%s has no %s", LIBRARY_NAME, entry.name);
      return false;
    }
    std::memcpy(reinterpret_cast<char*>(&g_library) + entry.offset, &routine, sizeof routine);
  }
  const unsigned long major = g_library.OpenSSL_version_num() >> 28;
  if (major != OPENSSL_MAJOR_3) {
    std::snprintf(g_why, sizeof g_why, "%s is OpenSSL %lu, not 3", LIBRARY_NAME, major);
    return false;
  }
  return true;
}

}  // namespace

const Library* library(char* why, size_t why_size) {
  if (g_state == State::UNTRIED) g_state = load() ? State::LOADED : State::MISSING;
  if (g_state == State::LOADED) return &g_library;
  if (why && why_size) std::snprintf(why, why_size, "%s", g_why);
  return nullptr;
}

}  // namespace tls

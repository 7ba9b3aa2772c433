// TLS for the test servers: throwaway certificates, and what a server is
// asked to serve.
//
// The certificates are made with the openssl command, once per test process,
// in a temporary folder that is removed when the process exits: a test CA
// (the file a client is told to trust) and, for a server on a given address,
// one certificate that verifies and one for each way verification must fail.
// Keys are EC P-256.
//
//   std::string error;
//   const ftptest::TestCertificates& certs = ftptest::test_certificates("127.0.0.5", &error);
//   ASSERT_FALSE(certs.ca_file.empty()) << error;
//   ... a server on 127.0.0.5 presents certs.valid.cert with certs.valid.key ...
#pragma once
#include <string>

namespace ftptest {

// Which certificate a test server presents.
enum class ServerCert {
  Valid,       // signed by the test CA; names IP:<address> and DNS:ftp.test
  WrongHost,   // signed by the test CA; names only DNS:other.test and IP:192.0.2.1
  SelfSigned,  // signed by its own key; names IP:<address> and DNS:ftp.test
  UnknownCa,   // signed by another CA, which clients are not given; names the same
  Expired,     // signed by the test CA, names the same; valid in 2020 only
};
const char* cert_name(ServerCert cert);

// A certificate and its private key, PEM files.
struct CertificateFiles {
  std::string cert, key;
};

struct TestCertificates {
  std::string ca_file;        // the test CA's certificate: what a client trusts
  std::string other_ca_file;  // the CA that signed `unknown_ca`
  CertificateFiles valid, wrong_host, self_signed, unknown_ca, expired;

  const CertificateFiles& operator[](ServerCert cert) const;
};

// The certificates for a server on `address` (an IPv4 literal), made on first
// use for that address. When openssl fails: every name empty, and `error`
// says what openssl said.
const TestCertificates& test_certificates(const std::string& address, std::string* error);

// How a server offers TLS on its control connection.
enum class TlsMode {
  None,      // plain FTP
  Explicit,  // AUTH TLS on port 21
  Implicit,  // TLS from the first byte, on port 990
};
const char* tls_mode_name(TlsMode mode);
// The control connection's port: 21, or 990 for implicit TLS.
int control_port(TlsMode mode);

// What a test server is asked to serve: TLS or not, and which certificate
// (made for the address the server gets).
struct TlsServing {
  TlsMode mode = TlsMode::None;
  ServerCert cert = ServerCert::Valid;
};

}  // namespace ftptest

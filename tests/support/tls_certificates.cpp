// Throwaway certificates for the TLS tests, made with the openssl command.
#include "tests/support/tls_certificates.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>

#include "tests/support/child_process.h"

namespace ftptest {
namespace fs = std::filesystem;

namespace {

const char* const kOpenssl = "/usr/bin/openssl";
constexpr int kOpensslWaitMs = 30000;

// Every certificate a server may present: who signs it, the names in it, and
// whether it has expired. The others differ from `valid` in that one thing.
struct Made {
  ServerCert cert;
  const char* name;    // of its files, and of test parameters
  const char* issuer;  // "ca", "other_ca", or "" for itself
  bool other_host;     // names other.test and 192.0.2.1 instead of the server
  bool expired;
  CertificateFiles TestCertificates::*files;
};
const Made kMade[] = {
    {ServerCert::Valid, "valid", "ca", false, false, &TestCertificates::valid},
    {ServerCert::WrongHost, "wrong_host", "ca", true, false, &TestCertificates::wrong_host},
    {ServerCert::SelfSigned, "self_signed", "", false, false, &TestCertificates::self_signed},
    {ServerCert::UnknownCa, "unknown_ca", "other_ca", false, false, &TestCertificates::unknown_ca},
    {ServerCert::Expired, "expired", "ca", false, true, &TestCertificates::expired},
};

const Made& made(ServerCert cert) {
  for (const Made& m : kMade)
    if (m.cert == cert) return m;
  std::abort();  // every value has its row
}

// The configuration of every openssl call: extension sets for CAs and
// servers, and the signing set-up `openssl ca` needs (only the expired
// certificate takes that way: it alone sets a start date).
std::string configuration(const std::string& root) {
  return "[req]\n"
         "distinguished_name = dn\n"
         "[dn]\n"
         "[ca_cert]\n"
         "basicConstraints = critical,CA:TRUE\n"
         "keyUsage = critical,keyCertSign,cRLSign\n"
         "subjectKeyIdentifier = hash\n"
         "[server_cert]\n"
         "basicConstraints = CA:FALSE\n"
         "keyUsage = critical,digitalSignature\n"
         "extendedKeyUsage = serverAuth\n"
         "[signing]\n"
         "database = " + root + "/index.txt\n"
         "new_certs_dir = " + root + "\n"
         "serial = " + root + "/serial\n"
         "default_md = sha256\n"
         "policy = any\n"
         "unique_subject = no\n"
         "copy_extensions = copy\n"
         "[any]\n"
         "commonName = supplied\n";
}

bool put(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  return bool(out.flush());
}

bool openssl(std::vector<std::string> args, std::string* error) {
  args.insert(args.begin(), kOpenssl);
  Outcome done = run({args, {}, ""}, kOpensslWaitMs);
  if (done.exit_status == 0) return true;
  *error = "openssl failed:";
  for (const std::string& a : args) *error += " " + a;
  *error += "\n" + done.out + done.err;
  return false;
}

// A new EC P-256 key in `key`, for `openssl req`.
std::vector<std::string> new_key(const std::string& root, const std::string& key) {
  return {"req", "-config", root + "/openssl.cnf", "-newkey", "ec", "-pkeyopt",
          "ec_paramgen_curve:P-256", "-nodes", "-keyout", key};
}

std::mutex g_mutex;
std::string g_root;  // the folder of this process's certificates, once made
pid_t g_owner = 0;
std::map<std::string, TestCertificates> g_made;  // by address

void remove_root() {
  if (getpid() == g_owner && !g_root.empty()) {
    std::error_code ignored;
    fs::remove_all(g_root, ignored);
  }
}

// The folder and the two CAs, once per process.
bool make_root(std::string* error) {
  if (!g_root.empty()) return true;
  std::string root = fs::temp_directory_path() / "ftpam-certs-XXXXXX";
  if (!mkdtemp(root.data())) {
    *error = "mkdtemp failed for " + root;
    return false;
  }
  chmod(root.c_str(), 0755);  // servers that drop privileges still read them
  bool made = put(root + "/openssl.cnf", configuration(root)) && put(root + "/index.txt", "") &&
              put(root + "/serial", "1000\n");
  if (!made) *error = "cannot write in " + root;
  for (const char* ca : {"ca", "other_ca"}) {
    std::vector<std::string> args = new_key(root, root + "/" + ca + ".key");
    args.insert(args.end(), {"-x509", "-extensions", "ca_cert", "-days", "3650", "-subj",
                             std::string("/CN=ftpam test ") + ca, "-out",
                             root + "/" + ca + ".pem"});
    made = made && openssl(args, error);
  }
  if (!made) {  // tried again on the next call, in a new folder
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return false;
  }
  g_root = root;
  g_owner = getpid();
  std::atexit(remove_root);
  return true;
}

bool make_cert(const Made& m, const std::string& address, const std::string& folder,
               CertificateFiles* files, std::string* error) {
  files->cert = folder + "/" + m.name + ".pem";
  files->key = folder + "/" + m.name + ".key";
  std::string names = m.other_host ? "DNS:other.test,IP:192.0.2.1"
                                   : "IP:" + address + ",DNS:ftp.test";
  std::vector<std::string> args = new_key(g_root, files->key);
  args.insert(args.end(), {"-subj", std::string("/CN=") + (m.other_host ? "other.test" : "ftp.test"),
                           "-addext", "subjectAltName=" + names});
  std::string issuer = g_root + "/" + m.issuer;
  if (!m.expired) {
    args.insert(args.end(), {"-x509", "-extensions", "server_cert", "-days", "825", "-out",
                             files->cert});
    if (*m.issuer) args.insert(args.end(), {"-CA", issuer + ".pem", "-CAkey", issuer + ".key"});
    return openssl(args, error);
  }
  std::string request = folder + "/" + m.name + ".csr";
  args.insert(args.end(), {"-new", "-out", request});
  return openssl(args, error) &&
         openssl({"ca", "-batch", "-notext", "-config", g_root + "/openssl.cnf", "-name", "signing",
                  "-extensions", "server_cert", "-cert", issuer + ".pem", "-keyfile",
                  issuer + ".key", "-startdate", "200101000000Z", "-enddate", "210101000000Z",
                  "-in", request, "-out", files->cert},
                 error);
}

}  // namespace

const char* cert_name(ServerCert cert) { return made(cert).name; }

const CertificateFiles& TestCertificates::operator[](ServerCert cert) const {
  return this->*made(cert).files;
}

const TestCertificates& test_certificates(const std::string& address, std::string* error) {
  static const TestCertificates kNone;
  std::lock_guard lock(g_mutex);
  if (auto found = g_made.find(address); found != g_made.end()) return found->second;
  in_addr ignored;
  if (inet_pton(AF_INET, address.c_str(), &ignored) != 1) {
    *error = "test certificates: \"" + address + "\" is not an IPv4 address";
    return kNone;
  }
  if (!make_root(error)) return kNone;
  std::string folder = g_root + "/" + address;
  std::error_code ec;
  fs::create_directory(folder, ec);
  TestCertificates certs;
  certs.ca_file = g_root + "/ca.pem";
  certs.other_ca_file = g_root + "/other_ca.pem";
  for (const Made& m : kMade)
    if (!make_cert(m, address, folder, &(certs.*m.files), error)) return kNone;
  return g_made.emplace(address, certs).first->second;
}

const char* tls_mode_name(TlsMode mode) {
  switch (mode) {
    case TlsMode::None: return "plain";
    case TlsMode::Explicit: return "explicit";
    case TlsMode::Implicit: return "implicit";
  }
  return "?";
}

int control_port(TlsMode mode) { return mode == TlsMode::Implicit ? 990 : 21; }

}  // namespace ftptest

// Starting and stopping the real FTP servers of the end-to-end tests.
#include "tests/support/real_servers.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/loopback.h"
#include "tests/support/net.h"
#include "tests/support/plain_ftp_client.h"

extern char** environ;

namespace ftptest {
namespace fs = std::filesystem;

namespace {

const std::string kUser = "ftpamtest";
const std::string kPassword = "ftpam-test-pw";
const char* const kPython = "/usr/bin/python3";
const char* const kPyftpdlibPackage = "/usr/lib/python3/dist-packages/pyftpdlib/__init__.py";
const char* const kPyOpenssl = "/usr/lib/python3/dist-packages/OpenSSL/__init__.py";
const char* const kVsftpd = "/usr/sbin/vsftpd";
const char* const kOpenssl = "/usr/bin/openssl";
constexpr int kStartAttempts = 4;
constexpr int kGreetingWaitMs = 15000;
constexpr int kProbeWaitMs = 2000;     // one look for the greeting
constexpr int kProbeIntervalMs = 20;   // between looks
constexpr int kStopWaitMs = 5000;

bool put(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return bool(out.flush());
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// Runs `argv` to its end, `input` on its standard input; true on exit status 0.
bool run(std::vector<std::string> argv, const std::string& input, std::string* output) {
  std::string in_path = fs::temp_directory_path() / ("ftpam-run-" + std::to_string(getpid()));
  put(in_path, input);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  std::string out_path = in_path + ".out";
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid;
  int status = -1;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0)
    waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  if (output) *output = slurp(out_path);
  fs::remove(in_path);
  fs::remove(out_path);
  return status == 0;
}

// vsftpd logs in system accounts only: makes the test account when it is
// missing. Two test processes may race here; whoever loses finds it made.
bool ensure_test_account(std::string* error) {
  if (getpwnam(kUser.c_str())) return true;
  std::string output;
  bool made = run({"/usr/sbin/useradd", "--system", "--create-home", "--home-dir",
                   "/var/lib/" + kUser, "--shell", "/bin/sh", kUser},
                  "", &output);
  if (!made) {
    if (getpwnam(kUser.c_str())) return true;
    *error = "useradd " + kUser + " failed: " + output;
    return false;
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (run({"/usr/sbin/chpasswd"}, kUser + ":" + kPassword + "\n", &output)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // /etc/shadow was locked
  }
  *error = "chpasswd for " + kUser + " failed: " + output;
  return false;
}

std::string vsftpd_config(const std::string& address, int port, const std::string& folder,
                          const std::string& home, const std::string& banner, TlsMode mode,
                          const CertificateFiles& cert) {
  const bool ipv6 = address.find(':') != std::string::npos;
  std::vector<std::string> settings = {
      ipv6 ? "listen=NO" : "listen=YES",
      ipv6 ? "listen_ipv6=YES" : "listen_ipv6=NO",
      (ipv6 ? "listen_address6=" : "listen_address=") + address,
      "listen_port=" + std::to_string(port),
      "background=NO",
      "anonymous_enable=NO",
      "local_enable=YES",
      "local_root=" + home,
      "write_enable=YES",
      "local_umask=022",
      "port_enable=YES",
      "connect_from_port_20=NO",
      "seccomp_sandbox=NO",
      "secure_chroot_dir=" + folder + "/empty",
      "pam_service_name=vsftpd",
      "ascii_download_enable=YES",
      "ascii_upload_enable=YES",
      "idle_session_timeout=120",
      "data_connection_timeout=60",
      "xferlog_enable=YES",
      "xferlog_std_format=NO",
      "log_ftp_protocol=YES",
      "vsftpd_log_file=" + folder + "/server.log",
      "ftpd_banner=" + banner,
  };
  if (mode != TlsMode::None) {
    settings.insert(settings.end(), {
        "ssl_enable=YES",
        mode == TlsMode::Implicit ? "implicit_ssl=YES" : "implicit_ssl=NO",
        "force_local_logins_ssl=YES",
        "force_local_data_ssl=YES",
        "require_ssl_reuse=YES",
        // An upload that ends without close_notify fails (426).
        "strict_ssl_read_eof=YES",
        // Its one switch of versions: TLS 1.0 and later, of which OpenSSL's
        // security level leaves 1.2 and 1.3.
        "ssl_tlsv1=YES",
        "ssl_sslv2=NO",
        "ssl_sslv3=NO",
        "ssl_ciphers=HIGH",  // the default, DES-CBC3-SHA, is gone from OpenSSL 3
        "rsa_cert_file=" + cert.cert,
        "rsa_private_key_file=" + cert.key,
        "debug_ssl=YES",  // the log says of each connection whether it resumed
    });
  }
  std::string text;
  for (const std::string& line : settings) text += line + "\n";
  return text;
}

// A port nobody listens on at `address` now: the system's choice for a
// socket bound there and closed again. 0 with `error` set when none.
int free_port(const std::string& address, std::string* error) {
  Fd probe = listen_tcp(address, 0, error);
  return probe ? local_port(probe.get()) : 0;
}

}  // namespace

const char* server_name(ServerKind kind) {
  return kind == ServerKind::Pyftpdlib ? "pyftpdlib" : "vsftpd";
}

std::string unavailable(ServerKind kind, TlsMode mode) {
  const char* missing = nullptr;
  if (kind == ServerKind::Pyftpdlib) {
    if (access(kPython, X_OK) != 0 || access(kPyftpdlibPackage, R_OK) != 0)
      missing = "python3-pyftpdlib";
    else if (mode != TlsMode::None && access(kPyOpenssl, R_OK) != 0)
      missing = "python3-openssl";
  } else if (access(kVsftpd, X_OK) != 0) {
    missing = "vsftpd";
  }
  if (!missing && mode != TlsMode::None && access(kOpenssl, X_OK) != 0) missing = "openssl";
  return missing ? std::string(missing) + " is not installed (tools/setup.sh installs it)" : "";
}

std::string RealServer::host() const {
  return host_value(address_, port_, control_port(tls_.mode));
}

const std::string& RealServer::user() const { return kUser; }
const std::string& RealServer::password() const { return kPassword; }

RealServer::RealServer(ServerKind kind, std::string folder, TlsServing tls)
    : kind_(kind), tls_(tls), folder_(std::move(folder)), home_(folder_ + "/home") {}

RealServer::~RealServer() { stop(); }

std::unique_ptr<RealServer> RealServer::start(ServerKind kind, std::string* error,
                                              const TlsServing& tls, bool ipv6) {
  if (std::string why = unavailable(kind, tls.mode); !why.empty()) {
    *error = why;
    return nullptr;
  }
  if (kind == ServerKind::Vsftpd && !ensure_test_account(error)) return nullptr;

  std::string pattern =
      fs::temp_directory_path() / (std::string("ftpam-") + server_name(kind) + "-XXXXXX");
  if (!mkdtemp(pattern.data())) {
    *error = "mkdtemp failed";
    return nullptr;
  }
  std::unique_ptr<RealServer> server(new RealServer(kind, pattern, tls));
  // Searchable by the test account; the configuration and the empty folder
  // vsftpd insists on stay root's.
  chmod(server->folder_.c_str(), 0755);
  fs::create_directory(server->folder_ + "/empty");
  fs::create_directory(server->home_);
  server->give_to_user(server->home_);

  // The address is this process's own. Only where the process has no private
  // loopback can a program that does not lease hold it: then the server ends
  // at once (or another greets), and the next address is tried.
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    server->address_ = ipv6 ? "::1" : claim_loopback_address(error);
    if (server->address_.empty()) return nullptr;
    server->port_ = ipv6 ? free_port(server->address_, error) : control_port(tls.mode);
    if (server->port_ <= 0) return nullptr;
    CertificateFiles cert;  // a certificate made for the address
    if (tls.mode != TlsMode::None) {
      const TestCertificates& certs = test_certificates(server->address_, error);
      if (certs.ca_file.empty()) return nullptr;
      server->ca_file_ = certs.ca_file;
      cert = certs[tls.cert];
    }
    if (server->launch(cert, error) && server->wait_for_greeting(error)) return server;
    server->stop_process();
  }
  *error += "\n--- server output:\n" + slurp(server->folder_ + "/output.log") + server->log();
  return nullptr;
}

bool RealServer::launch(const CertificateFiles& cert, std::string* error) {
  std::vector<std::string> argv;
  if (kind_ == ServerKind::Pyftpdlib) {
    std::string script = FTPAM_SOURCE_DIR "/tests/servers/pyftpd.py";
    argv = {kPython, script, "--banner", banner(), "--log", folder_ + "/server.log",
            "--port", std::to_string(port()), address_, home_, kUser, kPassword};
    if (tls_.mode != TlsMode::None)
      argv.insert(argv.end(), {"--tls", tls_mode_name(tls_.mode), "--cert", cert.cert, "--key",
                               cert.key});
  } else {
    std::string config = folder_ + "/vsftpd.conf";
    if (!put(config,
             vsftpd_config(address_, port_, folder_, home_, banner(), tls_.mode, cert))) {
      *error = "cannot write " + config;
      return false;
    }
    chmod(config.c_str(), 0644);
    argv = {kVsftpd, config};
  }
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);

  std::string output = folder_ + "/output.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);  // its own group, so stop() reaches its sessions
  int rc = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    pid_ = -1;
    *error = std::string("cannot start ") + args[0] + ": " + std::strerror(rc);
    return false;
  }
  return true;
}

// Our banner, not just any greeting: without a private loopback another
// program may answer on the address.
bool RealServer::greets() const {
  if (tls_.mode != TlsMode::Implicit) {
    PlainFtpClient probe(kProbeWaitMs);
    return probe.connect(address_, nullptr, port_).rfind("220 " + banner(), 0) == 0;
  }
  // TLS from the first byte: once the port takes connections, openssl reads
  // the greeting (without verifying: a test may serve a bad certificate).
  if (!connect_tcp(address_, port(), kProbeWaitMs, nullptr)) return false;
  Launch probe;
  probe.argv = {kOpenssl, "s_client", "-connect", address_ + ":" + std::to_string(port()),
                "-quiet", "-crlf"};
  probe.input = "QUIT\n";
  return ftptest::run(probe, kProbeWaitMs).out.find("220 " + banner()) != std::string::npos;
}

bool RealServer::wait_for_greeting(std::string* error) {
  const std::string what =
      std::string(server_name(kind_)) + " on " + address_ + ":" + std::to_string(port());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGreetingWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (greets()) return true;
    // Not listening yet: look again a little later, or as soon as it ends.
    if (ftptest::wait_for_end(pid_, kProbeIntervalMs)) {
      int status;
      waitpid(pid_, &status, 0);
      pid_ = -1;
      *error = what + ": the server ended before it greeted";
      return false;
    }
  }
  *error = what + ": no greeting within " + std::to_string(kGreetingWaitMs) + " ms";
  return false;
}

std::string RealServer::banner() const {
  return std::string(server_name(kind_)) + " ready, " + fs::path(folder_).filename().string();
}

void RealServer::stop_process() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  int status;
  if (!ftptest::wait_for_end(pid_, kStopWaitMs)) kill(-pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  if (kind_ == ServerKind::Vsftpd) {
    // vsftpd serves each session in processes of a session group of their
    // own, which outlive the listener; they run our config file, so they are
    // found by it and ended too, and waited for.
    std::string command_line = std::string(kVsftpd) + '\0' + folder_ + "/vsftpd.conf" + '\0';
    std::vector<pid_t> sessions;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc", ec)) {
      std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") == std::string::npos &&
          slurp(entry.path().string() + "/cmdline") == command_line)
        sessions.push_back(std::stoi(name));
    }
    for (pid_t session : sessions) kill(session, SIGKILL);
    for (pid_t session : sessions) ftptest::wait_for_end(session, kStopWaitMs);
  }
}

void RealServer::stop() {
  stop_process();
  if (!folder_.empty()) {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    folder_.clear();
  }
}

void RealServer::give_to_user(const std::string& path) const {
  if (kind_ != ServerKind::Vsftpd) return;
  passwd* pw = getpwnam(kUser.c_str());
  if (pw && chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
    // The server then cannot overwrite this file, and a test will say so.
  }
}

bool RealServer::make_folder(const std::string& relative) const {
  fs::path path = fs::path(home_) / relative;
  std::error_code ec;
  fs::create_directories(path, ec);
  for (fs::path p = path; p.string().size() > home_.size(); p = p.parent_path())
    give_to_user(p.string());
  return fs::is_directory(path);
}

bool RealServer::write_file(const std::string& relative, const std::string& bytes) const {
  fs::path path = fs::path(home_) / relative;
  if (path.has_parent_path() && !make_folder(fs::relative(path.parent_path(), home_).string()))
    return false;
  if (!put(path.string(), bytes)) return false;
  give_to_user(path.string());
  return true;
}

std::string RealServer::read_file(const std::string& relative) const {
  return slurp((fs::path(home_) / relative).string());
}

std::string RealServer::log() const { return slurp(folder_ + "/server.log"); }

}  // namespace ftptest

// Starting, stopping and reading the scripted FTP-over-TLS server.
#include "tests/support/tls_script_server.h"

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/loopback.h"

namespace ftptest {
namespace fs = std::filesystem;

namespace {

constexpr int kStartAttempts = 4;
constexpr int kReadyWaitMs = 15000;
constexpr int kStopWaitMs = 5000;

const char* const kScenarioNames[] = {
    "normal",      "refuse-auth", "pipelined-after-234", "cut-download", "stall-handshake",
    "refuse-prot", "data-handshake-fails",
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// "data passive RETR tls=yes resumed=no bytes=13 end=close_notify", less "data ".
TlsDataConnection data_connection(const std::string& fields) {
  TlsDataConnection data;
  std::istringstream in(fields);
  in >> data.mode >> data.verb;
  for (std::string field; in >> field;) {
    std::string name = field.substr(0, field.find('=')), value = field.substr(name.size() + 1);
    if (name == "tls") data.tls = value == "yes";
    if (name == "resumed") data.resumed = value == "yes";
    if (name == "bytes") data.bytes = std::atol(value.c_str());
    if (name == "end") data.end = value;
  }
  return data;
}

}  // namespace

const char* scenario_name(TlsScenario scenario) { return kScenarioNames[int(scenario)]; }

TlsScriptServer::TlsScriptServer(std::string folder, TlsMode mode)
    : folder_(std::move(folder)), mode_(mode) {}

TlsScriptServer::~TlsScriptServer() {
  stop();
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

std::unique_ptr<TlsScriptServer> TlsScriptServer::start(const TlsScript& script,
                                                        const TlsServing& tls,
                                                        std::string* error) {
  if (tls.mode == TlsMode::None) {
    *error = "the TLS script server serves TLS only: ask for Explicit or Implicit";
    return nullptr;
  }
  std::string folder = fs::temp_directory_path() / "ftpam-tls-script-XXXXXX";
  if (!mkdtemp(folder.data())) {
    *error = "mkdtemp failed";
    return nullptr;
  }
  std::unique_ptr<TlsScriptServer> server(new TlsScriptServer(folder, tls.mode));
  fs::create_directory(folder + "/files");
  // As with the real servers: only where the process has no private
  // loopback can another program hold the address, and the next is tried.
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    server->address_ = claim_loopback_address(error);
    if (server->address_.empty()) return nullptr;
    const TestCertificates& certs = test_certificates(server->address_, error);
    if (certs.ca_file.empty()) return nullptr;
    server->ca_file_ = certs.ca_file;
    if (server->launch(script, certs[tls.cert], error)) return server;
  }
  return nullptr;
}

bool TlsScriptServer::launch(const TlsScript& script, const CertificateFiles& cert,
                             std::string* error) {
  Launch launch;
  launch.argv = {"/usr/bin/python3", FTPAM_SOURCE_DIR "/tests/servers/tls_ftp_server.py",
                 "--scenario", scenario_name(script.scenario), "--cert", cert.cert, "--key",
                 cert.key, "--transcript", folder_ + "/transcript", address_, folder_ + "/files"};
  if (mode_ == TlsMode::Implicit) launch.argv.push_back("--implicit");
  if (!script.require_reuse) launch.argv.push_back("--no-reuse-required");
  if (script.tls12_only) launch.argv.push_back("--tls12-only");
  child_ = std::make_unique<Child>();
  if (!child_->start(launch, error)) return false;
  testing::AssertionResult ready = child_->wait_for("ready\n", kReadyWaitMs);
  if (ready) return true;
  *error = std::string("the TLS script server on ") + address_ + " did not start: " +
           ready.message();
  stop();
  return false;
}

void TlsScriptServer::stop() {
  if (!child_) return;
  child_->signal(SIGTERM);
  child_->finish(kStopWaitMs);  // kills it when it has not ended by then
  child_.reset();
}

bool TlsScriptServer::write_file(const std::string& name, const std::string& bytes) const {
  fs::path path = fs::path(folder_) / "files" / name;
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return bool(out.flush());
}

std::string TlsScriptServer::read_file(const std::string& name) const {
  return slurp(folder_ + "/files/" + name);
}

std::string TlsScriptServer::transcript() const { return slurp(folder_ + "/transcript"); }

TlsRecord TlsScriptServer::record() const {
  TlsRecord record;
  std::istringstream lines(transcript());
  for (std::string line; std::getline(lines, line);) {
    std::string rest = line.substr(line.find(' ') + 1);  // after the session's number
    std::string kind = rest.substr(0, rest.find(' '));
    std::string text = rest.size() > kind.size() ? rest.substr(kind.size() + 1) : "";
    if (kind == "clear" || kind == "tls") record.commands.push_back(rest);
    if (kind == "data") record.data.push_back(data_connection(text));
    if (kind == "note") record.notes.push_back(text);
  }
  return record;
}

}  // namespace ftptest

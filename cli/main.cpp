// ftpam: the command-line host. One operation per run on a remote FTP file,
// with the file-reference options in the host's statement syntax.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/interrupt.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/options.h"
#include "host/variables.h"

namespace {

constexpr char FTPAM_VERSION[] = "1.1";
constexpr int DEFAULT_WAIT_SECONDS = 60;

// Before the list of commands (cli::command_list).
const char usage_head[] =
    "usage: ftpam [FLAGS] COMMAND [OPERAND] [OPTION...] [FLAGS]\n"
    "\n"
    "Reads and writes files on an FTP server record by record.\n"
    "\n"
    "commands:\n";

// After the list of commands.
const char usage_tail[] =
    "\n"
    "options (after the operand, in the host's statement syntax):\n"
    "  host=NAME user=NAME pass=TEXT mach=NAME recfm=V|F|S lrecl=N blocksize=N\n"
    "  wd=DIR termstr=CRLF|LF|NULL s370v s370vs debug prompt mod bypass noquit ...\n"
    "  Text values are quoted for you: host=127.0.0.2 is host='127.0.0.2'.\n"
    "\n"
    "  host=NAME:PORT reaches a server on another port than 21; in place of REMOTE\n"
    "  an ftp://[USER[:PASSWORD]@]HOST[:PORT]/PATH URL gives host, user and pass.\n"
    "  An IPv6 address stands alone (host=::1) or in brackets before a port\n"
    "  (host=[::1]:2121, ftp://[::1]:2121/PATH); ipv4 or ipv6 keeps to one family.\n"
    "  Without user= and pass=, host= alone takes its ~/.netrc entry; a missing\n"
    "  password comes from $FTPAM_PASSWORD or is asked for on a terminal.\n"
    "\n"
    "flags (before or after the command):\n"
    "  --module FILE         the module to load (default: the one built with ftpam;\n"
    "                        also $FTPAM_MODULE)\n"
    "  --wait SECONDS        give up when the server sends nothing for that long\n"
    "                        (host option XXAMWAIT; default 60, 0: wait for ever)\n"
    "  --data-port N         host option XXAMTPRT: the local port of the data\n"
    "                        connection (--port is the same)\n"
    "  --bind ADDRESS        host option XXAMBIND: the address sent with PORT (an\n"
    "                        IPv6 address with EPRT, for a server reached over IPv6)\n"
    "  -4, -6                reach the server at its IPv4 (or IPv6) addresses only\n"
    "                        (host option XXAMINET)\n"
    "  --passive             host option XXAMPASV: passive data connections (EPSV,\n"
    "                        then PASV), for servers behind firewalls and NAT\n"
    "  --active              active data connections for this run, whatever\n"
    "                        XXAMPASV says (the option active)\n"
    "  --tls[=explicit]      FTP over TLS: AUTH TLS on the FTP port, then the password\n"
    "                        and every transfer encrypted (host option XXAMFTPS)\n"
    "  --tls=implicit        TLS from the first byte, on port 990 unless a port is\n"
    "                        named (as an ftps:// URL does)\n"
    "  --cacert FILE         trust the certificates in FILE (PEM) for the server's\n"
    "                        certificate, instead of the system's (XXAMCAFL)\n"
    "  --insecure            do not check the server's certificate (warns each time;\n"
    "                        XXAMVRFY=NO)\n"
    "  --option KEY=VALUE    any host option\n"
    "  --var NAME=VALUE      a host variable (FTPHOST, FTPUSER; numbers for NBYTE\n"
    "                        variables); FTPHOST and FTPUSER also come from the\n"
    "                        environment\n"
    "  --log                 show the module's messages on standard error\n"
    "  -v, --verbose         a transcript: every command and reply (passwords\n"
    "                        masked) and the module's messages\n"
    "  --version             the versions of ftpam and of the module\n"
    "\n"
    "exit status:\n"
    "  0    success\n"
    "  1    the server refused (its reply is shown), or another failure\n"
    "  2    usage: command, flag, option or script statement\n"
    "  3    no connection to the server\n"
    "  4    log-in refused\n"
    "  5    writing standard output (or a file of mget --to) failed, or a file\n"
    "       of mget --to was not saved (its name was taken)\n"
    "  6    time-out: the server sent nothing for the wait limit\n"
    "  7    done, but records were cut or padded (see the message)\n"
    "  8    TLS could not be set up: AUTH TLS, PBSZ or PROT refused, the handshake\n"
    "       failed, or the TLS library is missing\n"
    "  9    the server's certificate was not accepted\n"
    "  10   a transfer could not go on where it was cut (--continue): the server\n"
    "       refused REST or did not tell the size, or the files do not match\n"
    "  130  interrupted (Ctrl-C)\n"
    "\n"
    "Run 'ftpam COMMAND --help' for a command's own flags and examples.\n";

std::string usage() { return usage_head + cli::command_list() + usage_tail; }

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool split_assignment(const std::string& text, std::string* key, std::string* value) {
  size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  *key = text.substr(0, eq);
  *value = text.substr(eq + 1);
  return true;
}

void set_variable(const std::string& name, const std::string& value) {
  char* end = nullptr;
  double number = std::strtod(value.c_str(), &end);
  if (!value.empty() && end && *end == '\0') host::variables::set_number(name, number);
  else host::variables::set(name, value);
}

int show_version() {
  std::printf("ftpam %s\n", FTPAM_VERSION);
  std::string error;
  host::Module* module = host::Module::load_default(&error);
  if (!module) {
    std::printf("module: cannot load: %s\n", error.c_str());
    return cli::EXIT_FAILED;
  }
  const ImageInfo* i = module->image();
  std::printf("module %s (major %d), build %s of %s\n", i->release, i->major_release, i->build_id,
              i->build_date);
  return cli::EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (const char* m = std::getenv("FTPAM_MODULE")) host::Module::set_default_path(m);
  bool show_log = false, verbose = false, wait_given = false;
  for (const char* name : {"FTPHOST", "FTPUSER"})
    if (const char* v = std::getenv(name)) host::variables::set(name, v);

  // The flags of ftpam itself stand before or after the command; the rest is
  // the command, its operand, its own flags and the options.
  std::vector<std::string> rest;
  std::string command;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto next = [&](const char* flag) -> std::string {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "ftpam: %s needs a value\n", flag);
        std::exit(cli::EXIT_USAGE);
      }
      return args[++i];
    };
    std::string key, value;
    if (!starts_with(a, "-") || a == "-") {
      if (command.empty()) command = a;
      else rest.push_back(a);
    } else if ((a == "--help" || a == "-h") && command.empty()) {
      std::fputs(usage().c_str(), stdout);
      return cli::EXIT_OK;
    } else if (a == "--version") {
      return show_version();
    } else if (a == "--module") {
      host::Module::set_default_path(next("--module"));
    } else if (a == "--wait") {
      std::string seconds = next("--wait");
      char* end = nullptr;
      long n = std::strtol(seconds.c_str(), &end, 10);
      if (seconds.empty() || *end || n < 0 || n > 86400 * 365) {
        std::fprintf(stderr, "ftpam: --wait needs a number of seconds (0: no limit)\n");
        return cli::EXIT_USAGE;
      }
      wait_given = true;
      if (n > 0) host::options::set("XXAMWAIT", seconds);
    } else if (a == "--data-port" || a == "--port") {
      host::options::set("XXAMTPRT", next(a.c_str()));
    } else if (a == "--bind") {
      host::options::set("XXAMBIND", next("--bind"));
    } else if (a == "-4" || a == "-6") {
      host::options::set("XXAMINET", a.substr(1));
    } else if (a == "--passive") {
      host::options::set("XXAMPASV", "1");
    } else if (a == "--active") {
      rest.push_back(a);  // the option ACTIVE of the command's file
    } else if (a == "--tls" || a == "--tls=explicit") {
      host::options::set("XXAMFTPS", "EXPLICIT");
    } else if (a == "--tls=implicit") {
      host::options::set("XXAMFTPS", "IMPLICIT");
    } else if (a == "--cacert") {
      host::options::set("XXAMCAFL", next("--cacert"));
    } else if (a == "--insecure") {
      host::options::set("XXAMVRFY", "NO");
    } else if (a == "--option" && split_assignment(next("--option"), &key, &value)) {
      host::options::set(key, value);
    } else if (a == "--var" && split_assignment(next("--var"), &key, &value)) {
      set_variable(key, value);
    } else if (a == "--log") {
      show_log = true;
    } else if (a == "-v" || a == "--verbose") {
      verbose = true;
    } else if (command.empty()) {
      std::fprintf(stderr, "ftpam: unknown flag %s (see ftpam --help)\n", a.c_str());
      return cli::EXIT_USAGE;
    } else {
      rest.push_back(a);  // the command's own flag
    }
  }
  if (command.empty()) {
    std::fputs(usage().c_str(), stderr);
    return cli::EXIT_USAGE;
  }
  // No wait without a limit unless asked for: a server that stops talking
  // ends the run after a minute.
  if (!wait_given && host::options::get("XXAMWAIT").empty())
    host::options::set("XXAMWAIT", std::to_string(DEFAULT_WAIT_SECONDS));

  std::string error;
  host::Module* module = host::Module::load_default(&error);
  if (!module) {
    std::fprintf(stderr, "ftpam: cannot load the module: %s\n", error.c_str());
    return cli::EXIT_FAILED;
  }
  cli::set_log_level(show_log || verbose, verbose);
  if (verbose) {
    std::string wait = host::options::get("XXAMWAIT");
    if (wait.empty()) std::fputs("ftpam: waits for the server have no time limit\n", stderr);
    else std::fprintf(stderr, "ftpam: a wait for the server ends after %s s without a byte\n",
                      wait.c_str());
  }
  host::messages::set_log_sink(cli::essential_log_line);
  cli::install_interrupt_handling();
  return cli::run_command(command, rest);
}

// ftpam: the command-line host. One operation per run on a remote FTP file,
// with the file-reference options in the host's statement syntax.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/interrupt.h"
#include "host/messages.h"
#include "host/module.h"
#include "host/options.h"
#include "host/variables.h"

namespace {

const char usage[] =
    "usage: ftpam [FLAGS] COMMAND [OPERAND] [OPTION...]\n"
    "\n"
    "Reads and writes files on an FTP server record by record.\n"
    "\n"
    "commands:\n"
    "  get REMOTE            read a remote file's records to standard output\n"
    "  put REMOTE            write records from standard input (STOR; APPE with MOD)\n"
    "  ls [PATTERN]          list a remote directory (NLST; --long for LIST)\n"
    "  mget PATTERN|'(A B)'  read several remote files as one\n"
    "  help | stat           the server's HELP or STAT reply, line by line\n"
    "  cmd 'COMMAND'         send a raw command and show its reply\n"
    "  info REMOTE           open a remote file and show its information items\n"
    "  run SCRIPT            run a script of statements (assign, open, read, ...)\n"
    "  module                show what the host finds in the module\n"
    "\n"
    "options (after the operand, in the host's statement syntax):\n"
    "  host=NAME user=NAME pass=TEXT mach=NAME recfm=V|F|S lrecl=N blocksize=N\n"
    "  wd=DIR termstr=CRLF|LF|NULL s370v s370vs debug prompt mod bypass noquit ...\n"
    "  Text values are quoted for you: host=127.0.0.2 is host='127.0.0.2'.\n"
    "\n"
    "flags (before the command):\n"
    "  --module FILE         the module to load (default: the one built with ftpam;\n"
    "                        also $FTPAM_MODULE)\n"
    "  --wait SECONDS        host option XXAMWAIT: give up on a silent server\n"
    "  --port N              host option XXAMTPRT\n"
    "  --bind ADDRESS        host option XXAMBIND: the address sent with PORT\n"
    "  --passive             host option XXAMPASV: passive data connections (EPSV,\n"
    "                        then PASV), for servers behind firewalls and NAT\n"
    "  --option KEY=VALUE    any host option\n"
    "  --var NAME=VALUE      a host variable (FTPHOST, FTPUSER; numbers for NBYTE\n"
    "                        variables); FTPHOST and FTPUSER also come from the\n"
    "                        environment\n"
    "  --log                 show the module's messages on standard error (with the\n"
    "                        option debug: every command and reply)\n"
    "\n"
    "Run 'ftpam COMMAND --help' for a command's own flags and examples.\n";

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

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string module_path;
  if (const char* m = std::getenv("FTPAM_MODULE")) module_path = m;
  bool show_log = false;
  for (const char* name : {"FTPHOST", "FTPUSER"})
    if (const char* v = std::getenv(name)) host::variables::set(name, v);

  size_t i = 0;
  for (; i < args.size() && starts_with(args[i], "-"); ++i) {
    const std::string& a = args[i];
    auto next = [&](const char* flag) -> std::string {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "ftpam: %s needs a value\n", flag);
        std::exit(2);
      }
      return args[++i];
    };
    std::string key, value;
    if (a == "--help" || a == "-h") {
      std::fputs(usage, stdout);
      return 0;
    } else if (a == "--module") {
      module_path = next("--module");
    } else if (a == "--wait") {
      host::options::set("XXAMWAIT", next("--wait"));
    } else if (a == "--port") {
      host::options::set("XXAMTPRT", next("--port"));
    } else if (a == "--bind") {
      host::options::set("XXAMBIND", next("--bind"));
    } else if (a == "--passive") {
      host::options::set("XXAMPASV", "1");
    } else if (a == "--option" && split_assignment(next("--option"), &key, &value)) {
      host::options::set(key, value);
    } else if (a == "--var" && split_assignment(next("--var"), &key, &value)) {
      set_variable(key, value);
    } else if (a == "--log") {
      show_log = true;
    } else {
      std::fprintf(stderr, "ftpam: unknown flag %s (see ftpam --help)\n", a.c_str());
      return 2;
    }
  }
  if (i >= args.size()) {
    std::fputs(usage, stderr);
    return 2;
  }
  std::string command = args[i++];
  std::vector<std::string> rest(args.begin() + long(i), args.end());

  std::string error;
  host::Module* module = module_path.empty() ? host::Module::load_default(&error)
                                             : host::Module::load(module_path, &error);
  if (!module) {
    std::fprintf(stderr, "ftpam: cannot load the module: %s\n", error.c_str());
    return 1;
  }
  if (show_log) {
    host::messages::set_log_sink([](const host::messages::LogLine& line) {
      std::fprintf(stderr, "%s\n", line.text.c_str());
    });
  } else {
    // Without --log only what a user must see goes to standard error.
    host::messages::set_log_sink(cli::essential_log_line);
  }
  cli::install_interrupt_handling();
  return cli::run_command(command, rest, module_path);
}

#include "cli/commands.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>

#include "cli/options.h"
#include "cli/output.h"
#include "cli/session.h"
#include "host/files.h"
#include "host/module.h"
#include "module/msgno.h"
#include "module/status.h"

namespace cli {
namespace {

// The reference name every one-operation command uses.
constexpr char REFERENCE[] = "FTPAM";

struct CommandHelp {
  const char* name;
  const char* text;
};

const CommandHelp helps[] = {
    {"get",
     "usage: ftpam get REMOTE [--raw|--hex] [--cc] [--piece N] [OPTION...]\n"
     "Reads the records of REMOTE to standard output, one record per line.\n"
     "  --raw      the record bytes back to back, nothing added\n"
     "  --hex      a hex dump of each record\n"
     "  --cc       show each record's carriage-control character first\n"
     "  --piece N  bytes per read for RECFM=S files (default: LRECL; -1: what the\n"
     "             network delivers)\n"
     "examples:\n"
     "  ftpam get lines.txt host=127.0.0.2 user=demo pass=demo\n"
     "  ftpam get fixed.dat host=127.0.0.2 user=demo pass=demo recfm=f lrecl=80\n"
     "  ftpam get records.s370v host=127.0.0.2 user=demo pass=demo s370v --hex\n"},
    {"put",
     "usage: ftpam put REMOTE [--raw] [--cc] [OPTION...]\n"
     "Writes records from standard input to REMOTE (STOR; with the option mod, APPE).\n"
     "  --raw   cut standard input into records of LRECL bytes instead of lines\n"
     "  --cc    the first character of each line is its carriage-control character\n"
     "With s370v or s370vs the records go out back to back, without descriptor words.\n"
     "examples:\n"
     "  printf 'one\\ntwo\\n' | ftpam put new.txt host=127.0.0.2 user=demo pass=demo\n"
     "  ftpam put log.txt host=127.0.0.2 user=demo pass=demo mod < more-lines.txt\n"},
    {"ls",
     "usage: ftpam ls [PATTERN] [--long] [OPTION...]\n"
     "Lists a remote directory: names only (NLST), or the server's long form (LIST).\n"
     "examples:\n"
     "  ftpam ls host=127.0.0.2 user=demo pass=demo\n"
     "  ftpam ls '*.txt' --long host=127.0.0.2 user=demo pass=demo wd=mget\n"},
    {"mget",
     "usage: ftpam mget PATTERN|'(NAME NAME ...)' [--raw|--hex] [--cc] [OPTION...]\n"
     "Reads every file the server lists for PATTERN, or the files named in\n"
     "parentheses, one after the other as one stream of records. With the\n"
     "option mprompt you are asked before each file.\n"
     "examples:\n"
     "  ftpam mget '*.txt' host=127.0.0.2 user=demo pass=demo wd=mget\n"
     "  ftpam mget \"(alpha.txt 'gamma.txt')\" host=127.0.0.2 user=demo pass=demo wd=mget\n"},
    {"help",
     "usage: ftpam help [OPTION...]\n"
     "Shows the server's reply to HELP, one line per record.\n"
     "example:\n"
     "  ftpam help host=127.0.0.2 user=demo pass=demo\n"},
    {"stat",
     "usage: ftpam stat [OPTION...]\n"
     "Shows the server's reply to STAT, one line per record.\n"
     "example:\n"
     "  ftpam stat host=127.0.0.2 user=demo pass=demo\n"},
    {"cmd",
     "usage: ftpam cmd 'COMMAND' [OPTION...]\n"
     "Sends COMMAND to the server as it stands and shows its reply.\n"
     "example:\n"
     "  ftpam cmd SYST host=127.0.0.2 user=demo pass=demo\n"},
    {"info",
     "usage: ftpam info REMOTE [OPTION...]\n"
     "Opens REMOTE for reading and shows its information items (name, directory,\n"
     "hosts and addresses, port, record length and format).\n"
     "example:\n"
     "  ftpam info fixed.dat host=127.0.0.2 user=demo pass=demo recfm=f lrecl=80\n"},
    {"run",
     "usage: ftpam run SCRIPT\n"
     "Runs the statements of SCRIPT ('-' for standard input), one per line:\n"
     "  assign NAME REMOTE [OPTION...]     deassign NAME\n"
     "  open NAME input|output|append [positioning] [OPTION...]\n"
     "  read NAME [COUNT|all]              write NAME TEXT\n"
     "  note NAME LABEL                    point NAME LABEL\n"
     "  info NAME                          close NAME\n"
     "Blank lines and lines starting with # are skipped. The script stops at the\n"
     "first statement that fails.\n"
     "example script:\n"
     "  assign IN fixed.dat host=127.0.0.2 user=demo pass=demo recfm=f lrecl=80\n"
     "  open IN input positioning\n"
     "  note IN start\n"
     "  read IN 2\n"
     "  point IN start\n"
     "  read IN all\n"
     "  close IN\n"},
    {"module", "usage: ftpam module\nShows what the host finds in the module.\n"},
};

const char* help_of(const std::string& command) {
  for (const auto& h : helps)
    if (command == h.name) return h.text;
  return nullptr;
}

struct Flags {
  ReadOptions read;
  int32_t recfm = 0;  // the host's record format for the open request
  bool raw_input = false;
  bool long_list = false;
  bool help = false;
  std::vector<std::string> options;  // file-reference options
  std::vector<std::string> operands;
};

void carriage_control_format(Flags* f);

// The file-reference options that stand alone, without a value.
bool is_flag_keyword(std::string word) {
  static const char* const keywords[] = {
      "DEBUG", "PROMPT", "LS", "RHELP", "RSTAT", "S370VS", "S370V", "MOD", "LIST", "BYPASS",
      "MGET", "MPROMPT", "SAVEUSER", "NOQUIT", "PASV", "NONBYTE", "FTP"};
  for (char& c : word) c = char(std::toupper(static_cast<unsigned char>(c)));
  for (const char* k : keywords)
    if (word == k) return true;
  return false;
}

// Splits a command's arguments into its own flags, operands and options.
// Operands come first; the first argument that looks like an option (KEY=...
// or a flag keyword) starts the options. An optional operand is taken only
// when the argument cannot be an option.
bool parse_flags(const std::vector<std::string>& args, int operands, bool optional, Flags* f) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") f->help = true;
    else if (a == "--raw") f->read.mode = OutputMode::RAW, f->raw_input = true;
    else if (a == "--hex") f->read.mode = OutputMode::HEX;
    else if (a == "--cc") f->read.show_cc = true;
    else if (a == "--long") f->long_list = true;
    else if (a == "--piece") {
      char* end = nullptr;
      long n = i + 1 < args.size() ? std::strtol(args[++i].c_str(), &end, 10) : 0;
      if (!end || *end || n < -1 || n == 0 || n > 0x7FFFFFFF) {
        std::fprintf(stderr, "ftpam: --piece needs a number of bytes (or -1)\n");
        return false;
      }
      f->read.piece = int32_t(n);
    }
    else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      std::fprintf(stderr, "ftpam: unknown flag %s\n", a.c_str());
      return false;
    } else if (int(f->operands.size()) < operands && f->options.empty() &&
               !(optional && (a.find('=') != std::string::npos || is_flag_keyword(a)))) {
      f->operands.push_back(a);
    }
    else f->options.push_back(a);
  }
  if (f->read.show_cc) carriage_control_format(f);
  return true;
}

// Carriage control is a property of the host's record format, which an
// option's RECFM= would replace: with --cc the format goes into the open
// request, carriage control added, and the option is taken out.
void carriage_control_format(Flags* f) {
  f->recfm = RECFM_V | RECFM_CC;
  for (auto it = f->options.begin(); it != f->options.end(); ++it) {
    std::string key = it->substr(0, 6);
    for (char& c : key) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (key != "RECFM=" || it->size() < 7) continue;
    switch (std::toupper(static_cast<unsigned char>((*it)[6]))) {
      case 'F': f->recfm = RECFM_F | RECFM_CC; break;
      case 'S': f->recfm = RECFM_S | RECFM_CC; break;
      default: break;
    }
    f->options.erase(it);
    return;
  }
}

void print_module(const host::Module& m) {
  const ImageInfo* i = m.image();
  std::printf("release    %s (major %d), build %s of %s, level %s\n", i->release,
              i->major_release, i->build_id, i->build_date, i->level);
  std::printf("notice     %s\n", i->notice);
  std::printf("node       %.12s\n", m.node()->name);
  const AccessMethodEntry* e = m.entry();
  std::printf("entry      %.4s %.8s, %d-slot method vector\n", e->eyecatcher, e->name,
              METHOD_SLOTS);
  static const char* const names[METHOD_SLOTS_FILLED] = {
      "assign", "deassign", "exists", "exp", "physical name", "-", "enumerate", "validate",
      "information", "information items", "release items", "open", "note", "point",
      "position to number", "number to position", "-", "-", "read", "write", "flush", "close",
      "-", "-", "-", "-", "-", "-", "-", "-", "parse option", "-", "-", "copy options out",
      "copy options in", "record access", "release options", "-"};
  void* unsupported = e->vector[5].routine;
  for (int s = 0; s < METHOD_SLOTS; ++s) {
    void* r = e->vector[s].routine;
    const char* what = !r ? "(empty)" : r == unsupported ? "not supported" : names[s];
    std::printf("  slot %2d  %s\n", s, what);
  }
}

// Assigns the command's reference to `remote` and opens it. Returns 0, or the
// exit status: options the host refuses are a usage error (2), a failed open
// a failed operation (1).
int assign_and_open(const std::string& remote, const Flags& f, int32_t mode,
                    std::unique_ptr<Session>* session) {
  *session = Session::assign(REFERENCE, remote, f.options);
  if (!*session) return 2;
  return (*session)->open(mode, {}, f.recfm) ? 0 : 1;
}

// Reads records of an input open to standard output.
int read_command(const std::string& remote, Flags& f, std::vector<std::string> extra) {
  for (auto& e : extra) f.options.push_back(std::move(e));
  std::unique_ptr<Session> session;
  if (int status = assign_and_open(remote, f, OPEN_INPUT, &session)) return status;
  RecordWriter out(stdout, f.read.mode, f.read.show_cc);
  bool ok = session->read_all(f.read, &out);
  std::fflush(stdout);
  ok = session->close() && ok;
  return ok ? 0 : 1;
}

int put_command(const std::string& remote, Flags& f) {
  std::unique_ptr<Session> session;
  if (int status = assign_and_open(remote, f, OPEN_OUTPUT, &session)) return status;
  bool ok = true;
  Progress progress(true);
  long records = 0;
  long long bytes = 0;
  if (f.raw_input) {
    size_t lrecl = size_t(session->file()->request().lrecl);
    std::string record(lrecl, '\0');
    size_t n;
    while (ok && (n = std::fread(record.data(), 1, lrecl, stdin)) > 0) {
      ok = session->write_record(record.substr(0, n));
      ++records, bytes += static_cast<long long>(n);
      progress.update(records, bytes);
    }
  } else {
    std::string line;
    while (ok && std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      char cc = ' ';
      if (f.read.show_cc && !line.empty()) cc = line[0], line.erase(0, 1);
      ok = session->write_record(line, cc);
      ++records, bytes += static_cast<long long>(line.size());
      progress.update(records, bytes);
    }
  }
  progress.finish();
  ok = session->close() && ok;
  return ok ? 0 : 1;
}

int info_command(const std::string& remote, Flags& f) {
  std::unique_ptr<Session> session;
  if (int status = assign_and_open(remote, f, OPEN_INPUT, &session)) return status;
  std::vector<std::pair<std::string, std::string>> items;
  int32_t status = session->file()->items(&items);
  if (status != st::OK) report(status, "information items");
  for (const auto& [name, value] : items) std::printf("%-22s %s\n", name.c_str(), value.c_str());
  // The file's data is not wanted: an orderly close would end the transfer
  // early and the server would answer that it was aborted.
  session->abandon();
  return status == st::OK ? 0 : 1;
}

// A reply line of the log that refuses something (4xx, 5xx): the module logs
// the reply that failed a transfer even without DEBUG, so that the user sees
// the server's reason.
bool is_refusal(const std::string& reply_line) {
  size_t code = reply_line.find_first_of("0123456789");
  return code != std::string::npos && (reply_line[code] == '4' || reply_line[code] == '5');
}

}  // namespace

void essential_log_line(const host::messages::LogLine& line) {
  if (line.group == msg::GROUP) {
    switch (line.number) {
      case msg::REPLY_LINE:
        if (is_refusal(line.text)) break;
        return;
      case msg::SERVER_SOCKET_BOUND: case msg::CONNECTION_ACCEPTED:
      case msg::COMMAND_SENT: case msg::OPEN_COMPLETE: case msg::GREETING:
        return;
      default:
        break;
    }
  }
  std::fprintf(stderr, "ftpam: %s\n", line.text.c_str());
}

int run_command(const std::string& command, const std::vector<std::string>& args,
                const std::string& module_path) {
  const char* help = help_of(command);
  if (!help) {
    std::fprintf(stderr, "ftpam: unknown command %s (see ftpam --help)\n", command.c_str());
    return 2;
  }
  int operands = command == "get" || command == "put" || command == "mget" ||
                         command == "cmd" || command == "info" || command == "run" ||
                         command == "ls"
                     ? 1
                     : 0;
  Flags f;
  if (!parse_flags(args, operands, command == "ls", &f)) return 2;
  if (f.help) {
    std::fputs(help, stdout);
    return 0;
  }
  bool needs_operand = operands == 1 && command != "ls";
  if (needs_operand && f.operands.empty()) {
    std::fputs(help, stderr);
    return 2;
  }
  const std::string operand = f.operands.empty() ? "" : f.operands[0];
  if (command == "get") return read_command(operand, f, {});
  if (command == "put") return put_command(operand, f);
  if (command == "mget") return read_command(operand, f, {"mget"});
  if (command == "help") return read_command("", f, {"rhelp"});
  if (command == "stat") return read_command("", f, {"rstat"});
  if (command == "cmd") return read_command("", f, {"rcmd=" + operand});
  if (command == "ls") {
    std::vector<std::string> extra = {f.long_list ? "list" : "ls"};
    if (!operand.empty()) extra.push_back("lsfile=" + operand);
    return read_command("", f, extra);
  }
  if (command == "info") return info_command(operand, f);
  if (command == "run") return run_script(operand);
  print_module(*host::Module::load(module_path.empty() ? FTPAM_MODULE_PATH : module_path.c_str(),
                                   nullptr));
  return 0;
}

}  // namespace cli

// ftpam run: statements for scripted sessions with several references.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>

#include "cli/commands.h"
#include "cli/exit_status.h"
#include "cli/session.h"
#include "module/status.h"

namespace cli {
namespace {

// Splits a line into words; '...' and "..." group words, a doubled quote
// inside stands for one and the quotes stay with the word (the statement
// syntax keeps them).
std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  std::string w;
  bool in_word = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\'' || c == '"') {
      size_t j = i + 1;
      w += c;
      for (; j < line.size(); ++j) {
        w += line[j];
        if (line[j] == c) {
          if (j + 1 < line.size() && line[j + 1] == c) w += line[++j];
          else break;
        }
      }
      i = j;
      in_word = true;
    } else if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(w), w.clear(), in_word = false;
    } else {
      w += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(w);
  return words;
}

std::string unquoted(const std::string& w) {
  if (w.size() >= 2 && (w[0] == '\'' || w[0] == '"') && w.back() == w[0]) {
    std::string out;
    for (size_t i = 1; i + 1 < w.size(); ++i) {
      out += w[i];
      if (w[i] == w[0] && w[i + 1] == w[0]) ++i;
    }
    return out;
  }
  return w;
}

class Script;

// What a statement needs before its verb runs: nothing (assign), an assigned
// reference, or an open file.
enum class Needs { NOTHING, ASSIGNED, OPEN };

// One statement of a script: its verb, the form shown when words are missing,
// how many words it needs at least, and what runs it.
struct Verb {
  const char* name;
  const char* form;
  size_t words;
  Needs needs;
  bool (Script::*run)(Session* s, const std::vector<std::string>& w);
};

class Script {
 public:
  bool run(std::istream& in);

 private:
  static const Verb verbs[];
  bool statement(const std::vector<std::string>& w);
  Session* session(const std::string& name);
  bool assign(Session*, const std::vector<std::string>& w);
  bool deassign(Session*, const std::vector<std::string>& w);
  bool open(Session* s, const std::vector<std::string>& w);
  bool read(Session* s, const std::vector<std::string>& w);
  bool write(Session* s, const std::vector<std::string>& w);
  bool note(Session* s, const std::vector<std::string>& w);
  bool point(Session* s, const std::vector<std::string>& w);
  bool info(Session* s, const std::vector<std::string>& w);
  bool close(Session* s, const std::vector<std::string>& w);
  std::map<std::string, std::unique_ptr<Session>> sessions_;
  std::map<std::string, Position> labels_;
  int line_ = 0;
};

const Verb Script::verbs[] = {
    {"assign", "assign NAME REMOTE [OPTION...]", 3, Needs::NOTHING, &Script::assign},
    {"deassign", "deassign NAME", 2, Needs::ASSIGNED, &Script::deassign},
    {"open", "open NAME input|output|append [positioning] [OPTION...]", 3, Needs::ASSIGNED,
     &Script::open},
    {"read", "read NAME [COUNT|all]", 2, Needs::OPEN, &Script::read},
    {"write", "write NAME TEXT", 2, Needs::OPEN, &Script::write},
    {"note", "note|point NAME LABEL", 3, Needs::OPEN, &Script::note},
    {"point", "note|point NAME LABEL", 3, Needs::OPEN, &Script::point},
    {"info", "info NAME", 2, Needs::OPEN, &Script::info},
    {"close", "close NAME", 2, Needs::OPEN, &Script::close},
};

Session* Script::session(const std::string& name) {
  auto it = sessions_.find(name);
  if (it == sessions_.end()) {
    std::fprintf(stderr, "ftpam: line %d: %s is not assigned\n", line_, name.c_str());
    return nullptr;
  }
  return it->second.get();
}

bool Script::statement(const std::vector<std::string>& w) {
  const Verb* verb = std::find_if(std::begin(verbs), std::end(verbs),
                                  [&](const Verb& v) { return w[0] == v.name; });
  if (verb == std::end(verbs)) {
    std::fprintf(stderr, "ftpam: line %d: unknown statement %s\n", line_, w[0].c_str());
    return false;
  }
  auto need = [&](size_t n, const char* form) {
    if (w.size() >= n) return true;
    std::fprintf(stderr, "ftpam: line %d: %s\n", line_, form);
    return false;
  };
  Session* s = nullptr;
  if (verb->needs != Needs::NOTHING) {
    if (!need(2, "a statement names its reference")) return false;
    s = session(w[1]);
    if (!s) return false;
  }
  if (verb->needs == Needs::OPEN && (!s->file() || !s->file()->is_open())) {
    std::fprintf(stderr, "ftpam: line %d: %s is not open\n", line_, w[1].c_str());
    return false;
  }
  if (!need(verb->words, verb->form)) return false;
  return (this->*verb->run)(s, w);
}

bool Script::assign(Session*, const std::vector<std::string>& w) {
  sessions_.erase(w[1]);  // a name assigned again: the earlier file ends first
  auto s = Session::assign(w[1], unquoted(w[2]), {w.begin() + 3, w.end()});
  if (!s) return false;
  sessions_[w[1]] = std::move(s);
  return true;
}

bool Script::deassign(Session*, const std::vector<std::string>& w) {
  sessions_.erase(w[1]);
  return true;
}

bool Script::open(Session* s, const std::vector<std::string>& w) {
  int32_t mode = w[2] == "input" ? OPEN_INPUT : w[2] == "output" ? OPEN_OUTPUT
               : w[2] == "append" ? OPEN_APPEND : 0;
  size_t first_option = 3;
  if (w.size() > 3 && w[3] == "positioning") mode |= OPEN_POSITIONING, first_option = 4;
  return s->open(mode, {w.begin() + long(first_option), w.end()});
}

bool Script::read(Session* s, const std::vector<std::string>& w) {
  ReadOptions options;
  options.limit = w.size() > 2 && w[2] != "all" ? std::atol(w[2].c_str()) : -1;
  RecordWriter out(STDOUT_FILENO, OutputMode::LINES, false);
  return s->read_all(options, &out);
}

bool Script::write(Session* s, const std::vector<std::string>& w) {
  std::string text;
  for (size_t i = 2; i < w.size(); ++i) text += (i > 2 ? " " : "") + unquoted(w[i]);
  return s->write_record(text);
}

bool Script::note(Session* s, const std::vector<std::string>& w) {
  int32_t status = s->file()->note(&labels_[w[1] + "/" + w[2]]);
  if (status != st::OK) report(status, "note");
  return status == st::OK;
}

bool Script::point(Session* s, const std::vector<std::string>& w) {
  auto it = labels_.find(w[1] + "/" + w[2]);
  if (it == labels_.end()) {
    std::fprintf(stderr, "ftpam: line %d: no note %s\n", line_, w[2].c_str());
    return false;
  }
  int32_t status = s->file()->point(it->second);
  if (status != st::OK) report(status, "point");
  return status == st::OK;
}

bool Script::info(Session* s, const std::vector<std::string>&) {
  std::vector<std::pair<std::string, std::string>> items;
  int32_t status = s->file()->items(&items);
  if (status != st::OK) {
    report(status, "info");
    return false;
  }
  for (const auto& [name, value] : items)
    std::printf("%-22s %s\n", name.c_str(), shown(value, STDOUT_FILENO).c_str());
  return true;
}

bool Script::close(Session* s, const std::vector<std::string>&) { return s->close(); }

bool Script::run(std::istream& in) {
  std::string line;
  while (std::getline(in, line)) {
    ++line_;
    auto w = words_of(line);
    if (w.empty() || w[0][0] == '#') continue;
    if (!statement(w)) return false;
    if (std::fflush(stdout) != 0) {
      std::fprintf(stderr, "ftpam: writing standard output: %s\n", std::strerror(errno));
      note_exit(EXIT_LOCAL_WRITE);
      return false;
    }
  }
  return true;
}

}  // namespace

int run_script(const std::string& path) {
  Script script;
  if (path == "-") return exit_status(script.run(std::cin));
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "ftpam: cannot read %s\n", path.c_str());
    return EXIT_FAILED;
  }
  return exit_status(script.run(in));
}

}  // namespace cli

// Helpers shared by the option, .netrc, reference and defaults tests: one
// option parsed straight through the method vector's parse slot (to see the
// result count and the marked token), a whole statement parsed through the host's
// file-reference API, and the release of option blocks.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftp_options.h"
#include "host/module.h"
#include "host/references.h"
#include "host/tokenizer.h"
#include "hostsvc/token.h"
#include "tests/support/loaded_module.h"

namespace ftptest {

inline void release_options(FtpOptions* block) {
  if (block)
    module().call(host::slot::RELEASE_OPTIONS, "        ", static_cast<void*>(nullptr), block);
}

// One call of the option parser over the start of `text`.
struct OneOption {
  int32_t status = 0;
  int32_t count = -7;  // -7: left unchanged
  FtpOptions* block = nullptr;
  std::unique_ptr<host::tokenizer::Statement> statement;

  // Token numbers marked in error; the end of the statement counts as the
  // number after the last token.
  std::vector<int> marked() const {
    std::vector<int> out;
    for (const auto* t : statement->marked()) out.push_back(t->position.index);
    return out;
  }
  ~OneOption() { release_options(block); }
};

inline std::unique_ptr<OneOption> parse_one(const std::string& text, int32_t flags = 0) {
  auto r = std::make_unique<OneOption>();
  r->statement = std::make_unique<host::tokenizer::Statement>(text);
  r->status = module().call(host::slot::PARSE, 0, static_cast<void*>(r->statement.get()), 0,
                            flags, static_cast<void*>(r->statement.get()), &r->count, &r->block);
  return r;
}

// A whole statement parsed the way the host parses it.
struct Options {
  host::references::Result result;
  FtpOptions* block = nullptr;
  ~Options() { release_options(block); }
  const FtpOptions& operator*() const { return *block; }
  const FtpOptions* operator->() const { return block; }
};

inline std::unique_ptr<Options> parse(const std::string& text, int32_t flags = 0) {
  auto r = std::make_unique<Options>();
  r->result = host::references::parse_options(text, flags, &r->block);
  return r;
}

inline std::string text_of(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

}  // namespace ftptest

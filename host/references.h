// The host's file references of the access method: assign a name to a remote
// file with an option string, deassign it, list and look them up. Options are
// parsed the way the host parses a statement: the module's option parser
// (method-vector slot 30) is called once per option over the tokenized
// string, then the reference is assigned (slot 0). When an option is refused,
// the result names it and carries the echoed statement (passwords masked)
// with carets under the token the module marked.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct FtpOptions;

namespace host::references {

// Parse flags: NBYTE= is an option of statements that read (either bit);
// HOST_OWNED makes the option block the host's to release.
constexpr int32_t PARSE_INPUT = 0x1;
constexpr int32_t PARSE_HOST_OWNED = 0x10;

struct Result {
  int32_t status = 0;
  std::string message;  // what the host tells the user on failure; empty on success
  std::string echo;     // the statement as echoed, passwords masked
  std::string marks;    // carets under the token in error, aligned with `echo`
  std::string name;     // assign: the name the reference got (a blank name gets a unique one)
  bool ok() const { return status == 0; }
};

// Parses `options` into *block (made by the module on the first option; left
// null for an empty string). On failure the block is released and *block is
// null.
Result parse_options(const std::string& options, int32_t parse_flags, FtpOptions** block);

// Assigns the reference `name` (at most 8 characters; empty for a generated
// name) to `remote` with the options of `options`.
Result assign(const std::string& name, const std::string& remote, const std::string& options,
              int32_t parse_flags = 0);
Result deassign(const std::string& name);

struct Reference {
  std::string name;    // 8 characters, blank-padded
  std::string remote;
};
// The references of the access method, newest first.
std::vector<Reference> list();
// The remote name of a reference (at most 1024 bytes), if it is assigned.
std::optional<std::string> physical_name(const std::string& name);

// A name as the host passes it: its first 8 characters, blank-padded.
std::string padded_name(const std::string& name);
// The host has a reference of this 8-character name (names compare after
// upper-casing, as the module compares them).
bool known(const char* name8);

}  // namespace host::references

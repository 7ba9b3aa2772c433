// The commands of ftpam.
#pragma once
#include <string>
#include <vector>

#include "host/messages.h"

namespace cli {

// Runs one command with its arguments; returns the exit status.
int run_command(const std::string& command, const std::vector<std::string>& args,
                const std::string& module_path);
// Without --log: shows the messages a user must see, not the chatter of a
// normal session (greeting, log-in, commands and replies).
void essential_log_line(const host::messages::LogLine& line);
// Runs a script of statements (cli/script.cpp).
int run_script(const std::string& path);

}  // namespace cli

// The commands of ftpam.
#pragma once
#include <string>
#include <vector>

#include "host/messages.h"

namespace cli {

// The commands' lines in ftpam --help: synopsis and summary, one a line.
std::string command_list();
// Runs one command with its arguments; returns the exit status.
int run_command(const std::string& command, const std::vector<std::string>& args);
// Shows the messages a user must see, not the chatter of a normal session
// (greeting, log-in, commands and replies that refuse nothing).
// With --log (`everything`) the module's other messages show too; a
// transcript (-v, or --log with the option debug) shows every command and
// reply (passwords masked by the module).
void essential_log_line(const host::messages::LogLine& line);
void set_log_level(bool everything, bool transcript);
// Runs a script of statements (cli/script.cpp).
int run_script(const std::string& path);

}  // namespace cli

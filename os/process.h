// Outside programs. Arguments are native (UTF-8) strings, passed as they are:
// no shell reads them, so a query or a path can never become a command.
#pragma once
#include <string>
#include <vector>

namespace zentu::os {

// Runs `args[0]` (looked up on PATH) with the arguments, its output and input
// inherited, and waits for it to end. `environment` ("NAME=value") replaces or
// adds to the program's own; a bare "NAME" removes that variable. Returns its exit status, or -1 when it could not
// be started or did not end normally.
int RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& environment = {});

}  // namespace zentu::os

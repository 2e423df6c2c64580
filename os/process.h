// Outside programs: the commands Zentu runs and the helper programs that ship
// beside the zentu executable. Arguments are native (UTF-8) strings, passed as
// they are: no shell reads them, so a query or a path can never become a command.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace zentu::os {

// Runs `args[0]` (looked up on PATH) with the arguments, its output and input
// inherited, and waits for it to end. `environment` ("NAME=value") replaces or
// adds to the program's own; a bare "NAME" removes that variable. Returns its exit status, or -1 when it could not
// be started or did not end normally.
int RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& environment = {});

// Program path of the folder the running executable lives in ("" when the
// system cannot tell).
std::string ExecutableDirectory();

// The program a configured name stands for: a program path or a native
// absolute path as it is, a bare name looked up on PATH. "" when no
// executable file is found there.
std::string FindProgram(std::string_view name);

// Starts `program` (a program path) with `arguments`, without waiting for it.
// The child is reaped in the background. False when it is not an executable
// file or cannot be started.
[[nodiscard]] bool StartProgram(std::string_view program, const std::vector<std::string>& arguments = {});

// Program path of `name` in a folder of PATH that holds it as an executable
// file, "" when none does.
std::string FindProgramOnPath(std::string_view name);

// Hands an existing file (a program path) to the desktop's program for its
// kind (xdg-open), without waiting. False when the file does not exist or no
// such program could be started.
[[nodiscard]] bool OpenWithDesktop(std::string_view path);

}  // namespace zentu::os

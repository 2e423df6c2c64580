// Starting the helper programs that ship beside the zentu executable. No shell
// is involved: the program and its arguments go to the system as they are.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace zentu::os {

// Program path of the folder the running executable lives in ("" when the
// system cannot tell).
std::string ExecutableDirectory();

// Starts `program` (a program path) with `arguments`, without waiting for it.
// The child is reaped in the background. False when it is not an executable
// file or cannot be started.
[[nodiscard]] bool StartProgram(std::string_view program, const std::vector<std::string>& arguments = {});

}  // namespace zentu::os

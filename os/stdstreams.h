// The process's standard input and output as byte streams, for the
// native-messaging host (the browser writes to its input and reads its output).
#pragma once
#include <cstddef>
#include <string_view>

namespace zentu::os {

// As read(2) on standard input: bytes read, 0 at the end, -1 on failure
// (interrupted reads are repeated).
long ReadStandardInput(char* buffer, size_t size);
// True when standard input is a pipe or a socket, as when a browser started
// this process to talk to it (not a terminal, a file or nothing).
bool StandardInputIsPipe();
// Writes all of `bytes` to standard output; false when it could not.
bool WriteStandardOutput(std::string_view bytes);

}  // namespace zentu::os

// The tests read the browser's debugging protocol with the program's own JSON module.
#pragma once
#include "os/json.h"

namespace zentu::testing {
using os::Json;
using os::JsonQuote;
using os::JsonStrictness;
using os::ParseJson;
}  // namespace zentu::testing

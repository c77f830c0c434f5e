#pragma once

#include <optional>

namespace dovo {

// Answers --help and --version and refuses anything else on the command
// line. Returns the exit status when the process should end here, nothing
// when Dovo should start.
std::optional<int> HandleCommandLine(int argc, char** argv);

} // namespace dovo

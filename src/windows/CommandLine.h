#pragma once

#include <optional>

namespace dovo {

// --help and --version answer; anything else is refused before anything
// starts. The exit status when the command line was handled here, empty
// when Dovo should start.
std::optional<int> HandleCommandLine();

} // namespace dovo

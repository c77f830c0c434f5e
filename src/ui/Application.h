#pragma once

namespace dovo {

// Runs Dovo until its window is closed; returns the process exit status.
int RunDovo(int argc, char** argv);

} // namespace dovo

// The VornCmd program: one command sent to VornBOS, its outcome printed.
#pragma once

namespace vorn::cmd {

// Runs the tool for a command line and returns its exit code: -1 after the usage text,
// 1 when the server cannot be reached, 0 otherwise (errors on the way are printed).
int RunVornCmd(int argc, const char* const* argv);

}  // namespace vorn::cmd

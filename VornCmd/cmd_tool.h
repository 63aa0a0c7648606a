// The VornCmd program: one command sent to VornBOS, its outcome printed.
#pragma once

namespace vorn::cmd {

// Exit codes. Everything but the results (the "send OK" line, the status) goes to stderr.
constexpr int kExitDone = 0;
constexpr int kExitConnect = 1;    // address, port or connection failed
constexpr int kExitTimedOut = 2;   // no hello, or no whole status reply in time
constexpr int kExitNotSent = 3;    // message file unreadable or too large, message too long,
                                   // send failed, or the server refused the command
constexpr int kExitUsage = 255;    // bad command line or user number (-1 as the tool returns it)

// Runs the tool for a command line and returns its exit code.
int RunVornCmd(int argc, const char* const* argv);

}  // namespace vorn::cmd

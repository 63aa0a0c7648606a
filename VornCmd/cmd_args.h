// The command line of VornCmd: address, port and one of MSG, MSGF or STAT.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace vorn::cmd {

enum class Command { Msg, MsgFile, Stat };

struct CmdLine {
  std::string host;
  std::string port;
  Command command = Command::Stat;
  std::string word;     // the command word as typed
  std::string uinFrom;  // MSG, MSGF
  std::string uinTo;    // MSG, MSGF: sent as typed
  std::string text;     // MSG: the message; MSGF: the file name
  std::string statUin;  // STAT: as typed
};

// False for a wrong argument count, an unknown command word or missing command arguments.
bool ParseCommandLine(int argc, const char* const* argv, CmdLine& out);

// The program's own name: argv[0] after its last path separator.
std::string ProgramName(const char* argv0);

// A user number the way atoi reads it, kept as its 32-bit pattern.
uint32_t UinFromText(const std::string& text);

// A number with automatic base (decimal, 0x hexadecimal, 0 octal) that fits 16 bits; any
// other text is looked up as a TCP service name. False when neither works.
bool ParsePort(const std::string& arg, uint16_t& port);

// A user number as typed: 1 to 10 decimal digits, not 0, at most 4294967295.
bool IsUserNumber(const std::string& text);

void PrintUsage(std::FILE* out);

}  // namespace vorn::cmd

// The words both servers answer themselves before the service host takes over: "/?",
// "--help"/"-h", "--version", and a refusal of anything the host does not know.
#pragma once
#include <cstdio>
#include <string>

struct ServerCommandNames {
  const char* program;  // "VornBOS"
  std::string banner;   // first line of the usage text, e.g. "Vorn (BOS) v.1.2.5"
};

// The usage text of "/?": the banner, an empty line and the setup and delete lines.
std::string ServerUsage(const ServerCommandNames& names);

// Answers the command line when it is one of the words above or unknown, writing to out and
// err; returns the exit code then (0, or 2 for an unknown argument), or -1 when the service
// host is to handle it (no argument, "setup", "delete").
int AnswerServerCommandLine(const ServerCommandNames& names, int argc, char** argv, std::FILE* out,
                            std::FILE* err);

#include "vornadmin/password.h"

#include <iostream>

#include "platform/system.h"
#include "vornadmin/datafolder.h"

namespace vornadmin {

namespace {

// Reads one line from the terminal with echo off, restoring the terminal afterwards.
std::string ReadHidden(Context& ctx, const char* prompt) {
  std::string line;
  bool got = false;
  {
    plat::EchoOff quiet;
    // The prompt comes after echo is off, so nothing typed in answer to it is shown.
    *ctx.err << prompt << std::flush;
    got = static_cast<bool>(std::getline(*ctx.in, line));
    if (!quiet.ShowsNewline()) *ctx.err << "\n";
  }
  if (!got) throw Failure("no password read");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::string ObtainPassword(Context& ctx) {
  std::string pw;
  if (ctx.args.Has("--password") && ctx.args.Has("--password-stdin"))
    throw UsageError("give --password or --password-stdin, not both");
  if (auto p = ctx.args.Get("--password")) {
    pw = *p;
  } else if (ctx.args.Has("--password-stdin")) {
    if (!std::getline(*ctx.in, pw)) throw Failure("no password on standard input");
    if (!pw.empty() && pw.back() == '\r') pw.pop_back();
  } else if (ctx.interactive) {
    pw = ReadHidden(ctx, "Password: ");
    if (ReadHidden(ctx, "Repeat password: ") != pw) throw Failure("the two passwords differ; nothing was changed");
  } else {
    throw UsageError("give a password: --password P, --password-stdin, or run at a terminal");
  }
  if (pw.empty()) throw UsageError("the password is empty");
  CheckValue(pw, "the password", kMaxPassword);
  return pw;
}

}  // namespace vornadmin

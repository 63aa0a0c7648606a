// Passwords for the user file: from the command line, one line of standard input, or typed
// at the terminal twice without echo.
#pragma once
#include <string>

#include "vornadmin/admin.h"

namespace vornadmin {

// Longest password the login server accepts.
constexpr size_t kMaxPassword = 19;

// The password the command line asks for; a usage error when none can be had.
std::string ObtainPassword(Context& ctx);

}  // namespace vornadmin

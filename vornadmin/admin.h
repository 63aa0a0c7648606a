// vornadmin: the operator's tool over a Vorn data folder. Shared pieces of its commands.
#pragma once
#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vornadmin {

#ifdef _WIN32
constexpr bool kWindowsBuild = true;
#else
constexpr bool kWindowsBuild = false;
#endif

// Exit codes, in the habit of Debian's own admin tools.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A failure the operator has to act on: exit code 1, the text on standard error.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A command line that cannot be understood: exit code 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The parsed command line: words in order, options by name ("--nick" -> value, flags -> "").
struct Args {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;
  bool Has(const std::string& name) const { return options.count(name) != 0; }
  std::optional<std::string> Get(const std::string& name) const;
};

struct Context {
  std::string data;  // the data folder, ending in '/'
  bool json = false;
  Args args;
  std::istream* in = nullptr;
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool interactive = false;  // standard input is a terminal
};

// Refuses options other than the global ones and those named.
void AllowOptions(const Context& ctx, const std::vector<std::string>& names);
// Refuses a word count outside [min, max].
void NeedWords(const std::vector<std::string>& words, size_t min, size_t max, const char* form);

// Runs one command line (without the program name); returns the exit code.
int RunAdmin(const std::vector<std::string>& argv, std::istream& in, std::ostream& out, std::ostream& err,
             bool interactive);

// The commands, each given the words after its own name.
void UserCommand(Context& ctx, const std::vector<std::string>& words);
void ListCommand(Context& ctx, const std::vector<std::string>& words);
void OnlineCommand(Context& ctx, const std::vector<std::string>& words);
void SendCommand(Context& ctx, const std::vector<std::string>& words);
// Asks the running VornBOS to end every session of the user and drop its stored list unwritten:
// the number of sessions ended, or nothing when no VornBOS answers on its port.
std::optional<int> EndSessionsOf(Context& ctx, uint32_t uin);
// Returns the exit code: 0 when no problem was found, 1 otherwise.
int CheckCommand(Context& ctx, const std::vector<std::string>& words);
void KickCommand(Context& ctx, const std::vector<std::string>& words);
void StatsCommand(Context& ctx, const std::vector<std::string>& words);
void ReloadCommand(Context& ctx, const std::vector<std::string>& words);
void TokenCommand(Context& ctx, const std::vector<std::string>& words);
// The Windows build has no management API: online, kick, stats, reload and token refuse
// with this failure.
[[noreturn]] void NotInWindowsBuild(const std::string& command);

// Sets or clears [Main] Locked of a user file; a lock also empties the user's login cookie.
void SetUserLock(const std::string& data, uint32_t uin, bool locked);
// A new random admin token in the data folder's admin.token (0600); returns it.
std::string NewAdminToken(const std::string& data);
std::string AdminTokenFile(const std::string& data);

// The management API of the running VornBOS ([Admin] Listen of vorn.ini, the token of
// admin.token).
struct ApiReply {
  int status = 0;
  std::string body;
};
// The API is off or does not answer: callers that can do the work without it catch this.
struct Unreachable : Failure {
  using Failure::Failure;
};
ApiReply CallApi(Context& ctx, const std::string& method, const std::string& path, const std::string& body);
// Turns a reply other than 2xx into a Failure carrying the API's error text.
void ExpectOk(const ApiReply& reply);

}  // namespace vornadmin

#include "vornadmin/admin.h"

#include "platform/system.h"
#include "vorn_version.h"

#include <cstdlib>
#include <iostream>
#include <set>

namespace vornadmin {

namespace {

constexpr const char* kDefaultData = "/var/lib/vorn/";
constexpr const char* kVersion = VORN_VERSION;

constexpr const char* kUsage =
    "usage: vornadmin [--data DIR] [--json] COMMAND ...\n"
    "  user add NUMBER [--password P | --password-stdin] [--nick N] [--first F] [--last L] [--email E]\n"
    "  user passwd NUMBER [--password P | --password-stdin]\n"
    "  user show NUMBER\n"
    "  user list [--match TEXT]\n"
    "  user delete NUMBER\n"
    "  user lock NUMBER | user unlock NUMBER\n"
    "  list show [LIST]\n"
    "  list create LIST [MEMBER...]\n"
    "  list delete LIST\n"
    "  list add LIST MEMBER...\n"
    "  list remove LIST MEMBER...\n"
    "  list chat on|off\n"
    "  online\n"
    "  kick NUMBER\n"
    "  stats\n"
    "  reload\n"
    "  token new\n"
    "  send FROM TO TEXT [--port PORT]\n"
    "  check\n"
#ifdef _WIN32
    "The data folder is --data DIR, else %VORN_PATH%, else the registry value \"path\" of\n"
    "HKLM\\SOFTWARE\\Tarn\\Vorn that the services read.\n"
    "In the Windows build online, kick, stats, reload and token are not available (VornBOS.exe\n"
    "serves no management API); user lock and unlock change the user file, and the lock holds\n"
    "from the next sign-on; check does not look at file rights (ACLs, not modes and owners).\n";
#else
    "The data folder is --data DIR, else $VORN_PATH, else /var/lib/vorn/.\n";
#endif

// Options that take a value; every other option is a flag.
const std::set<std::string> kValueOptions = {"--data", "--password", "--nick", "--first", "--last",
                                             "--email", "--match", "--port"};
const std::set<std::string> kFlags = {"--json", "--password-stdin", "--help", "--version"};

Args Parse(const std::vector<std::string>& argv) {
  Args a;
  bool optionsDone = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& w = argv[i];
    if (optionsDone || w.size() < 2 || w.compare(0, 2, "--") != 0) {
      a.words.push_back(w);
    } else if (w == "--") {
      optionsDone = true;
    } else {
      std::string name = w, value;
      size_t eq = w.find('=');
      bool inlineValue = eq != std::string::npos;
      if (inlineValue) {
        name = w.substr(0, eq);
        value = w.substr(eq + 1);
      }
      if (kValueOptions.count(name)) {
        if (!inlineValue) {
          if (i + 1 >= argv.size()) throw UsageError("option " + name + " needs a value");
          value = argv[++i];
        }
      } else if (!kFlags.count(name) || inlineValue) {
        throw UsageError("unknown option " + w);
      }
      if (a.options.count(name)) throw UsageError("option " + name + " given twice");
      a.options[name] = value;
    }
  }
  return a;
}

std::string DataFolder(const Args& a) {
  std::string d;
  if (auto v = a.Get("--data"))
    d = *v;
  else if (const char* env = std::getenv("VORN_PATH"); env && *env)
    d = env;
  else if (!kWindowsBuild)
    d = kDefaultData;
  else if (plat::ReadDataPathSetting(d) != plat::SettingRead::kFound || d.empty())
    throw Failure("no data folder: give --data DIR (the registry value \"path\" of HKLM\\SOFTWARE\\Tarn\\Vorn is not set)");
  if (d.empty()) throw UsageError("--data needs a folder");
  if (d.back() != '/' && !(kWindowsBuild && d.back() == '\\')) d += '/';
  return d;
}

int Dispatch(Context& ctx) {
  const auto& w = ctx.args.words;
  if (ctx.args.Has("--help")) {
    *ctx.out << kUsage;
    return kExitOk;
  }
  if (ctx.args.Has("--version")) {
    *ctx.out << "vornadmin (Vorn) " << kVersion << "\n";
    return kExitOk;
  }
  if (w.empty()) throw UsageError("no command given");
  std::vector<std::string> rest(w.begin() + 1, w.end());
  if (w[0] == "user") {
    UserCommand(ctx, rest);
  } else if (w[0] == "list") {
    ListCommand(ctx, rest);
  } else if (w[0] == "online") {
    OnlineCommand(ctx, rest);
  } else if (w[0] == "send") {
    SendCommand(ctx, rest);
  } else if (w[0] == "kick") {
    KickCommand(ctx, rest);
  } else if (w[0] == "stats") {
    StatsCommand(ctx, rest);
  } else if (w[0] == "reload") {
    ReloadCommand(ctx, rest);
  } else if (w[0] == "token") {
    TokenCommand(ctx, rest);
  } else if (w[0] == "check") {
    return CheckCommand(ctx, rest);
  } else {
    throw UsageError("unknown command '" + w[0] + "'");
  }
  return kExitOk;
}

}  // namespace

std::optional<std::string> Args::Get(const std::string& name) const {
  auto it = options.find(name);
  if (it == options.end()) return std::nullopt;
  return it->second;
}

void NotInWindowsBuild(const std::string& command) {
  throw Failure("'" + command +
                "' is not available in the Windows build: it works through VornBOS's management API, "
                "which only the Linux build serves");
}

void AllowOptions(const Context& ctx, const std::vector<std::string>& names) {
  for (const auto& [name, value] : ctx.args.options) {
    if (name == "--data" || name == "--json" || name == "--help" || name == "--version") continue;
    bool known = false;
    for (const auto& n : names) known = known || n == name;
    if (!known) throw UsageError("option " + name + " does not apply here");
  }
}

void NeedWords(const std::vector<std::string>& words, size_t min, size_t max, const char* form) {
  if (words.size() < min || words.size() > max) throw UsageError(std::string("expected: vornadmin ") + form);
}

int RunAdmin(const std::vector<std::string>& argv, std::istream& in, std::ostream& out, std::ostream& err,
             bool interactive) {
  try {
    Context ctx;
    ctx.args = Parse(argv);
    ctx.json = ctx.args.Has("--json");
    if (!ctx.args.Has("--help") && !ctx.args.Has("--version")) ctx.data = DataFolder(ctx.args);
    ctx.in = &in;
    ctx.out = &out;
    ctx.err = &err;
    ctx.interactive = interactive;
    return Dispatch(ctx);
  } catch (const UsageError& e) {
    err << "vornadmin: " << e.what() << "\n" << kUsage;
    return kExitUsage;
  } catch (const Failure& e) {
    err << "vornadmin: " << e.what() << "\n";
    return kExitFailure;
  }
}

}  // namespace vornadmin

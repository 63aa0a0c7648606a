// check: the data folder's layout, permissions and vorn.ini, one problem per line with what
// to do about it. File modes and owners are checked where files have them (not on Windows,
// whose rights are ACLs); that the servers can write is checked everywhere.
#include <filesystem>
#include <iostream>

#include "platform/files.h"
#include "platform/system.h"
#include "server-core/addr_allow.h"
#include "vornadmin/admin.h"
#include "vornadmin/datafolder.h"
#include "vornadmin/output.h"

namespace vornadmin {

namespace {

// What to do, in the words of the system: the Linux package runs the servers as user vorn; on
// Windows they are services, and the folder's rights are given in its properties.
constexpr bool kUnix = plat::kUnixRights;
std::string GiveToServers(const std::string& p) {
  return kUnix ? "chown -R vorn:vorn " + p : "give the account the services run as write access to " + p;
}

struct Problem {
  std::string path, problem, fix;
  bool warning = false;  // reported, but the folder still counts as sound
};

class Checker {
 public:
  explicit Checker(const std::string& data) : data_(data), ini_(data + "vorn.ini") {}
  std::vector<Problem> Run();

 private:
  void Add(const std::string& path, const std::string& problem, const std::string& fix) {
    problems_.push_back({path, problem, fix});
  }
  void Warn(const std::string& path, const std::string& problem, const std::string& fix) {
    problems_.push_back({path, problem, fix, true});
  }
  void Folders();
  void Config();
  void Port(const char* key, const char* def);
  void Lists();
  void Files(const char* sub, bool secrets);

  std::string data_, ini_;
  std::optional<plat::UnixRights> top_;
  std::vector<Problem> problems_;
};

std::vector<Problem> Checker::Run() {
  if (!IsDir(data_)) {
    Add(data_, "the data folder does not exist",
        kUnix ? "create it (the package makes /var/lib/vorn), or give --data DIR" : "create it, or give --data DIR");
    return problems_;
  }
  top_ = plat::UnixRightsOf(data_);
  Folders();
  Config();
  Files("Db/", true);
  Files("Cookie/", true);
  Files("olm/", false);
  return problems_;
}

void Checker::Folders() {
  if (!plat::MayAccess(data_, true))
    Add(data_, "not writable by this user (the servers write their logs here)",
        kUnix ? "run as the servers' user (sudo -u vorn vornadmin check) or chown -R vorn:vorn " + data_
              : "run as the account the services run as, or " + GiveToServers(data_));
  for (const char* sub : {"Db/", "Cookie/", "olm/"}) {
    std::string p = data_ + sub;
    if (!IsDir(p))
      Add(p, "folder missing",
          kUnix ? "mkdir " + p + " and give it to the servers' user (chown vorn:vorn " + p + ")" : "mkdir " + p);
    else if (!plat::MayAccess(p, true))
      Add(p, "not writable by this user", GiveToServers(p) + (kUnix ? " and run the servers as that user" : ""));
  }
  for (const char* sub : {"", "Db/", "Cookie/", "olm/"}) {
    std::string p = data_ + sub;
    auto rights = plat::UnixRightsOf(p);
    if (rights && (rights->mode & 0002))
      Add(p, "writable by every user of this machine", "chmod o-w " + p);
  }
}

void Checker::Port(const char* key, const char* def) {
  std::string v = ReadValue(ini_, "Main", key).value_or(def);
  long long n = plat::AtoI(v);
  if (n <= 0 || n > 65535) Add(ini_, std::string("[Main] ") + key + "=" + v + " is not a port", "set a number from 1 to 65535");
}

void Checker::Config() {
  if (!IsFile(ini_)) {
    Add(ini_, "missing: the servers run with their built-in defaults",
        kUnix ? "copy /usr/share/vorn/vorn.ini there and adjust BOS_IP" : "write one with [Main] BOS_IP and the ports");
    return;
  }
  if (!plat::MayAccess(ini_, false))
    Add(ini_, "not readable by this user", kUnix ? "chmod 644 " + ini_ : "give this account read access to " + ini_);
  Port("BOS_Port", "5191");
  Port("Auth_Port", "5190");
  if (plat::AtoI(ReadValue(ini_, "Main", "BOS_Port").value_or("5191")) ==
      plat::AtoI(ReadValue(ini_, "Main", "Auth_Port").value_or("5190")))
    Add(ini_, "BOS_Port and Auth_Port are the same port", "give the two servers different ports");
  std::string ip = ReadValue(ini_, "Main", "BOS_IP").value_or("127.0.0.1");
  uint32_t addr = 0;
  if (!ParseIPv4(ip, addr))
    Add(ini_, "[Main] BOS_IP=" + ip + " is not an IPv4 address", "set the address clients reach VornBOS at");
  // The servers listen on every address, but VornAuth sends this one to each client: a
  // loopback address lets clients of other machines past the password and no further.
  else if ((addr >> 24) == 127)
    Warn(ini_,
         "[Main] BOS_IP=" + ip + " is a loopback address while the servers listen on all addresses: clients on "
         "other machines log in and then cannot reach VornBOS",
         "set BOS_IP to this machine's address as the clients reach it (keep it only if every client runs here)");
  std::string level = ReadValue(ini_, "Main", "LogLevel").value_or("8");
  if (level.empty() || level.find_first_not_of("0123456789") != std::string::npos)
    Add(ini_, "[Main] LogLevel=" + level + " is not a number (reads as 0: every frame is logged and dumped)",
        "set LogLevel=8");
  std::vector<std::string> bad;
  ParseAddrAllowList(ReadValue(ini_, "Main", "CmdAllow").value_or("127.0.0.1"), bad);
  for (const auto& b : bad)
    Add(ini_, "[Main] CmdAllow entry '" + b + "' is neither an address nor a range", "write it as 10.0.0.1 or 10.0.0.0/8");
  if (ReadValue(ini_, "SendSetting", "sms0").value_or("-").rfind('-', 0) != 0 &&
      ReadValue(ini_, "SendSetting", "smtp_server").value_or("-").rfind('-', 0) == 0)
    Add(ini_, "SMS routes are set but [SendSetting] smtp_server is not", "set smtp_server to your mail relay");
  Lists();
}

void Checker::Lists() {
  ListSettings s = ReadListSettings(data_);
  for (uint32_t n : s.lists) {
    if (n == s.sendAll || n == s.sendOnLine)
      Add(ini_, "[Lists] entry " + std::to_string(n) + " repeats the SendAll or SendOnLine number",
          "remove it (vornadmin list delete is refused for it; edit [Lists])");
    else if (!IsFile(UserFile(data_, n)))
      Add(UserFile(data_, n), "list " + std::to_string(n) + " has no member file",
          "vornadmin list add " + std::to_string(n) + " MEMBER...");
  }
}

void Checker::Files(const char* sub, bool secrets) {
  std::string dir = data_ + sub;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    // Regular files only, not links to them.
    std::error_code kindError;
    if (!std::filesystem::is_regular_file(it->symlink_status(kindError))) continue;
    std::string name = it->path().filename().string();
    std::string p = dir + name;
    if (name.find(".new-") != std::string::npos ||
        (name.size() > 7 && name[name.size() - 7] == '.' && name.find(".ini.") != std::string::npos))
      Add(p, "left over from an interrupted write", std::string("remove it (") + (kUnix ? "rm " : "del ") + p + ")");
    auto rights = plat::UnixRightsOf(p);
    if (!rights) continue;  // no modes or owners (Windows), or the file is gone
    if (secrets && (rights->mode & 077) != 0) {
      bool holds = std::string(sub) == "Cookie/" || !ReadValue(p, "Main", "Pass").value_or("").empty();
      if (holds) Add(p, std::string("readable by others but holds a ") + (sub[0] == 'C' ? "login cookie" : "password"),
                     "chmod 600 " + p);
    }
    if (top_ && rights->uid != top_->uid)
      Add(p, "owned by another user than the data folder", "chown vorn:vorn " + p);
  }
}

}  // namespace

int CheckCommand(Context& ctx, const std::vector<std::string>& words) {
  NeedWords(words, 0, 0, "check");
  AllowOptions(ctx, {});
  std::vector<Problem> found = Checker(ctx.data).Run();
  bool sound = true;
  for (const auto& p : found) sound = sound && p.warning;
  if (ctx.json) {
    std::vector<std::string> problems, warnings;
    for (const auto& p : found)
      (p.warning ? warnings : problems)
          .push_back(JsonObject().Str("path", p.path).Str("problem", p.problem).Str("fix", p.fix).Text());
    JsonObject result;
    result.Bool("ok", sound).Raw("problems", JsonArray(problems)).Raw("warnings", JsonArray(warnings));
    if (!kUnix) result.Bool("rights_checked", false);
    *ctx.out << result.Text() << "\n";
  } else {
    for (const auto& p : found)
      *ctx.out << p.path << ": " << (p.warning ? "warning: " : "") << p.problem << "; " << p.fix << "\n";
    if (sound) *ctx.out << ctx.data << ": no problems found\n";
    // Without this a sound result would also seem to vouch for who may read the secrets.
    if (!kUnix)
      *ctx.out << "note: file rights are not checked on Windows (they are ACLs, not modes and owners): "
                  "make sure only the services' account and administrators can read "
               << ctx.data << "\n";
  }
  return sound ? kExitOk : kExitFailure;
}

}  // namespace vornadmin

// user add | passwd | show | list | delete | lock | unlock
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "platform/files.h"
#include "vornadmin/admin.h"
#include "vornadmin/datafolder.h"
#include "vornadmin/output.h"
#include "vornadmin/password.h"

namespace vornadmin {

namespace {

constexpr size_t kMaxName = 60;   // the servers read names into 61-byte buffers
constexpr size_t kMaxEmail = 299;

struct UserInfo {
  uint32_t uin = 0;
  std::string nick, first, last, email;
  bool password = false;
  bool locked = false;
};

UserInfo ReadUser(const std::string& data, uint32_t uin) {
  // One pass over the file for every field: a list of a thousand users stays quick.
  auto v = plat::GetProfileStrings("Main", {"Nick", "First", "Last", "Email", "Pass", "Locked"}, UserFile(data, uin));
  UserInfo u;
  u.uin = uin;
  u.nick = v[0].value_or("");
  u.first = v[1].value_or("");
  u.last = v[2].value_or("");
  u.email = v[3].value_or("");
  u.password = !v[4].value_or("").empty();
  u.locked = v[5].value_or("0").starts_with('1');
  return u;
}

std::string UserJson(const UserInfo& u) {
  return JsonObject()
      .Num("uin", u.uin)
      .Str("nick", u.nick)
      .Str("first", u.first)
      .Str("last", u.last)
      .Str("email", u.email)
      .Bool("password", u.password)
      .Bool("locked", u.locked)
      .Text();
}

// A user number that is not a broadcast list's, with the Db folder present.
uint32_t UserNumber(Context& ctx, const std::string& text) {
  uint32_t uin = ParseUin(text);
  RequireFolder(ctx.data, "Db/");
  if (IsListNumber(ReadListSettings(ctx.data), uin))
    throw Failure(text + " is a broadcast list number (see 'vornadmin list')");
  return uin;
}

std::vector<plat::ProfileEdit> DetailEdits(Context& ctx) {
  std::vector<plat::ProfileEdit> edits;
  const std::pair<const char*, const char*> fields[] = {
      {"--nick", "Nick"}, {"--first", "First"}, {"--last", "Last"}, {"--email", "Email"}};
  for (const auto& [option, key] : fields) {
    if (auto v = ctx.args.Get(option)) {
      CheckValue(*v, option + 2, std::string(option) == "--email" ? kMaxEmail : kMaxName);
      edits.push_back({"Main", key, *v});
    }
  }
  return edits;
}

void Done(Context& ctx, const std::string& text, const JsonObject& json) {
  if (ctx.json)
    *ctx.out << json.Text() << "\n";
  else
    *ctx.out << text << "\n";
}

// The new file is built under a name the servers never read (not "*.ini"), created 0600
// because it holds the password, and given its name only when complete and on the disk;
// plat::PublishNewFile refuses to replace a file another process made meanwhile.
void Add(Context& ctx, const std::vector<std::string>& w) {
  NeedWords(w, 1, 1, "user add NUMBER [--password P | --password-stdin] [--nick N --first F --last L --email E]");
  AllowOptions(ctx, {"--password", "--password-stdin", "--nick", "--first", "--last", "--email"});
  uint32_t uin = UserNumber(ctx, w[0]);
  std::string path = UserFile(ctx.data, uin);
  if (IsFile(path)) throw Failure("user " + w[0] + " already exists");
  // Files an earlier user of the number left (stored list, offline messages, cookie) must not
  // pass to the new one: they are removed, and the output says so.
  std::vector<std::string> leftovers = {OfflineFile(ctx.data, uin), CookieFile(ctx.data, uin)};
  for (const std::string& f : UserSideFiles(ctx.data, uin)) leftovers.push_back(f);
  std::vector<std::string> cleared;
  for (const std::string& f : leftovers) {
    if (!IsFile(f)) continue;
    if (!plat::RemoveFile(f)) throw Failure("a file of an earlier user " + w[0] + " remains and cannot be removed: " + f + ": " + ErrnoText());
    cleared.push_back(f);
  }
  std::vector<plat::ProfileEdit> edits = DetailEdits(ctx);
  edits.insert(edits.begin(), {"Main", "Pass", ObtainPassword(ctx)});

  uint8_t random[4];
  if (!plat::RandomBytes(random, sizeof random)) throw Failure("the system's random source failed");
  std::string tmp = ctx.data + "Db/." + std::to_string(uin) + ".new-";
  for (uint8_t b : random) {
    tmp += "0123456789abcdef"[b >> 4];
    tmp += "0123456789abcdef"[b & 15];
  }
  // A new file made 0600 whatever the umask, durably replaced into place (never half written).
  errno = 0;
  if (!plat::WriteProfileStrings(edits, tmp, 0600)) {
    std::string why = ErrnoText();
    plat::RemoveFile(tmp);
    throw Failure("cannot create a file in " + ctx.data + "Db/: " + why);
  }
  plat::GiveToFolderOwner(tmp);
  // The new name must survive a power loss as well as the content.
  errno = 0;
  if (!plat::PublishNewFile(tmp, path)) {
    if (errno == EEXIST) throw Failure("user " + w[0] + " already exists");
    throw Failure("cannot create " + path + ": " + ErrnoText());
  }
  std::string text = "user " + std::to_string(uin) + " added";
  std::vector<std::string> jsonCleared;
  for (const auto& f : cleared) jsonCleared.push_back(JsonString(f));
  if (!cleared.empty()) text += "; removed files of an earlier user of the number:";
  for (const auto& f : cleared) text += " " + f;
  Done(ctx, text, JsonObject().Num("uin", uin).Bool("added", true).Raw("removed", JsonArray(jsonCleared)));
}

void Passwd(Context& ctx, const std::vector<std::string>& w) {
  NeedWords(w, 1, 1, "user passwd NUMBER [--password P | --password-stdin]");
  AllowOptions(ctx, {"--password", "--password-stdin"});
  uint32_t uin = UserNumber(ctx, w[0]);
  std::string path = UserFile(ctx.data, uin);
  if (!IsFile(path)) throw Failure("no user " + w[0] + " (add it with 'vornadmin user add')");
  std::string pw = ObtainPassword(ctx);
  // The file holds the password: make it private first; the atomic write keeps the mode. On
  // Windows this only clears the read-only attribute: rights there come from the folder's ACL.
  std::error_code ec;
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
  if (ec) throw Failure("cannot change " + path + ": " + ec.message());
  WriteEdits(path, {{"Main", "Pass", pw}}, 0600);
  Done(ctx, "password of " + std::to_string(uin) + " changed", JsonObject().Num("uin", uin).Bool("changed", true));
}

void Show(Context& ctx, const std::vector<std::string>& w) {
  NeedWords(w, 1, 1, "user show NUMBER");
  AllowOptions(ctx, {});
  uint32_t uin = UserNumber(ctx, w[0]);
  if (!IsFile(UserFile(ctx.data, uin))) throw Failure("no user " + w[0]);
  UserInfo u = ReadUser(ctx.data, uin);
  uint64_t olm = 0;
  int err = 0;
  // No offline file means no messages waiting; any other failure is not taken for none.
  if (!plat::FileSize(OfflineFile(ctx.data, uin), olm, err) && err != ENOENT)
    throw Failure("cannot read " + OfflineFile(ctx.data, uin) + ": " + std::strerror(err));
  if (ctx.json) {
    std::string j = UserJson(u);
    j.pop_back();
    *ctx.out << j << ", \"offline_bytes\": " << olm << "}\n";
    return;
  }
  *ctx.out << "number:   " << u.uin << "\nnick:     " << u.nick << "\nfirst:    " << u.first
           << "\nlast:     " << u.last << "\nemail:    " << u.email
           << "\npassword: " << (u.password ? "set" : "not set") << "\nlocked:   " << (u.locked ? "yes" : "no")
           << "\noffline:  " << olm << " bytes waiting\n";
}

bool Matches(const UserInfo& u, const std::string& needle) {
  auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
  };
  std::string n = lower(needle);
  for (const std::string* field : {&u.nick, &u.first, &u.last, &u.email})
    if (lower(*field).find(n) != std::string::npos) return true;
  return std::to_string(u.uin).find(n) != std::string::npos;
}

void List(Context& ctx, const std::vector<std::string>& w) {
  NeedWords(w, 0, 0, "user list [--match TEXT]");
  AllowOptions(ctx, {"--match"});
  RequireFolder(ctx.data, "Db/");
  ListSettings lists = ReadListSettings(ctx.data);
  std::string match = ctx.args.Get("--match").value_or("");
  std::vector<std::string> items;
  for (const std::string& name : plat::ListFiles(ctx.data + "Db/", ".ini")) {
    uint32_t uin = static_cast<uint32_t>(plat::AtoI(name));
    // Only "<number>.ini" names are users; list numbers have files of their own.
    if (uin == 0 || std::to_string(static_cast<int32_t>(uin)) + ".ini" != name || IsListNumber(lists, uin)) continue;
    UserInfo u = ReadUser(ctx.data, uin);
    if (!match.empty() && !Matches(u, match)) continue;
    if (ctx.json) {
      items.push_back(UserJson(u));
    } else {
      std::string names = u.first + (u.first.empty() || u.last.empty() ? "" : " ") + u.last;
      char line[512];
      std::snprintf(line, sizeof line, "%-10u  %-20s  %-30s  %s", u.uin, u.nick.c_str(), names.c_str(),
                    u.email.c_str());
      std::string l = line;
      while (!l.empty() && l.back() == ' ') l.pop_back();
      *ctx.out << l << "\n";
    }
  }
  if (ctx.json) *ctx.out << JsonArray(items) << "\n";
}

// user lock | unlock: through the running VornBOS, which also ends the user's session; when
// it cannot be reached the file is changed here and the lock holds from the next sign-on.
void Lock(Context& ctx, const std::vector<std::string>& w, bool locked) {
  NeedWords(w, 1, 1, locked ? "user lock NUMBER" : "user unlock NUMBER");
  AllowOptions(ctx, {});
  uint32_t uin = UserNumber(ctx, w[0]);
  std::string how = "changed through VornBOS";
  std::optional<ApiReply> reply;
  if (kWindowsBuild) {
    // No management API to end a session: the lock holds from the user's next sign-on.
    SetUserLock(ctx.data, uin, locked);
    how = "the file was changed; a session already signed on goes on until it ends";
  } else {
    try {
      reply = CallApi(ctx, "POST", "/api/users/" + std::to_string(uin) + (locked ? "/lock" : "/unlock"), "");
    } catch (const Unreachable& e) {
      SetUserLock(ctx.data, uin, locked);
      how = std::string("VornBOS not reached (") + e.what() + "), the file was changed";
    }
  }
  if (reply) ExpectOk(*reply);
  Done(ctx, "user " + std::to_string(uin) + (locked ? " locked" : " unlocked") + ": " + how,
       JsonObject().Num("uin", uin).Bool("locked", locked));
}

void Delete(Context& ctx, const std::vector<std::string>& w) {
  NeedWords(w, 1, 1, "user delete NUMBER [--port PORT]");
  AllowOptions(ctx, {"--port"});
  uint32_t uin = UserNumber(ctx, w[0]);
  std::string userFile = UserFile(ctx.data, uin);
  if (!IsFile(userFile)) throw Failure("no user " + w[0]);
  // The user file goes last, so a failure on the way leaves the user in place.
  std::vector<std::string> files = {OfflineFile(ctx.data, uin), CookieFile(ctx.data, uin)};
  for (const std::string& f : UserSideFiles(ctx.data, uin)) files.push_back(f);
  files.push_back(userFile);
  for (const std::string& f : files) {
    std::string dir = f.substr(0, f.find_last_of('/') + 1);
    if (IsFile(f) && !plat::MayAccess(dir, true))
      throw Failure("cannot remove " + f + ": " + ErrnoText() + " (nothing was removed)");
  }
  // A signed-on user is signed off first; the server then forgets the stored list without
  // writing it, so nothing comes back after the files are gone.
  std::optional<int> ended = EndSessionsOf(ctx, uin);
  std::vector<std::string> removed;
  for (const std::string& f : files) {
    if (!plat::FileExists(f)) continue;  // anything there, a folder too, must go or the delete stops
    if (plat::RemoveFile(f))
      removed.push_back(f);
    else
      throw Failure("cannot remove " + f + ": " + ErrnoText() +
                    (removed.empty() ? " (nothing was removed)" : " (removed before: " + removed[0] + ")"));
  }
  if (!plat::SyncFolder(ctx.data + "Db/")) throw Failure("cannot flush " + ctx.data + "Db/: " + ErrnoText());
  std::vector<std::string> jsonFiles;
  for (const auto& f : removed) jsonFiles.push_back(JsonString(f));
  std::string text = "user " + std::to_string(uin) + " deleted:";
  for (const auto& f : removed) text += " " + f;
  if (ended && *ended > 0) text += "; signed off (" + std::to_string(*ended) + " session)";
  Done(ctx, text,
       JsonObject().Num("uin", uin).Raw("removed", JsonArray(jsonFiles)).Num("sessions_ended", ended.value_or(0)));
}

}  // namespace

void SetUserLock(const std::string& data, uint32_t uin, bool locked) {
  std::string path = UserFile(data, uin);
  if (!IsFile(path)) throw Failure("no user " + std::to_string(uin));
  WriteEdits(path, {{"Main", "Locked", locked ? std::optional<std::string>("1") : std::nullopt}});
  // A login cookie handed out before the lock stops working, as after a refused login.
  std::string cookie = CookieFile(data, uin);
  if (locked && IsFile(cookie) && !plat::WriteFileInPlace(cookie, "", 0, 0600))
    throw Failure("user " + std::to_string(uin) + " locked, but its login cookie " + cookie +
                  " could not be emptied: " + ErrnoText());
}

void UserCommand(Context& ctx, const std::vector<std::string>& words) {
  if (words.empty()) throw UsageError("expected: vornadmin user add|passwd|show|list|delete|lock|unlock ...");
  std::vector<std::string> rest(words.begin() + 1, words.end());
  const std::string& verb = words[0];
  if (verb == "add")
    Add(ctx, rest);
  else if (verb == "passwd")
    Passwd(ctx, rest);
  else if (verb == "show")
    Show(ctx, rest);
  else if (verb == "list")
    List(ctx, rest);
  else if (verb == "delete")
    Delete(ctx, rest);
  else if (verb == "lock" || verb == "unlock")
    Lock(ctx, rest, verb == "lock");
  else
    throw UsageError("unknown user command '" + verb + "'");
}

}  // namespace vornadmin

// Users and broadcast lists: the same commands as vornadmin, run in the server process, so the
// files follow one set of rules whoever changes them.
#include <cstring>
#include <sstream>

#include "VornBOS/admin/admin.h"
#include "VornBOS/admin/api_internal.h"
#include "VornBOS/session.h"
#include "VornBOS/ssi/store.h"
#include "platform/files.h"
#include "vornadmin/admin.h"

namespace admin {

namespace {

std::string UserPath(uint32_t uin, const char* ext) {
  return DataFolder() + "Db/" + std::to_string(static_cast<int32_t>(uin)) + ext;
}

const char* SsiTypeName(uint16_t type) {
  switch (type) {
    case kSsiBuddy:
      return "buddy";
    case kSsiGroup:
      return "group";
    case kSsiPermit:
      return "visible";
    case kSsiDeny:
      return "invisible";
    case kSsiIgnore:
      return "ignore";
    default:
      return "other";
  }
}

// The stored contact list: nothing for no file, an error text for a file that cannot be read.
bool ReadStoredList(uint32_t uin, SsiList& list, std::string& error) {
  std::string path = UserPath(uin, ".ssi");
  auto bytes = plat::ReadFileBytes(path, 4u << 20);
  if (bytes.absent()) return true;
  if (!bytes) {
    error = "cannot read " + path + ": " + std::strerror(bytes.err);
    return false;
  }
  auto parsed = ParseSsiText(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  if (!parsed) {
    error = path + " is damaged";
    return false;
  }
  list = std::move(*parsed);
  return true;
}

bool IsOnline(uint32_t uin) {
  auto online = std::make_shared<bool>(false);
  RunOnLoop([uin, online] { *online = FindUser(uin) != nullptr; }, kLoopTimeoutMs);
  return *online;
}

void ListUsers(const httplib::Request& req, httplib::Response& res) {
  std::vector<std::string> args = {"user", "list"};
  std::string q = req.get_param_value("q");
  if (!q.empty()) args.insert(args.end(), {"--match", q});
  json all;
  if (!RunTool(args, "", res, all)) return;
  size_t offset = 0, limit = 0;
  Paging(req, offset, limit);
  json page = json::array();
  for (size_t i = offset; i < all.size() && i < offset + limit; ++i) page.push_back(all[i]);
  Reply(res, 200, {{"total", all.size()}, {"offset", offset}, {"limit", limit}, {"users", page}});
}

void ShowUser(const httplib::Request& req, httplib::Response& res) {
  uint32_t uin = 0;
  if (!ParseNumber(req.matches[1].str(), res, uin)) return;
  json user;
  if (!RunTool({"user", "show", std::to_string(uin)}, "", res, user)) return;
  SsiList list;
  std::string error;
  if (!ReadStoredList(uin, list, error)) return Error(res, 500, error);
  user["stored_list_items"] = list.items.size();
  user["online"] = IsOnline(uin);
  Reply(res, 200, user);
}

void CreateUser(const httplib::Request& req, httplib::Response& res) {
  json body;
  uint32_t uin = 0;
  if (!ParseObject(req, res, body) || !NumberField(body, "uin", res, uin)) return;
  if (!body.contains("password") || !body["password"].is_string()) return Error(res, 400, "password is missing");
  std::vector<std::string> args = {"user", "add", std::to_string(uin), "--password-stdin"};
  for (const char* field : {"nick", "first", "last", "email"}) {
    if (!body.contains(field)) continue;
    std::string value;
    if (!body[field].is_string() || !TextBytes(body[field].get<std::string>(), value))
      return Error(res, 400, std::string(field) + " must be a string of the characters U+0001 to U+00FF");
    args.insert(args.end(), {std::string("--") + field, value});
  }
  std::string password;
  if (!TextBytes(body["password"].get<std::string>(), password)) return Error(res, 400, "the password holds characters beyond U+00FF");
  json out;
  if (!RunTool(args, password + "\n", res, out)) return;
  if (!RunTool({"user", "show", std::to_string(uin)}, "", res, out)) return;
  Reply(res, 201, out);
}

void DeleteUser(const httplib::Request& req, httplib::Response& res) {
  uint32_t uin = 0;
  if (!ParseNumber(req.matches[1].str(), res, uin)) return;
  json out;
  if (!RunTool({"user", "show", std::to_string(uin)}, "", res, out)) return;
  // The session ends first, so that it does not write the files again once they are gone.
  bool loopOk = true;
  bool ended = EndSession(uin, loopOk);
  if (!loopOk) return Error(res, 503, "the session server did not answer; nothing was removed");
  if (!RunTool({"user", "delete", std::to_string(uin)}, "", res, out)) return;
  out["session_ended"] = ended;
  Reply(res, 200, out);
}

void ChangePassword(const httplib::Request& req, httplib::Response& res) {
  uint32_t uin = 0;
  json body;
  if (!ParseNumber(req.matches[1].str(), res, uin) || !ParseObject(req, res, body)) return;
  if (!body.contains("password") || !body["password"].is_string()) return Error(res, 400, "password is missing");
  std::string password;
  if (!TextBytes(body["password"].get<std::string>(), password)) return Error(res, 400, "the password holds characters beyond U+00FF");
  json out;
  if (!RunTool({"user", "passwd", std::to_string(uin), "--password-stdin"}, password + "\n", res, out)) return;
  Reply(res, 200, out);
}

void Lock(const httplib::Request& req, httplib::Response& res, bool locked) {
  uint32_t uin = 0;
  if (!ParseNumber(req.matches[1].str(), res, uin)) return;
  json user;
  if (!RunTool({"user", "show", std::to_string(uin)}, "", res, user)) return;
  try {
    std::lock_guard<std::mutex> hold(WriteLock());
    vornadmin::SetUserLock(DataFolder(), uin, locked);
  } catch (const std::exception& e) {
    return Error(res, 500, e.what());
  }
  bool loopOk = true;
  bool ended = locked && EndSession(uin, loopOk);
  Reply(res, 200, {{"uin", uin}, {"locked", locked}, {"session_ended", ended}});
}

void ContactList(const httplib::Request& req, httplib::Response& res) {
  uint32_t uin = 0;
  if (!ParseNumber(req.matches[1].str(), res, uin)) return;
  if (!plat::FileExists(UserPath(uin, ".ini"))) return Error(res, 404, "no user " + std::to_string(uin));
  SsiList list;
  std::string error;
  if (!ReadStoredList(uin, list, error)) return Error(res, 500, error);
  json items = json::array();
  for (const SsiItem& it : list.items) {
    json item = {{"name", it.name}, {"type", it.type}, {"type_name", SsiTypeName(it.type)},
                 {"group", it.group}, {"id", it.id}};
    if (it.type == kSsiBuddy) item["awaiting_authorization"] = SsiHasTlv(it, kSsiAwaitingAuth);
    items.push_back(item);
  }
  Reply(res, 200, {{"uin", uin}, {"changed", list.time}, {"items", items}});
}

// List changes take effect in the running server at once: the configuration is reloaded.
void AfterListChange(httplib::Response& res, json out) {
  out["reloaded"] = ReloadConfiguration();
  Reply(res, 200, out);
}

std::vector<std::string> MemberArgs(const json& members, httplib::Response& res, bool& ok) {
  std::vector<std::string> out;
  ok = members.is_array();
  if (!ok) {
    Error(res, 400, "members must be an array of user numbers");
    return out;
  }
  for (const json& m : members) {
    uint32_t n = 0;
    std::string text = m.is_number_unsigned() ? std::to_string(m.get<uint64_t>()) : m.is_string() ? m.get<std::string>() : "";
    if (!ParseNumber(text, res, n)) {
      ok = false;
      return out;
    }
    out.push_back(std::to_string(n));
  }
  return out;
}

void CreateList(const httplib::Request& req, httplib::Response& res) {
  json body;
  uint32_t n = 0;
  if (!ParseObject(req, res, body) || !NumberField(body, "list", res, n)) return;
  bool ok = true;
  std::vector<std::string> members = MemberArgs(body.value("members", json::array()), res, ok);
  if (!ok) return;
  std::vector<std::string> args = {"list", "create", std::to_string(n)};
  args.insert(args.end(), members.begin(), members.end());
  json out;
  if (!RunTool(args, "", res, out)) return;
  res.status = 201;
  AfterListChange(res, out);
  res.status = 201;
}

// Replaces the members: the ones no longer wanted are removed, the new ones added.
void ChangeList(const httplib::Request& req, httplib::Response& res) {
  uint32_t n = 0;
  json body;
  if (!ParseNumber(req.matches[1].str(), res, n) || !ParseObject(req, res, body)) return;
  bool ok = true;
  std::vector<std::string> wanted = MemberArgs(body.value("members", json()), res, ok);
  if (!ok) return;
  std::string list = std::to_string(n);
  json current;
  if (!RunTool({"list", "show", list}, "", res, current)) return;
  std::vector<std::string> gone = {"list", "remove", list}, added = {"list", "add", list};
  for (const json& m : current["members"]) {
    std::string s = std::to_string(m.get<uint64_t>());
    if (std::find(wanted.begin(), wanted.end(), s) == wanted.end()) gone.push_back(s);
  }
  for (const std::string& s : wanted) {
    bool had = false;
    for (const json& m : current["members"]) had = had || std::to_string(m.get<uint64_t>()) == s;
    if (!had) added.push_back(s);
  }
  json out;
  if (gone.size() > 3 && !RunTool(gone, "", res, out)) return;
  if (added.size() > 3 && !RunTool(added, "", res, out)) return;
  if (!RunTool({"list", "show", list}, "", res, out)) return;
  AfterListChange(res, out);
}

}  // namespace

void AddFileRoutes(httplib::Server& s) {
  s.Get("/api/users", ListUsers);
  s.Post("/api/users", CreateUser);
  s.Get(R"(/api/users/(\d+))", ShowUser);
  s.Delete(R"(/api/users/(\d+))", DeleteUser);
  s.Put(R"(/api/users/(\d+)/password)", ChangePassword);
  s.Post(R"(/api/users/(\d+)/lock)", [](const httplib::Request& q, httplib::Response& r) { Lock(q, r, true); });
  s.Post(R"(/api/users/(\d+)/unlock)", [](const httplib::Request& q, httplib::Response& r) { Lock(q, r, false); });
  s.Get(R"(/api/users/(\d+)/contacts)", ContactList);
  s.Get("/api/lists", [](const httplib::Request&, httplib::Response& res) {
    json out;
    if (RunTool({"list", "show"}, "", res, out)) Reply(res, 200, out);
  });
  s.Post("/api/lists", CreateList);
  s.Get(R"(/api/lists/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    uint32_t n = 0;
    json out;
    if (ParseNumber(req.matches[1].str(), res, n) && RunTool({"list", "show", std::to_string(n)}, "", res, out))
      Reply(res, 200, out);
  });
  s.Put(R"(/api/lists/(\d+))", ChangeList);
  s.Delete(R"(/api/lists/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    uint32_t n = 0;
    json out;
    if (ParseNumber(req.matches[1].str(), res, n) && RunTool({"list", "delete", std::to_string(n)}, "", res, out))
      AfterListChange(res, out);
  });
}

}  // namespace admin

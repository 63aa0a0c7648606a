// list show | create | delete | add | remove | chat: the broadcast lists of vorn.ini and
// their member files.
#include <algorithm>
#include <cerrno>
#include <iostream>

#include "platform/files.h"
#include "vornadmin/admin.h"
#include "vornadmin/datafolder.h"
#include "vornadmin/output.h"

namespace vornadmin {

namespace {

std::string Ini(const Context& ctx) { return ctx.data + "vorn.ini"; }

// Members of an ordinary list: keys "0", "1", ... of [List] up to the first '-'.
std::vector<uint32_t> Members(const Context& ctx, uint32_t list) {
  std::vector<uint32_t> out;
  std::string f = UserFile(ctx.data, list);
  for (int i = 0;; ++i) {
    std::string v = ReadValue(f, "List", std::to_string(i)).value_or("-");
    if (v.starts_with('-')) break;
    uint32_t n = static_cast<uint32_t>(plat::AtoI(v));
    if (n != 0) out.push_back(n);
  }
  return out;
}

// Replaces the member keys in one write; keys left over from a longer list are removed.
void WriteMembers(const Context& ctx, uint32_t list, const std::vector<uint32_t>& members) {
  std::string f = UserFile(ctx.data, list);
  std::vector<plat::ProfileEdit> edits;
  for (size_t i = 0; i < members.size(); ++i) edits.push_back({"List", std::to_string(i), std::to_string(members[i])});
  for (size_t i = members.size(); ReadValue(f, "List", std::to_string(i)); ++i)
    edits.push_back({"List", std::to_string(i), std::nullopt});
  if (members.empty()) edits.push_back({"List", "0", "-"});  // keeps the (empty) list's file
  WriteEdits(f, edits);
}

std::vector<uint32_t> MemberArgs(const std::vector<std::string>& words, size_t from, uint32_t list) {
  std::vector<uint32_t> out;
  for (size_t i = from; i < words.size(); ++i) {
    uint32_t n = ParseUin(words[i], "member number");
    if (n == list) throw UsageError("a list cannot hold its own number");
    if (std::find(out.begin(), out.end(), n) == out.end()) out.push_back(n);
  }
  return out;
}

bool IsOrdinary(const ListSettings& s, uint32_t n) {
  return std::find(s.lists.begin(), s.lists.end(), n) != s.lists.end();
}

uint32_t ExistingList(Context& ctx, const std::string& text) {
  uint32_t n = ParseUin(text, "list number");
  RequireFolder(ctx.data, "Db/");
  ListSettings s = ReadListSettings(ctx.data);
  if (n == s.sendAll) throw Failure(text + " is the SendAll list: it holds every user and is not edited");
  if (n == s.sendOnLine) throw Failure(text + " is the SendOnLine number: it reaches everyone signed on");
  if (!IsOrdinary(s, n)) throw Failure("no list " + text + " in " + Ini(ctx) + " (create it with 'vornadmin list create')");
  return n;
}

void Reloaded(Context& ctx) {
  *ctx.err << "vornadmin: VornBOS uses the change after its next configuration reload "
           << (kWindowsBuild ? "(sc control VornBOS paramchange)\n" : "(systemctl reload vornbos, or SIGHUP)\n");
}

std::string NumbersJson(const std::vector<uint32_t>& v) {
  std::vector<std::string> items;
  for (uint32_t n : v) items.push_back(std::to_string(n));
  return JsonArray(items);
}

std::string NumbersText(const std::vector<uint32_t>& v) {
  std::string out;
  for (uint32_t n : v) out += (out.empty() ? "" : " ") + std::to_string(n);
  return out.empty() ? "(no members)" : out;
}

void Show(Context& ctx, const std::vector<std::string>& w) {
  NeedWords(w, 0, 1, "list show [LIST]");
  AllowOptions(ctx, {});
  if (!w.empty()) {
    uint32_t n = ExistingList(ctx, w[0]);
    std::vector<uint32_t> m = Members(ctx, n);
    if (ctx.json)
      *ctx.out << JsonObject().Num("list", n).Raw("members", NumbersJson(m)).Text() << "\n";
    else
      *ctx.out << n << ": " << NumbersText(m) << "\n";
    return;
  }
  RequireFolder(ctx.data);
  ListSettings s = ReadListSettings(ctx.data);
  if (ctx.json) {
    std::vector<std::string> lists;
    for (uint32_t n : s.lists)
      lists.push_back(JsonObject().Num("list", n).Raw("members", NumbersJson(Members(ctx, n))).Text());
    *ctx.out << JsonObject()
                    .Num("send_online", s.sendOnLine)
                    .Num("send_all", s.sendAll)
                    .Bool("chat", s.chat)
                    .Raw("lists", JsonArray(lists))
                    .Text()
             << "\n";
    return;
  }
  *ctx.out << "SendOnLine: " << s.sendOnLine << (s.sendOnLine ? "" : " (off)") << "\nSendAll:    " << s.sendAll
           << (s.sendAll ? " (every user)" : " (off)") << "\nchat:       " << (s.chat ? "on" : "off") << "\n";
  for (uint32_t n : s.lists) *ctx.out << n << ": " << NumbersText(Members(ctx, n)) << "\n";
}

void Create(Context& ctx, const std::vector<std::string>& w) {
  NeedWords(w, 1, 100000, "list create LIST [MEMBER...]");
  AllowOptions(ctx, {});
  uint32_t n = ParseUin(w[0], "list number");
  std::vector<uint32_t> members = MemberArgs(w, 1, n);
  RequireFolder(ctx.data, "Db/");
  ListSettings s = ReadListSettings(ctx.data);
  if (IsListNumber(s, n)) throw Failure(w[0] + " is already a broadcast list number");
  std::string file = UserFile(ctx.data, n);
  if (IsFile(file) && !ReadValue(file, "List", "0"))
    throw Failure(w[0] + " is a user's number (" + file + " exists)");
  WriteMembers(ctx, n, members);
  // The new entry takes the first free key; a stale key after it is turned into the end mark
  // so that it does not come back to life.
  std::string key = std::to_string(s.lists.size());
  std::string next = std::to_string(s.lists.size() + 1);
  std::vector<plat::ProfileEdit> edits = {{"Lists", key, std::to_string(n)}};
  if (ReadValue(Ini(ctx), "Lists", next)) edits.push_back({"Lists", next, "-"});
  WriteEdits(Ini(ctx), edits);
  if (ctx.json)
    *ctx.out << JsonObject().Num("list", n).Raw("members", NumbersJson(members)).Bool("created", true).Text() << "\n";
  else
    *ctx.out << "list " << n << " created: " << NumbersText(members) << "\n";
  Reloaded(ctx);
}

void Delete(Context& ctx, const std::vector<std::string>& w) {
  NeedWords(w, 1, 1, "list delete LIST");
  AllowOptions(ctx, {});
  uint32_t n = ExistingList(ctx, w[0]);
  ListSettings s = ReadListSettings(ctx.data);
  std::vector<uint32_t> rest;
  for (uint32_t l : s.lists)
    if (l != n) rest.push_back(l);
  std::vector<plat::ProfileEdit> edits;
  for (size_t i = 0; i < rest.size(); ++i) edits.push_back({"Lists", std::to_string(i), std::to_string(rest[i])});
  edits.push_back({"Lists", std::to_string(rest.size()), std::nullopt});
  WriteEdits(Ini(ctx), edits);
  std::string file = UserFile(ctx.data, n);
  if (!plat::RemoveFile(file))
    *ctx.err << "vornadmin: list " << n << " removed from vorn.ini, but " << file << " stays: " << ErrnoText() << "\n";
  if (ctx.json)
    *ctx.out << JsonObject().Num("list", n).Bool("deleted", true).Text() << "\n";
  else
    *ctx.out << "list " << n << " deleted\n";
  Reloaded(ctx);
}

void Change(Context& ctx, const std::vector<std::string>& w, bool add) {
  NeedWords(w, 2, 100000, add ? "list add LIST MEMBER..." : "list remove LIST MEMBER...");
  AllowOptions(ctx, {});
  uint32_t n = ExistingList(ctx, w[0]);
  std::vector<uint32_t> given = MemberArgs(w, 1, n);
  std::vector<uint32_t> members = Members(ctx, n);
  for (uint32_t m : given) {
    auto it = std::find(members.begin(), members.end(), m);
    if (add && it == members.end()) members.push_back(m);
    if (!add && it != members.end()) members.erase(it);
  }
  WriteMembers(ctx, n, members);
  if (ctx.json)
    *ctx.out << JsonObject().Num("list", n).Raw("members", NumbersJson(members)).Text() << "\n";
  else
    *ctx.out << n << ": " << NumbersText(members) << "\n";
  Reloaded(ctx);
}

void Chat(Context& ctx, const std::vector<std::string>& w) {
  NeedWords(w, 1, 1, "list chat on|off");
  AllowOptions(ctx, {});
  if (w[0] != "on" && w[0] != "off") throw UsageError("expected: vornadmin list chat on|off");
  RequireFolder(ctx.data);
  WriteEdits(Ini(ctx), {{"SendSetting", "isSendChat", w[0] == "on" ? "1" : "0"}});
  if (ctx.json)
    *ctx.out << JsonObject().Bool("chat", w[0] == "on").Text() << "\n";
  else
    *ctx.out << "chat " << w[0] << "\n";
  Reloaded(ctx);
}

}  // namespace

void ListCommand(Context& ctx, const std::vector<std::string>& words) {
  if (words.empty()) throw UsageError("expected: vornadmin list show|create|delete|add|remove|chat ...");
  std::vector<std::string> rest(words.begin() + 1, words.end());
  const std::string& verb = words[0];
  if (verb == "show")
    Show(ctx, rest);
  else if (verb == "create")
    Create(ctx, rest);
  else if (verb == "delete")
    Delete(ctx, rest);
  else if (verb == "add")
    Change(ctx, rest, true);
  else if (verb == "remove")
    Change(ctx, rest, false);
  else if (verb == "chat")
    Chat(ctx, rest);
  else
    throw UsageError("unknown list command '" + verb + "'");
}

}  // namespace vornadmin

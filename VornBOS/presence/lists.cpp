#include <algorithm>

#include "VornBOS/presence/presence.h"
#include "VornBOS/session.h"
#include "server-core/config.h"
#include "server-core/userdb.h"

namespace {

std::vector<SendList> table;

bool IsListNumber(uint32_t n) {
  return std::any_of(table.begin(), table.end(), [n](const SendList& l) { return l.number == n; });
}

// Every user with a file, except numbers that are lists or broadcast addresses themselves.
std::vector<uint32_t> AllUsers() {
  std::vector<uint32_t> members;
  bool screen = !table.empty();
  EnumerateUserFiles([&](uint32_t uin, const std::string&) {
    if (uin == 0) return;
    if (screen && (IsListNumber(uin) || uin == Cfg.SendOnLine || uin == Cfg.SendAll)) return;
    members.push_back(uin);
  });
  return members;
}

void ReplaceAll(std::string& text, const std::string& token, const std::string& value) {
  for (size_t pos = text.find(token); pos != std::string::npos; pos = text.find(token, pos + value.size()))
    text.replace(pos, token.size(), value);
}

}  // namespace

const SendList* FindList(uint32_t number) {
  for (const SendList& l : table)
    if (l.number == number) return &l;
  return nullptr;
}

void AddSendList(uint32_t number) {
  SendList list;
  list.number = number;
  if (number != 0 && number == Cfg.SendAll) {
    list.members = AllUsers();
  } else if (number != 0) {
    for (uint32_t m : ReadMemberList(number))
      if (m != 0) list.members.push_back(m);
  }
  table.push_back(std::move(list));
}

void ClearSendLists() { table.clear(); }

const std::vector<SendList>& SendLists() { return table; }

const std::string& RenderRelayText(ClientInfo& sender) {
  if (sender.relayTemplateReady || Cfg.TemplateMsg.empty()) return sender.relayTemplate;
  std::string text = Cfg.TemplateMsg;
  ReplaceAll(text, "%UIN%", std::to_string(sender.UIN));
  ReplaceAll(text, "%NICK%", ReadUserString(sender.UIN, "Main", "nick", "", 62));
  ReplaceAll(text, "%FIRST%", ReadUserString(sender.UIN, "Main", "first", "", 62));
  ReplaceAll(text, "%LAST%", ReadUserString(sender.UIN, "Main", "last", "", 62));
  ReplaceAll(text, "\\n", "\r\n");
  sender.relayTemplate = std::move(text);
  sender.relayTemplateReady = true;
  return sender.relayTemplate;
}

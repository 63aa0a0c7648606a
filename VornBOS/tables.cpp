#include "VornBOS/tables.h"

#include "VornBOS/directory/sms.h"
#include "VornBOS/presence/presence.h"
#include "server-core/log.h"

ConfigTables ServerTablesHooks() {
  ConfigTables t;
  t.clear = ClearServerTables;
  t.addSendList = AddSendList;
  t.addSmsRoute = AddSmsRoute;
  return t;
}

void ClearServerTables() {
  ClearSendLists();
  ClearSmsRoutes();
}

void DumpServerTables() {
  for (const SendList& list : SendLists())
    for (uint32_t member : list.members) WriteLog("%d", 6, "Send list", list.number, member);
  for (const SmsRoute& r : SmsRoutes()) {
    std::string text = "<sign>" + r.sign + "</sign><to>" + r.to + "</to><subj>" + r.subj + "</subj>";
    WriteLog("%s", 6, "SMS list", 0, text.c_str());
  }
}

void WaitForServerWork() { WaitForMailThreads(); }

#include "server-core/config.h"

#include <cstdlib>

#include "platform/ini.h"
#include "platform/system.h"
#include "server-core/log.h"

AddrAllowList DefaultCmdAllow() {
  std::vector<std::string> bad;
  return ParseAddrAllowList("127.0.0.1", bad);
}

ServerConfig Cfg;

std::string ReadDataPath() {
  std::string path;
  plat::SettingRead read = plat::ReadDataPathSetting(path);
  if (read == plat::SettingRead::kNoKey) {
    WriteLog("Error open reestr key: HKLM:SOFTWARE\\Tarn\\Vorn", 11, "", 0);
    return plat::kDefaultDataPath;
  }
  if (read == plat::SettingRead::kNoValue) {
    WriteLog("Error read reestr - HKLM:SOFTWARE\\Tarn\\Vorn\\path", 11, "", 0);
    WriteLog("Use default ini-file = .\\Vorn.ini", 9, "", 0);
    return plat::kDefaultDataPath;
  }
  if (path.size() > 259) path.resize(259);
  return path;
}

void SetDataPath(const std::string& path) {
  Cfg.DataPath = path;
  Cfg.userDir = path + "Db" + plat::kPathSep;
  Cfg.cookieDir = path + "Cookie" + plat::kPathSep;
  Cfg.olmDir = path + "olm" + plat::kPathSep;
  Cfg.iniFile = path + "vorn.ini";
}

std::string ReadIniString(const char* section, const char* key, const char* def) {
  return plat::GetProfileString(section, key, def, kIniValueSize, Cfg.iniFile);
}

int32_t ReadIniInt(const char* section, const char* key, const char* def) {
  return static_cast<int32_t>(plat::AtoI(ReadIniString(section, key, def)));
}

namespace {

void LoadLists(const ConfigTables& tables) {
  for (int i = 0;; ++i) {
    std::string value = ReadIniString("Lists", std::to_string(i).c_str(), "-");
    if (value.starts_with('-')) break;
    uint32_t n = static_cast<uint32_t>(plat::AtoI(value));
    if (n == Cfg.SendAll)
      WriteLog("Error in send-list=%d. ID = \"SendAll\"", 11, "", 0, n);
    else if (n == Cfg.SendOnLine)
      WriteLog("Error in send-list=%d. ID = \"SendOnLine\"", 11, "", 0, n);
    else if (tables.addSendList)
      tables.addSendList(n);
  }
  if (tables.addSendList) tables.addSendList(Cfg.SendAll);
}

// Who may send command frames; unreadable entries are logged and left out.
void LoadCmdAllow() {
  std::vector<std::string> bad;
  Cfg.cmdAllow = ParseAddrAllowList(ReadIniString("Main", "CmdAllow", "127.0.0.1"), bad);
  for (const std::string& entry : bad) WriteLog("Bad CmdAllow entry: %s", 11, "", 0, entry.c_str());
}

void LoadSmsRoutes(const ConfigTables& tables) {
  for (int i = 0;; ++i) {
    std::string key = "sms" + std::to_string(i);
    std::string value = ReadIniString("SendSetting", key.c_str(), "-");
    if (value.starts_with('-')) break;
    if (tables.addSmsRoute) tables.addSmsRoute(value);
  }
}

}  // namespace

void LoadConfiguration(const ConfigTables& tables) {
  CloseLog();
  SetLogFile("VornBOS", plat::kDefaultDataPath);  // where the lines about a missing data folder go
  std::string path = ReadDataPath();
  SetDataPath(path);
  SetLogFile("VornBOS", Cfg.DataPath);
  WriteLog("%s", 11, "User dir", 0, Cfg.userDir.c_str());
  WriteLog("%s", 11, "Cookie dir", 0, Cfg.cookieDir.c_str());
  WriteLog("%s", 11, "Off line msg", 0, Cfg.olmDir.c_str());
  Cfg.BOS_Port = ReadIniInt("Main", "BOS_Port", "5191");
  WriteLog("%d", 11, "BOS port", 0, Cfg.BOS_Port);
  Cfg.BOS_IP = ReadIniString("Main", "BOS_IP", "127.0.0.1");
  WriteLog("%s", 11, "BOS IP", 0, Cfg.BOS_IP.c_str());
  LogLevel = static_cast<int16_t>(ReadIniInt("Main", "LogLevel", "8"));
  WriteLog("%d", 11, "LogLevel", 0, static_cast<int>(LogLevel.load()));
  Cfg.SendOnLine = static_cast<uint32_t>(ReadIniInt("Lists", "SendOnLine", "0"));
  WriteLog("%d", 11, "SendOnLine", 0, Cfg.SendOnLine);
  Cfg.SendAll = static_cast<uint32_t>(ReadIniInt("Lists", "SendAll", "0"));
  WriteLog("%d", 11, "SendAll", 0, Cfg.SendAll);
  Cfg.isSendChat = ReadIniString("SendSetting", "isSendChat", "0").starts_with('1');
  Cfg.TemplateMsg = ReadIniString("SendSetting", "TemplateMsg",
                                  "Message from %%UIN%% %%NICK%% - %%FIRST%% %%LAST%%");
  Cfg.snacReqId = 0;
  LoadCmdAllow();
  if (tables.clear) tables.clear();
  LoadLists(tables);
  LoadSmsRoutes(tables);
}

#include "VornAuth/auth_config.h"

#include "VornAuth/auth.h"
#include "server-core/config.h"
#include "server-core/log.h"
#include "platform/system.h"

void LoadAuthConfiguration() {
  CloseLog();
  SetLogFile("VornAuth", plat::kDefaultDataPath);  // where the lines about a missing data folder go
  SetDataPath(ReadDataPath());
  SetLogFile("VornAuth", Cfg.DataPath);
  WriteLog("%s", 11, "User dir", 0, Cfg.userDir.c_str());
  WriteLog("%s", 11, "Cookie dir", 0, Cfg.cookieDir.c_str());
  Cfg.Auth_Port = ReadIniInt("Main", "Auth_Port", "5190");
  WriteLog("%d", 11, "Auth port", 0, Cfg.Auth_Port);
  Cfg.BOS_Port = ReadIniInt("Main", "BOS_Port", "5191");
  WriteLog("%d", 11, "BOS port", 0, Cfg.BOS_Port);
  Cfg.BOS_IP = ReadIniString("Main", "BOS_IP", "127.0.0.1");
  WriteLog("%s", 11, "BOS IP", 0, Cfg.BOS_IP.c_str());
  int32_t queue = ReadIniInt("Main", "SendQueueMax", "4194304");
  Cfg.SendQueueMax = queue > 0 ? static_cast<uint64_t>(queue) : 4u << 20;
  WriteLog("%llu", 11, "SendQueueMax", 0, static_cast<unsigned long long>(Cfg.SendQueueMax));
  int32_t login = ReadIniInt("Main", "LoginTimeout", "60");
  Cfg.LoginTimeout = login > 0 ? static_cast<uint32_t>(login) : 60;
  WriteLog("%u", 11, "LoginTimeout", 0, Cfg.LoginTimeout);
  int32_t idle = ReadIniInt("Main", "Auth_IdleClose", "60");
  AnsweredIdleSeconds = idle > 0 ? static_cast<uint32_t>(idle) : 60;
  int16_t level = static_cast<int16_t>(ReadIniInt("Main", "LogLevel", "8"));
  WriteLog("%d", 11, "LogLevel", 0, static_cast<int>(level));
  LogLevel = level;
}

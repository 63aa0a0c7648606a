// Configuration shared by both servers: the data directory and the values of vorn.ini.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "server-core/addr_allow.h"

// Without a CmdAllow key only the loopback address 127.0.0.1 may send command frames.
AddrAllowList DefaultCmdAllow();

struct ServerConfig {
  std::string DataPath = "./";
  std::string userDir;
  std::string cookieDir;
  std::string olmDir;
  std::string iniFile;
  int32_t BOS_Port = 5191;
  std::string BOS_IP = "127.0.0.1";
  int32_t Auth_Port = 5190;
  uint32_t SendOnLine = 0;
  uint32_t SendAll = 0;
  bool isSendChat = false;
  std::string TemplateMsg = "Message from %%UIN%% %%NICK%% - %%FIRST%% %%LAST%%";
  uint32_t snacReqId = 0;
  // [Main] CmdAllow: the peers whose command frames VornBOS answers.
  AddrAllowList cmdAllow = DefaultCmdAllow();
};

// Written only by the configuration load, on the server thread.
extern ServerConfig Cfg;

// Longest value read from vorn.ini (the profile buffer holds 300 bytes).
constexpr size_t kIniValueSize = 300;

// Finds the data directory (the VORN_PATH setting) and logs where it could not be read.
std::string ReadDataPath();
// Sets DataPath and the directories and files derived from it.
void SetDataPath(const std::string& path);

std::string ReadIniString(const char* section, const char* key, const char* def);
int32_t ReadIniInt(const char* section, const char* key, const char* def);

// What the configuration load builds beside the plain values: the broadcast lists and
// the SMS routes. The server that owns those tables fills them in.
struct ConfigTables {
  std::function<void()> clear;
  std::function<void(uint32_t listNumber)> addSendList;
  std::function<void(const std::string& routeText)> addSmsRoute;
};

// The whole configuration load of the session server, with its log lines.
void LoadConfiguration(const ConfigTables& tables);

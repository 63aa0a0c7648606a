// VornAuth: the authorization server.
#include <cstdio>

#include "VornAuth/auth.h"
#include "platform/files.h"
#include "platform/service.h"
#include "platform/system.h"
#include "server-core/command_line.h"
#include "server-core/log.h"
#include "vorn_version.h"

namespace {

const ServerCommandNames kNames{"VornAuth", "Vorn (Authorization) v." VORN_VERSION " Tarn"};

}  // namespace

int main(int argc, char** argv) {
  int answered = AnswerServerCommandLine(kNames, argc, argv, stdout, stderr);
  if (answered >= 0) return answered;
  plat::RaiseFileLimit();
  plat::ServiceDefinition def;
  def.name = "VornAuth";
  def.printUsage = [] { std::fputs(ServerUsage(kNames).c_str(), stdout); };
  def.serverThread = AuthServerThread;
  def.onControl = AuthControl;
  def.onDispatcherFailed = [] {
    SetLogFile("VornAuth", plat::kDefaultDataPath);
    WriteLog("!StartServiceCtrlDispatcher( DispatchTable)", 11, "", 0);
  };
  return plat::RunService(def, argc, argv);
}

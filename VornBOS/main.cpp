// VornBOS: the session server.
#include <cstdio>

#include "VornBOS/server.h"
#include "platform/files.h"
#include "platform/service.h"
#include "platform/system.h"
#include "server-core/command_line.h"
#include "server-core/log.h"
#include "vorn_version.h"

namespace {

const ServerCommandNames kNames{"VornBOS", "Vorn (BOS) v." VORN_VERSION};

}  // namespace

int main(int argc, char** argv) {
  int answered = AnswerServerCommandLine(kNames, argc, argv, stdout, stderr);
  if (answered >= 0) return answered;
  plat::RaiseFileLimit();
  plat::ServiceDefinition def;
  def.name = "VornBOS";
  def.printUsage = [] { std::fputs(ServerUsage(kNames).c_str(), stdout); };
  def.serverThread = ServerThread;
  def.onControl = ServiceControl;
  def.onDispatcherFailed = [] {
    WriteLog("!StartServiceCtrlDispatcher( DispatchTable)", 11, "", 0);
  };
  return plat::RunService(def, argc, argv);
}

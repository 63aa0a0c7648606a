// VornBOS: the session server.
#include <cstdio>

#include "VornBOS/admin/admin.h"
#include "VornBOS/server.h"
#include "platform/files.h"
#include "platform/service.h"
#include "platform/system.h"
#include "server-core/log.h"

namespace {

void PrintUsage() {
  std::printf("Vorn (BOS) v.1.2.5\n\n");
  std::printf("Usage:\n\tVornBOS%s setup \t- install services\n", plat::kProgramSuffix);
  std::printf("\tVornBOS%s delete \t- remove services\n", plat::kProgramSuffix);
}

}  // namespace

int main(int argc, char** argv) {
  plat::RaiseFileLimit();
  SetLoopCompanion(StartAdmin, StopAdmin);
  plat::ServiceDefinition def;
  def.name = "VornBOS";
  def.printUsage = PrintUsage;
  def.serverThread = ServerThread;
  def.onControl = ServiceControl;
  def.onDispatcherFailed = [] {
    WriteLog("!StartServiceCtrlDispatcher( DispatchTable)", 11, "", 0);
  };
  return plat::RunService(def, argc, argv);
}

// VornAuth: the authorization server.
#include <cstdio>

#include "VornAuth/auth.h"
#include "platform/files.h"
#include "platform/service.h"
#include "platform/system.h"
#include "server-core/log.h"

namespace {

void PrintUsage() {
  std::printf("Vorn (Authorization) v.1.2.3 Tarn\n\n");
  std::printf("Usage:\n\tVornAuth%s setup \t- install services\n", plat::kProgramSuffix);
  std::printf("\tVornAuth%s delete \t- remove services\n", plat::kProgramSuffix);
}

}  // namespace

int main(int argc, char** argv) {
  plat::RaiseFileLimit();
  plat::ServiceDefinition def;
  def.name = "VornAuth";
  def.printUsage = PrintUsage;
  def.serverThread = AuthServerThread;
  def.onControl = AuthControl;
  def.onDispatcherFailed = [] {
    SetLogFile("VornAuth", plat::kDefaultDataPath);
    WriteLog("!StartServiceCtrlDispatcher( DispatchTable)", 11, "", 0);
  };
  return plat::RunService(def, argc, argv);
}

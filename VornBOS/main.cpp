// VornBOS: the session server.
#include <cstdio>

#include "VornBOS/server.h"
#include "platform/files.h"
#include "platform/service.h"

namespace {

void PrintUsage() {
  std::printf("Vorn (BOS) v.1.2.5\n\n");
  std::printf("Usage:\n\tVornBOS setup \t- install services\n");
  std::printf("\tVornBOS delete \t- remove services\n");
}

}  // namespace

int main(int argc, char** argv) {
  plat::RaiseFileLimit();
  plat::ServiceDefinition def;
  def.name = "VornBOS";
  def.printUsage = PrintUsage;
  def.serverThread = ServerThread;
  def.onControl = ServiceControl;
  return plat::RunService(def, argc, argv);
}

// VornAuth: the authorization server.
#include <cstdio>

#include "VornAuth/auth.h"
#include "platform/files.h"
#include "platform/service.h"

namespace {

void PrintUsage() {
  std::printf("Vorn (Authorization) v.1.2.3 Tarn\n\n");
  std::printf("Usage:\n\tVornAuth setup \t- install services\n");
  std::printf("\tVornAuth delete \t- remove services\n");
}

}  // namespace

int main(int argc, char** argv) {
  plat::RaiseFileLimit();
  plat::ServiceDefinition def;
  def.name = "VornAuth";
  def.printUsage = PrintUsage;
  def.serverThread = AuthServerThread;
  def.onControl = AuthControl;
  return plat::RunService(def, argc, argv);
}

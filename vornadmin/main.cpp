#include <iostream>

#include "platform/system.h"
#include "vornadmin/admin.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return vornadmin::RunAdmin(args, std::cin, std::cout, std::cerr, plat::StdinIsTerminal());
}

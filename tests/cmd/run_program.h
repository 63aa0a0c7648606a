// Runs a program with arguments and collects its standard output, standard error and exit code.
#pragma once
#include <string>
#include <vector>

namespace vorn::test {

struct ProgramResult {
  int exitCode = -1000;  // 0..255, or -1000 when it did not end normally
  std::string output;
  std::string errors;  // standard error
};

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args);

}  // namespace vorn::test

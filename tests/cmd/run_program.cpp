#include "tests/cmd/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vorn::test {

ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& args) {
  ProgramResult result;
  int pipeFds[2];
  int errFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  if (::pipe2(errFds, O_CLOEXEC) != 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return result;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFds[1], STDERR_FILENO);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  ::close(errFds[1]);
  if (rc == 0) {
    // Both pipes are drained together, so a full one never stalls the program.
    pollfd fds[2] = {{pipeFds[0], POLLIN, 0}, {errFds[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.output, &result.errors};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
      if (::poll(fds, 2, -1) < 0) break;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n > 0) sinks[i]->append(buf, static_cast<size_t>(n));
        else fds[i].fd = -1;
      }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  }
  ::close(pipeFds[0]);
  ::close(errFds[0]);
  return result;
}

}  // namespace vorn::test

// Running programs on POSIX: fork and exec, standard output and error through pipes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include "support/test_support.h"

namespace tarnix::test {

CommandResult Exec(const std::vector<std::string>& argv, int signal,
                   const std::function<bool(const std::string&)>& ready) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    dup2(open("/dev/null", O_RDONLY), 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  CommandResult result;
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.output, &result.errors};
  for (int open = 2; open > 0;) {
    poll(fds, 2, signal != 0 ? 2 : -1);
    if (signal != 0 && ready(result.output)) kill(pid, std::exchange(signal, 0));
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(std::exchange(fds[i].fd, -1));
        --open;
      }
    }
  }
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  result.peakKiB = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

CommandResult RunShell(const std::string& script) { return Exec({"/bin/sh", "-c", script}); }

}  // namespace tarnix::test

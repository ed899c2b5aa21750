// Running programs on POSIX: fork and exec, standard output through a pipe, standard error into
// a file.
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
  TempDir dir;
  const std::string errors = dir / "errors";
  int out[2];
  if (pipe(out) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    dup2(open("/dev/null", O_RDONLY), 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  CommandResult result;
  struct pollfd fd = {out[0], POLLIN, 0};
  for (ssize_t n = 1; n > 0;) {
    poll(&fd, 1, signal != 0 ? 2 : -1);  // with a signal to send, `ready` is asked every 2 ms
    if (signal != 0 && ready(result.output)) kill(pid, std::exchange(signal, 0));
    char buf[65536];
    if (fd.revents != 0 && (n = read(out[0], buf, sizeof buf)) > 0)
      result.output.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  result.peakKiB = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.errors = ReadFile(errors);
  return result;
}

CommandResult RunShell(const std::string& script) { return Exec({"/bin/sh", "-c", script}); }

}  // namespace tarnix::test

// Running commands on POSIX: fork and exec, standard output through a pipe.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "support/test_support.h"

namespace tarnix::test {

namespace fs = std::filesystem;

namespace {

std::string Drain(int fd) {
  std::string text;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  return text;
}

}  // namespace

CommandResult Run(const std::vector<std::string>& argv) {
  std::string errPath = (fs::temp_directory_path() / "tarnix-stderr-XXXXXX").string();
  int errFd = mkstemp(errPath.data());
  int pipeFd[2];
  if (errFd < 0 || pipe(pipeFd) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFd[1], 1);
    dup2(errFd, 2);
    close(pipeFd[0]);
    close(pipeFd[1]);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(pipeFd[1]);
  CommandResult result;
  result.output = Drain(pipeFd[0]);
  close(pipeFd[0]);
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  result.peakKiB = usage.ru_maxrss;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  close(errFd);
  result.errors = ReadFile(errPath);
  unlink(errPath.c_str());
  return result;
}

CommandResult RunShell(const std::string& script) { return Run({"/bin/sh", "-c", script}); }

}  // namespace tarnix::test

#include "support/test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tarnix::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "tarnix-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  chmod(pattern.c_str(), 0755);  // other users' test runs must reach it
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions that a test took away so everything can be removed.
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) chmod(it->path().c_str(), 0755);
  }
  fs::remove_all(path_, ec);
}

void MakeDirs(const std::string& path) { fs::create_directories(path); }

void WriteFile(const std::string& path, const std::string& content) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string RandomBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x >> 24);
  }
  return out;
}

int64_t ModifiedTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

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
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  close(errFd);
  result.errors = ReadFile(errPath);
  unlink(errPath.c_str());
  return result;
}

CommandResult RunShell(const std::string& script) { return Run({"/bin/sh", "-c", script}); }

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

}  // namespace tarnix::test

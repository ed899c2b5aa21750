// Running commands on Windows: CreateProcess with standard output and error through pipes.
#define NOMINMAX
#include <windows.h>

#include <stdexcept>
#include <thread>

#include "support/test_support.h"

namespace tarnix::test {

namespace {

// Quotes one argument the way the C runtime splits a command line.
std::string QuoteArgument(const std::string& arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string Drain(HANDLE pipe) {
  std::string text;
  char buf[65536];
  DWORD n = 0;
  while (::ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0) text.append(buf, n);
  return text;
}

// Text-mode output ends its lines in CR LF; tests compare with LF.
std::string NormaliseLineEnds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

}  // namespace

CommandResult Run(const std::vector<std::string>& argv, int,
                  const std::function<bool(const std::string&)>&) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE outRead, outWrite, errRead, errWrite;
  if (!CreatePipe(&outRead, &outWrite, &inherit, 0) || !CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    throw std::runtime_error("CreatePipe failed");
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  std::string commandLine;
  for (const std::string& a : argv) commandLine += (commandLine.empty() ? "" : " ") + QuoteArgument(a);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    throw std::runtime_error("cannot start " + argv[0]);
  }
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  CommandResult result;
  std::thread errors([&] { result.errors = Drain(errRead); });
  result.output = Drain(outRead);
  errors.join();
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  result.status = static_cast<int>(code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(outRead);
  CloseHandle(errRead);
  result.output = NormaliseLineEnds(result.output);
  result.errors = NormaliseLineEnds(result.errors);
  return result;
}

}  // namespace tarnix::test

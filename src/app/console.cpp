#include "app/console.h"

#include "platform/platform.h"

namespace tarnix {

void Console::write(const std::string& text) {
  if (text.empty()) return;
  if (capture_ != nullptr) {
    capture_->append(text);
  } else if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() && writeError_ == 0) {
    writeError_ = platform::LastErrorNumber();
  }
  if (text[0] == '\r') progressOpen_ = true;
  if (text.back() == '\n') progressOpen_ = false;
}

void Console::endLine() {
  write("\n");
  flush();
}

void Console::flush() {
  if (file_ != nullptr && std::fflush(file_) != 0 && writeError_ == 0) {
    writeError_ = platform::LastErrorNumber();
  }
}

Status Console::status(const std::string& name) const {
  if (writeError_ == 0) return Status();
  return platform::SystemError(name, writeError_).prefixed("cannot write ");
}

}  // namespace tarnix

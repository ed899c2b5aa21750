#include "app/console.h"

#include "platform/platform.h"

namespace tarnix {

void Console::write(const std::string& text) {
  if (text.empty()) return;
  // A write that fails shows when the stream is flushed.
  if (capture_ != nullptr) {
    capture_->append(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), file_);
  }
  if (text[0] == '\r') progressOpen_ = true;
  if (text.back() == '\n') progressOpen_ = false;
}

void Console::endLine() {
  write("\n");
  if (flushEachLine_) flush();
}

void Console::flush() {
  if (file_ == nullptr || writeError_ != 0) return;
  if (std::fflush(file_) != 0 || std::ferror(file_)) writeError_ = platform::LastErrorNumber();
}

Status Console::status(const std::string& name) const {
  if (writeError_ == 0) return Status();
  return platform::SystemError(name, writeError_).prefixed("cannot write ");
}

}  // namespace tarnix

#include "io/console.h"

namespace tarnix {

void Console::write(const std::string& text) {
  if (text.empty()) return;
  if (capture_ != nullptr) {
    capture_->append(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), file_);
  }
  lineOpen_ = text.back() != '\n';
}

void Console::endLine() {
  write("\n");
  flush();
}

void Console::flush() {
  if (file_ != nullptr) std::fflush(file_);
}

}  // namespace tarnix

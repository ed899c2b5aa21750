#include "app/console.h"

#include <algorithm>

#include "pack/entry_names.h"
#include "platform/platform.h"

namespace tarnix {

void Console::write(const std::string& text) {
  if (text.empty()) return;
  const bool redraw = text[0] == '\r';
  put((redraw ? "\r" : "") + EscapeControls(redraw ? text.substr(1) : text));
  if (redraw) progressOpen_ = true;
}

void Console::block(const std::string& text) { put(text); }

void Console::put(const std::string& text) {
  // A write that fails shows when the stream is flushed.
  if (capture_ != nullptr) {
    capture_->append(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), file_);
  }
}

void Console::endLine() {
  put("\n");
  progressOpen_ = false;
  if (flushEachLine_) flush();
}

void Console::flush() {
  if (file_ == nullptr || writeError_ != 0) return;
  std::fflush(file_);  // a failure sets the error indicator, as a failed write before it did
  if (std::ferror(file_)) writeError_ = platform::LastErrorNumber();
}

Status Console::status(const std::string& name) const {
  if (writeError_ == 0) return Status();
  return platform::SystemError(name, writeError_).prefixed("cannot write ");
}

namespace {

// Above this many entries the bar is drawn 100 characters wide, so that reprinting it once per
// entry does not grow the output with the square of the entry count.
constexpr size_t MaxBarWidth = 100;

}  // namespace

void ProgressBar::show(size_t k, size_t n) {
  std::string line = "\r";
  line += compressed_ ? "Writing compressed " : "Writing ";
  line += path_;
  line += " [";
  const size_t width = std::min(n, MaxBarWidth);
  const size_t dots = (k + 1) * width / n;
  line += std::string(dots, '.') + std::string(width - dots, ' ');
  line += "] ";
  // Single precision, truncated: 53 of 100 shows 52.
  float fraction = static_cast<float>(k + 1) / static_cast<float>(n);
  line += std::to_string(static_cast<int>(fraction * 100.0f));
  line += "%";
  if (line == shown_) return;
  console_.write(line);
  console_.flush();
  shown_ = std::move(line);
}

void ProgressBar::done() {
  console_.write(" Done");
  console_.endLine();
  console_.flush();
}

}  // namespace tarnix

// Where the tool's text goes: standard output in the program, a string in tests.
#pragma once

#include <cstdio>
#include <string>

namespace tarnix {

class Console {
 public:
  explicit Console(std::FILE* file) : file_(file) {}
  explicit Console(std::string* capture) : capture_(capture) {}

  // Text with no line end; it stays on screen until the line is ended.
  void write(const std::string& text);
  // A newline followed by a flush.
  void endLine();
  void line(const std::string& text) {
    write(text);
    endLine();
  }
  // Ends the current line if text was written since the last line end, so that a message
  // does not land at the end of a progress line.
  void finishOpenLine() {
    if (lineOpen_) endLine();
  }
  void flush();

 private:
  std::FILE* file_ = nullptr;
  std::string* capture_ = nullptr;
  bool lineOpen_ = false;
};

}  // namespace tarnix

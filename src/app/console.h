// Where the programs' text goes: standard output or error in the program, a string in tests.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "base/status.h"

namespace tarnix {

class Console {
 public:
  // With `flushEachLine` false, lines wait in the stream's buffer (for a log or a pipe, where
  // nobody watches them come); a progress line is flushed either way.
  explicit Console(std::FILE* file, bool flushEachLine = true)
      : file_(file), flushEachLine_(flushEachLine) {}
  explicit Console(std::string* capture) : capture_(capture) {}

  // Text with no line end; it stays on screen until the line is ended. Control characters in
  // it are shown escaped ("\n", "\x1b"), so that no name can end a line, forge one or steer a
  // terminal; only a carriage return that begins a progress redraw passes.
  void write(const std::string& text);
  // A newline, followed by a flush unless lines may wait.
  void endLine();
  void line(const std::string& text) {
    write(text);
    endLine();
  }
  // Text of several lines that the program made itself (usage, JSON), as it stands; not for
  // use while a progress line is open.
  void block(const std::string& text);
  // Ends a progress line (one drawn from a carriage return), so that a message does not land
  // at its end; any other open line is left for the message to complete.
  void endProgressLine() {
    if (progressOpen_) endLine();
  }
  void flush();
  // The first failure to write, naming the stream by `name`.
  Status status(const std::string& name) const;

 private:
  void put(const std::string& text);

  std::FILE* file_ = nullptr;
  std::string* capture_ = nullptr;
  bool flushEachLine_ = true;
  bool progressOpen_ = false;
  int writeError_ = 0;
};

// The writer's progress as the program draws it: "\rWriting compressed <path> [...   ] 52%",
// then " Done" once the pack is in place. Redrawn only when its text changes, so that a log of a
// large tree holds a few hundred redraws rather than one per entry.
class ProgressBar {
 public:
  ProgressBar(Console& console, std::string path, bool compressed)
      : console_(console), path_(std::move(path)), compressed_(compressed) {}
  // Entry `entry` of `count` starts to go out.
  void show(size_t entry, size_t count);
  void done();

 private:
  Console& console_;
  const std::string path_;
  const bool compressed_;
  std::string shown_;
};

}  // namespace tarnix

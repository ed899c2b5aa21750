// The result of an operation that can fail: ok, or a message that names the file and the
// reason. Built where the failure happens (at the system call, with the path), carried up
// unchanged, and printed only by the program's driver.
#pragma once

#include <string>
#include <utility>

namespace tarnix {

class [[nodiscard]] Status {
 public:
  Status() = default;  // ok

  static Status Error(std::string message, int errorNumber = 0) {
    Status s;
    s.failed_ = true;
    s.message_ = std::move(message);
    s.errorNumber_ = errorNumber;
    return s;
  }

  bool ok() const { return !failed_; }
  const std::string& message() const { return message_; }
  // The system's error number when the failure came from the system, else 0.
  int errorNumber() const { return errorNumber_; }

  // The same failure with words in front: "Failed to open " + "a.txt: No such file".
  Status prefixed(const std::string& words) const {
    return failed_ ? Error(words + message_, errorNumber_) : *this;
  }

 private:
  bool failed_ = false;
  std::string message_;
  int errorNumber_ = 0;
};

}  // namespace tarnix

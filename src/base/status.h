// The result of an operation that can fail: ok, or a code to act on and a message that names
// the file and the reason. Built where the failure happens (at the system call, with the path),
// carried up unchanged, and printed only by the program's driver. Every layer speaks it; the
// interfaces that promise a bool and a text build theirs from one of these.
#pragma once

#include <string>
#include <utility>

namespace tarnix {

// The library's ErrorCode has one code for each of these, converted in one place.
enum class StatusCode {
  Ok,
  NotOpen,      // nothing is open to act on
  NotFound,     // no such file, folder or entry
  OutOfRange,   // a range or position past the end of what it names
  Damaged,      // stored bytes break the format's rules
  Io,           // the system could not read or write
  Refused,      // a request the format or the tool will not carry out (a name, a size, a target)
  OutOfMemory,  // an allocation failed, or a codec's state could not be had
};

class [[nodiscard]] Status {
 public:
  Status() = default;  // ok

  static Status Error(StatusCode code, std::string message, int errorNumber = 0) {
    Status s;
    s.code_ = code == StatusCode::Ok ? StatusCode::Io : code;  // a failure is never ok
    s.message_ = std::move(message);
    s.errorNumber_ = errorNumber;
    return s;
  }
  static Status Damaged(std::string message) {
    return Error(StatusCode::Damaged, std::move(message));
  }
  static Status Refused(std::string message) {
    return Error(StatusCode::Refused, std::move(message));
  }
  static Status Io(std::string message, int errorNumber = 0) {
    return Error(StatusCode::Io, std::move(message), errorNumber);
  }
  static Status NotOpen(std::string message) {
    return Error(StatusCode::NotOpen, std::move(message));
  }
  static Status NotFound(std::string message) {
    return Error(StatusCode::NotFound, std::move(message));
  }
  static Status OutOfRange(std::string message) {
    return Error(StatusCode::OutOfRange, std::move(message));
  }
  static Status OutOfMemory(std::string message) {
    return Error(StatusCode::OutOfMemory, std::move(message));
  }

  bool ok() const { return code_ == StatusCode::Ok; }
  StatusCode code() const { return code_; }
  const std::string& message() const { return message_; }
  // The system's error number when the failure came from the system, else 0.
  int errorNumber() const { return errorNumber_; }

  // The same failure with words in front: "Failed to open " + "a.txt: No such file".
  Status prefixed(const std::string& words) const {
    return ok() ? *this : Error(code_, words + message_, errorNumber_);
  }

 private:
  StatusCode code_ = StatusCode::Ok;
  std::string message_;
  int errorNumber_ = 0;
};

}  // namespace tarnix

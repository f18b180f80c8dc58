// The exception classes that every layer shares.
//
// `Exception` is the root of all errors the system raises; `EDatabaseError` is the
// record-set framework's database error, which engine errors derive from so that code
// handling database errors in general also handles engine errors; `EConvertError` is the
// run-time conversion error raised by the text forms of dates, times, booleans and numbers.
// These classes carry a message only; they hold no locks and are safe to copy anywhere.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace veldor {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }

  std::string Message;
};

class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace veldor

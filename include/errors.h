// The exceptions the service raises where a component cannot go on: faults
// of the configuration and failed system calls. service_main turns each into
// the service's exit code.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace ostrel {

// An exception carrying one message. Each tag makes a type of its own, so
// config::error and win32::error share nothing but std::exception and a
// handler for one never catches the other.
template <typename Tag>
class message_error : public std::exception {
 public:
  explicit message_error(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

namespace config {
// Raised for configuration faults; the reader's reads catch only this one.
using error = message_error<struct config_error_tag>;
}  // namespace config

namespace win32 {
// Raised for failed system calls that the caller cannot recover from.
using error = message_error<struct win32_error_tag>;
}  // namespace win32

}  // namespace ostrel

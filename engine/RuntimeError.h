#pragma once

#include <stdexcept>

namespace quillsum {

// A numbered run-time error: 5 "Invalid procedure call or argument", 6 "Overflow",
// 9 "Subscript out of range". what() is the message.
class RuntimeError : public std::runtime_error {
public:
  explicit RuntimeError(int number) : std::runtime_error(MessageOf(number)), number_(number) {}

  int Number() const noexcept { return number_; }

private:
  static const char *MessageOf(int number) noexcept {
    switch (number) {
    case 5:
      return "Invalid procedure call or argument";
    case 6:
      return "Overflow";
    case 9:
      return "Subscript out of range";
    default:
      return "Application-defined or object-defined error";
    }
  }

  int number_;
};

} // namespace quillsum

// The socket layer's one exception type: a fixed message text, nothing else.
#pragma once

#include <exception>

// Operations raise this with a string literal and catch only this type, so any
// other exception passes through them untouched.
class TextException final : public std::exception {
 public:
  explicit TextException(const char* message) noexcept : message_(message) {}
  const char* what() const noexcept override { return message_; }

 private:
  const char* message_;
};

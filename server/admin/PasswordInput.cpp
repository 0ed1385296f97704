// Reads a new password for the staff commands, from standard input or from the terminal.
#include "admin/PasswordInput.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <stdexcept>

#include "RetryOnEintr.h"
#include "UniqueFd.h"

namespace {

void StripLineEnd(std::string& line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
}

// Echo is off while the object lives, and back as it was afterwards.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    on_ = ::tcgetattr(fd_, &saved_) == 0;
    if (!on_) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    ::tcsetattr(fd_, TCSAFLUSH, &quiet);
  }
  ~EchoOff() {
    if (on_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool on_ = false;
};

std::string ReadTerminalLine(int fd, const std::string& prompt) {
  if (::write(fd, prompt.data(), prompt.size()) < 0) throw std::runtime_error("cannot prompt");
  const EchoOff quiet(fd);
  std::string line;
  char c = 0;
  for (;;) {
    const ssize_t got = RetryOnEintr([&] { return ::read(fd, &c, 1); });
    if (got <= 0) throw std::runtime_error("no password typed");
    if (c == '\n') break;
    line.push_back(c);
  }
  StripLineEnd(line);
  return line;
}

std::string ReadFromTerminal() {
  const UniqueFd terminal(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!terminal.Valid()) {
    throw std::runtime_error("no terminal to read the password from; use --password-stdin");
  }
  const std::string first = ReadTerminalLine(terminal.Get(), "New password: ");
  const std::string second = ReadTerminalLine(terminal.Get(), "Repeat the new password: ");
  if (first != second) throw std::runtime_error("the two passwords differ; nothing changed");
  return first;
}

void CheckPassword(const std::string& password) {
  if (password.empty()) throw std::runtime_error("an empty password is not allowed");
  for (const char c : password) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) {
      throw std::runtime_error("the password holds a control character");
    }
  }
}

}  // namespace

std::string ReadNewPassword(bool from_stdin) {
  std::string password;
  if (from_stdin) {
    std::getline(std::cin, password);
    StripLineEnd(password);
  } else {
    password = ReadFromTerminal();
  }
  CheckPassword(password);
  return password;
}

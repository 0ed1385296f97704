// The error every storage failure of the servers is reported with.
#pragma once

#include <stdexcept>
#include <string>

class DatabaseError : public std::runtime_error {
 public:
  explicit DatabaseError(const std::string& message) : std::runtime_error(message) {}
};

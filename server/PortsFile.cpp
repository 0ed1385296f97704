// The file in which hospd tells scripts and tests which ports it listens on.
#include "PortsFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

void WritePortsFile(const std::string& path, int data_port, int function_port) {
  const std::string temp = path + ".tmp." + std::to_string(::getpid());
  std::FILE* file = std::fopen(temp.c_str(), "w");
  if (file == nullptr) {
    throw std::runtime_error("cannot write " + temp + ": " + std::strerror(errno));
  }
  const int written =
      std::fprintf(file, "data_port=%d\nfunction_port=%d\n", data_port, function_port);
  const bool closed = std::fclose(file) == 0;
  if (written < 0 || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    std::remove(temp.c_str());
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
  }
}

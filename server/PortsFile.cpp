// The file in which hospd tells scripts and tests which ports it listens on.
#include "PortsFile.h"

#include <cstring>
#include <stdexcept>

#include "FileIO.h"

void WritePortsFile(const std::string& path, int data_port, int function_port, int metrics_port) {
  std::string text = "data_port=" + std::to_string(data_port) +
                     "\nfunction_port=" + std::to_string(function_port) + "\n";
  if (metrics_port != 0) text += "metrics_port=" + std::to_string(metrics_port) + "\n";
  FileWriteFailure failure;
  // 0666 narrowed by the umask: the mode fopen() gives a new file.
  if (!WriteFileAtomically(path, text, FileMode{0666, false}, failure)) {
    // A temporary file that cannot be made is named; any later failure names the file itself.
    const bool creating = failure.step == FileWriteFailure::Step::Create;
    throw std::runtime_error("cannot write " + (creating ? failure.path : path) + ": " +
                             std::strerror(failure.error));
  }
}

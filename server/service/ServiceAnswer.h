// What a service hands back for one request: the answer text and, for a refused or failed
// request, the reason to log.
#pragma once

#include <string>

struct ServiceAnswer {
  std::string text;     // sent followed by one NUL byte
  std::string failure;  // empty when the request was served
};

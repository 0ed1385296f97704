// Gives every test program the environment it expects, whether started by ctest or by hand.
#include <cstdlib>

namespace {

// Runs before main(). Values already set by the caller win.
const bool environment_ready = [] {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("HOSP_BUILD_DIR", HOSP_TEST_BUILD_DIR, 0);
  setenv("HOSP_SOURCE_DIR", HOSP_TEST_SOURCE_DIR, 0);
  return true;
}();

}  // namespace

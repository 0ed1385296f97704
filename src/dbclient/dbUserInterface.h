// The few places where the server connection must reach the user or the window system.
#pragma once

#include <string>

// A progress display with a maximum and a position; the application gives a real bar.
class dbProgressBar {
 public:
  virtual ~dbProgressBar() = default;
  virtual void SetMax(int maximum) = 0;
  virtual void SetPosition(int position) = 0;
};

// Filled in by the application (and by tests with recorders). Unset hooks do nothing.
struct dbUserInterface {
  // A modal message box with an OK button and no icon.
  static void (*ShowMessage)(const std::string& text, const std::string& caption);
  // Lets the user interface handle its pending events once.
  static void (*ProcessEvents)();

  // Call the hooks above when they are set.
  static void Message(const std::string& text, const std::string& caption);
  static void HandleEvents();

  // The program is closing: every wait on a server ends at once, and no connection sends
  // or connects any more. Lasts for the rest of the run.
  static void CancelWaits();
  static bool WaitsCancelled();
  // Lets waits run again (tests run one program after another in one process).
  static void ResetWaits();

 private:
  static bool cancelled_;
};

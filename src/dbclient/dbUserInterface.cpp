// The few places where the server connection must reach the user or the window system.
#include "dbUserInterface.h"

void (*dbUserInterface::ShowMessage)(const std::string& text, const std::string& caption) = nullptr;
void (*dbUserInterface::ProcessEvents)() = nullptr;
bool dbUserInterface::cancelled_ = false;

void dbUserInterface::Message(const std::string& text, const std::string& caption) {
  if (ShowMessage != nullptr) ShowMessage(text, caption);
}

void dbUserInterface::HandleEvents() {
  if (ProcessEvents != nullptr) ProcessEvents();
}

void dbUserInterface::CancelWaits() { cancelled_ = true; }

bool dbUserInterface::WaitsCancelled() { return cancelled_; }

void dbUserInterface::ResetWaits() { cancelled_ = false; }

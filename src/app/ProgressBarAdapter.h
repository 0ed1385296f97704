// Lets the server connection drive a QProgressBar during a download.
#pragma once

#include "dbUserInterface.h"

class QProgressBar;

class ProgressBarAdapter : public dbProgressBar {
 public:
  // The bar is not owned; it must outlive the adapter.
  explicit ProgressBarAdapter(QProgressBar* bar);

  void SetMax(int maximum) override;
  void SetPosition(int position) override;

 private:
  QProgressBar* bar_;
};

// Lets the server connection drive a QProgressBar during a download.
#include "ProgressBarAdapter.h"

#include <QProgressBar>

ProgressBarAdapter::ProgressBarAdapter(QProgressBar* bar) : bar_(bar) {}

void ProgressBarAdapter::SetMax(int maximum) { bar_->setMaximum(maximum); }

void ProgressBarAdapter::SetPosition(int position) { bar_->setValue(position); }

// Tells when the application has had no keyboard or mouse input for a given time.
#include "IdleWatch.h"

#include <algorithm>
#include <utility>

#include <QCoreApplication>
#include <QEvent>

#include "RequestInFlight.h"

namespace {

// How often a request in flight is looked at again.
constexpr std::chrono::milliseconds kBusyRecheck(500);

bool IsInput(QEvent::Type type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
      return true;
    default:
      return false;
  }
}

}  // namespace

IdleWatch::IdleWatch(QObject* parent) : QObject(parent) {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, &IdleWatch::Check);
}

IdleWatch::~IdleWatch() { Stop(); }

void IdleWatch::Start(std::chrono::milliseconds limit, std::function<void()> idle) {
  Stop();
  limit_ = limit;
  idle_ = std::move(idle);
  since_input_.start();
  // Input is only noted here; the timer is set again when it runs out, not on every event.
  QCoreApplication::instance()->installEventFilter(this);
  timer_.start(limit_);
}

void IdleWatch::Stop() {
  timer_.stop();
  if (QCoreApplication::instance() != nullptr) {
    QCoreApplication::instance()->removeEventFilter(this);
  }
}

bool IdleWatch::eventFilter(QObject* /*watched*/, QEvent* event) {
  if (IsInput(event->type())) since_input_.restart();
  return false;
}

void IdleWatch::Check() {
  if (RequestInFlight::Active()) {
    since_input_.restart();
    timer_.start(std::min(limit_, kBusyRecheck));
    return;
  }
  const std::chrono::milliseconds left = limit_ - std::chrono::milliseconds(since_input_.elapsed());
  if (left.count() > 0) {
    timer_.start(left);
    return;
  }
  Stop();
  if (idle_) idle_();
}

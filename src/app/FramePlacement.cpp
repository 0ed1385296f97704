// Sizes and centres a window by its outer frame, which the window manager gives it late.
#include "FramePlacement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>

namespace {

QMargins FrameMargins(const QWidget& window) {
  const QRect frame = window.frameGeometry();
  const QRect client = window.geometry();
  return QMargins(client.left() - frame.left(), client.top() - frame.top(),
                  frame.right() - client.right(), frame.bottom() - client.bottom());
}

QSize Extra(const QMargins& margins) {
  return QSize(margins.left() + margins.right(), margins.top() + margins.bottom());
}

}  // namespace

FramePlacement::FramePlacement(QWidget* window, QSize outer)
    : QObject(window), window_(window), outer_(outer) {
  Place(FrameMargins(*window_));
  window_->installEventFilter(this);
}

bool FramePlacement::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (watched == window_ && !placing_ &&
      (type == QEvent::Show || type == QEvent::Move || type == QEvent::Resize)) {
    Update();
  }
  return QObject::eventFilter(watched, event);
}

// The frame arrives with a move or resize of the window. Placing by it happens once: later
// the physician may move or resize the window, and it stays where she put it.
void FramePlacement::Update() {
  const QMargins margins = FrameMargins(*window_);
  if (margins == placed_for_) return;
  if (window_->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) return;
  Place(margins);
  if (!margins.isNull()) window_->removeEventFilter(this);
}

// `move` places a window's frame, so the frame's top-left corner is what gets centred.
void FramePlacement::Place(const QMargins& margins) {
  placing_ = true;
  placed_for_ = margins;
  const QSize client = outer_.isValid() ? outer_ - Extra(margins) : window_->size();
  if (outer_.isValid()) window_->resize(client);
  const QScreen* screen = window_->screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen != nullptr) {
    const QRect desktop = screen->availableGeometry();
    const QSize outer = client + Extra(margins);
    window_->move(desktop.x() + (desktop.width() - outer.width()) / 2,
                  desktop.y() + (desktop.height() - outer.height()) / 2);
  }
  placing_ = false;
}

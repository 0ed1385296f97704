// Sizes and centres a window by its outer frame, which the window manager gives it late.
#pragma once

#include <QMargins>
#include <QObject>
#include <QSize>

class QWidget;

// A window manager tells a window its frame only after the window has been mapped, well
// after the first show event. Until the frame is known the window is placed as if it had
// none; once its frame margins are known it is placed again, once, by the outer frame.
// Without a window manager (or offscreen) the margins never change and nothing moves.
class FramePlacement : public QObject {
  Q_OBJECT
 public:
  // Watches `window`, which owns this object. With a valid `outer` size the window is
  // sized so that its frame has that size; otherwise it keeps its own size.
  explicit FramePlacement(QWidget* window, QSize outer = QSize());

  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Update();
  void Place(const QMargins& margins);

  QWidget* window_;
  QSize outer_;
  QMargins placed_for_;  // the frame margins of the last placement
  bool placing_ = false;
};

// Tells when the application has had no keyboard or mouse input for a given time.
#pragma once

#include <chrono>
#include <functional>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class IdleWatch : public QObject {
  Q_OBJECT
 public:
  explicit IdleWatch(QObject* parent = nullptr);
  ~IdleWatch() override;

  // Calls `idle` once, when `limit` has passed without input to any window of the
  // application. A request in flight counts as input: the time runs from its end.
  void Start(std::chrono::milliseconds limit, std::function<void()> idle);
  // Forgets the watch; `idle` is not called.
  void Stop();

  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Check();

  QTimer timer_;
  QElapsedTimer since_input_;
  std::chrono::milliseconds limit_{0};
  std::function<void()> idle_;
};

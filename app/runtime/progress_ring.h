// A busy indicator: a spinning arc. While IsActive holds it is shown and spins (the
// animation runs only while it is on screen); inactive, it is hidden. It starts inactive;
// a form that wants it running sets IsActive in its markup (<property name="IsActive"
// stdset="0"><bool>true</bool></property> on a promoted QWidget, header
// "app/runtime/progress_ring.h").
#pragma once

#include <QTimer>
#include <QWidget>

namespace app_runtime {

class ProgressRing : public QWidget {
  Q_OBJECT
  Q_PROPERTY(bool IsActive READ IsActive WRITE SetIsActive)

 public:
  explicit ProgressRing(QWidget* parent = nullptr);

  bool IsActive() const { return active_; }
  void SetIsActive(bool active);
  // The animation is running: active and on screen.
  bool IsSpinning() const { return timer_.isActive(); }

  QSize sizeHint() const override { return {16, 16}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void Step();

  bool active_ = false;
  int angle_ = 0;  // degrees
  QTimer timer_;
};

}  // namespace app_runtime

#include "app/runtime/progress_ring.h"

#include <QPainter>
#include <QPen>

namespace app_runtime {

namespace {

constexpr int kFrameMs = 33;
constexpr int kDegreesPerFrame = 12;
constexpr int kArcDegrees = 100;

}  // namespace

ProgressRing::ProgressRing(QWidget* parent) : QWidget(parent) {
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  timer_.setInterval(kFrameMs);
  connect(&timer_, &QTimer::timeout, this, &ProgressRing::Step);
  setVisible(false);
}

void ProgressRing::SetIsActive(bool active) {
  active_ = active;
  setVisible(active);
  // Shown through a hidden parent or not: showEvent and hideEvent start and stop the
  // animation as the ring comes on and off screen.
  if (!active) timer_.stop();
}

void ProgressRing::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (active_) timer_.start();
}

void ProgressRing::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  timer_.stop();
}

void ProgressRing::Step() {
  angle_ = (angle_ + kDegreesPerFrame) % 360;
  update();
}

void ProgressRing::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const int side = qMin(width(), height());
  const qreal pen = qMax<qreal>(2.0, side / 8.0);
  const QRectF ring((width() - side) / 2.0 + pen / 2, (height() - side) / 2.0 + pen / 2, side - pen, side - pen);
  QPen arc(palette().color(QPalette::Highlight), pen);
  arc.setCapStyle(Qt::RoundCap);
  painter.setPen(arc);
  // Qt measures angles anticlockwise in 1/16 degree; the arc turns clockwise.
  painter.drawArc(ring, -angle_ * 16, kArcDegrees * 16);
}

}  // namespace app_runtime

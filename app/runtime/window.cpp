#include "app/runtime/window.h"

#include <QApplication>
#include <QMouseEvent>
#include <QSizeGrip>
#include <QStyle>
#include <QVBoxLayout>
#include <QWindow>

#include "app/runtime/errors.h"

namespace app_runtime {

void CoreApplicationViewTitleBar::SetExtendViewIntoTitleBar(bool extend) {
  if (extend == extend_) return;
  extend_ = extend;
  emit ExtendViewIntoTitleBarChanged(extend);
}

void CoreApplicationViewTitleBar::SetSystemOverlayInsets(int left, int right) {
  if (left == leftInset_ && right == rightInset_) return;
  leftInset_ = left;
  rightInset_ = right;
  emit LayoutMetricsChanged();
}

namespace {

QPointer<Window>& CurrentWindow() {
  static QPointer<Window> window;
  return window;
}

// Widgets must go before the application does; this runs as it is destroyed.
void DeleteCurrentWindow() {
  delete CurrentWindow().data();
}

}  // namespace

Window& Window::Current() {
  QPointer<Window>& current = CurrentWindow();
  if (!current) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
      throw hresult_error(E_ILLEGAL_METHOD_CALL, QStringLiteral("The app's window needs a QApplication"));
    }
    static const bool cleanupAdded = [] {
      qAddPostRoutine(DeleteCurrentWindow);
      return true;
    }();
    (void)cleanupAdded;
    current = new Window();
  }
  return *current;
}

void Window::ResetCurrentForTesting() {
  delete CurrentWindow().data();
}

Window::Window()
    : QWidget(nullptr),
      layout_(new QVBoxLayout(this)),
      sizeGrip_(new QSizeGrip(this)),
      coreTitleBar_(std::make_shared<CoreApplicationViewTitleBar>()) {
  setObjectName(QStringLiteral("Window"));
  layout_->setContentsMargins(0, 0, 0, 0);
  layout_->setSpacing(0);
  sizeGrip_->resize(sizeGrip_->sizeHint());
  ApplyFrame(coreTitleBar_->ExtendViewIntoTitleBar());
  connect(coreTitleBar_.get(), &CoreApplicationViewTitleBar::ExtendViewIntoTitleBarChanged, this, &Window::ApplyFrame);
}

Window::~Window() = default;

void Window::ApplyFrame(bool frameless) {
  // Changing the flags of a shown window hides it.
  const bool shown = isVisible();
  setWindowFlag(Qt::FramelessWindowHint, frameless);
  if (shown) show();
}

void Window::SetContent(QWidget* content) {
  if (content == content_) return;
  if (QWidget* old = content_) {
    layout_->removeWidget(old);
    old->hide();
    old->deleteLater();
  }
  content_ = content;
  if (content) {
    layout_->addWidget(content);
    content->show();
  }
  sizeGrip_->raise();
}

void Window::Activate() {
  if (!activated_) {
    activated_ = true;
    switch (launchMode_) {
      case ApplicationViewWindowingMode::PreferredLaunchViewSize:
        resize(launchSize_.expandedTo(minimumSize()));
        break;
      case ApplicationViewWindowingMode::FullScreen:
        setWindowState(windowState() | Qt::WindowFullScreen);
        break;
      case ApplicationViewWindowingMode::Auto:
        adjustSize();
        break;
    }
  }
  if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void Window::SetTitleBar(QWidget* area) {
  if (area == titleBar_) return;
  if (titleBar_) titleBar_->removeEventFilter(this);
  dragging_ = false;
  titleBar_ = area;
  if (area) area->installEventFilter(this);
}

void Window::SetPreferredMinSize(const QSize& size) {
  setMinimumSize(size);
}

bool Window::eventFilter(QObject* watched, QEvent* event) {
  if (!titleBar_ || watched != titleBar_.data()) return QWidget::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton) break;
      QWindow* handle = windowHandle();
      if (!(handle && handle->startSystemMove()) && !isMaximized() && !isFullScreen()) {
        dragging_ = true;
        dragOffset_ = mouse->globalPosition().toPoint() - pos();
      }
      emit TitleBarDragStarted();
      return true;
    }
    case QEvent::MouseMove: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (!dragging_) break;
      if (!(mouse->buttons() & Qt::LeftButton)) {
        dragging_ = false;
        break;
      }
      move(mouse->globalPosition().toPoint() - dragOffset_);
      return true;
    }
    case QEvent::MouseButtonRelease: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (!dragging_ || mouse->button() != Qt::LeftButton) break;
      dragging_ = false;
      return true;
    }
    case QEvent::MouseButtonDblClick: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton) break;
      dragging_ = false;
      if (isMaximized()) {
        showNormal();
      } else {
        showMaximized();
      }
      return true;
    }
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);
}

void Window::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  sizeGrip_->setGeometry(
      QStyle::alignedRect(layoutDirection(), Qt::AlignBottom | Qt::AlignRight, sizeGrip_->sizeHint(), rect()));
  sizeGrip_->raise();
}

}  // namespace app_runtime

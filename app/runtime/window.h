// The app's one top-level window and the title bar the desktop gives its view.
//
// The window is frameless: the app draws its own title bar (the pages' CustomTitleBar),
// and SetTitleBar names the widget that acts as the draggable title bar. A press in it
// moves the window (through the window manager when it offers a system move, else by
// following the mouse), a double click maximises or restores it. The window keeps a
// size grip in its bottom corner, since it has no frame to resize it by.
//
// All of it runs on the UI thread, inside a QApplication.
#pragma once

#include <memory>

#include <QPoint>
#include <QPointer>
#include <QSize>
#include <QWidget>

class QSizeGrip;
class QVBoxLayout;

namespace app_runtime {

// The view's title bar as the desktop sees it. The app extends its view into the title
// bar (the window is frameless while ExtendViewIntoTitleBar holds, which it does from
// the start); false gives the window back the desktop's frame.
//
// The system overlay insets are the widths that the window manager's own controls take
// at the left and right of the title bar inside the view: none on this desktop, where a
// frameless window has no controls but its own. Tests (and a platform that draws
// controls over the view) set them with SetSystemOverlayInsets.
class CoreApplicationViewTitleBar : public QObject {
  Q_OBJECT

 public:
  bool ExtendViewIntoTitleBar() const { return extend_; }
  void SetExtendViewIntoTitleBar(bool extend);

  int SystemOverlayLeftInset() const { return leftInset_; }
  int SystemOverlayRightInset() const { return rightInset_; }
  void SetSystemOverlayInsets(int left, int right);

 signals:
  // The insets have changed.
  void LayoutMetricsChanged();
  void ExtendViewIntoTitleBarChanged(bool extend);

 private:
  bool extend_ = true;
  int leftInset_ = 0;
  int rightInset_ = 0;
};

// How the window opens the first time it is activated.
enum class ApplicationViewWindowingMode {
  Auto,                     // the size of its content
  PreferredLaunchViewSize,  // PreferredLaunchViewSize()
  FullScreen,
};

class Window : public QWidget {
  Q_OBJECT

 public:
  // The app's window, made by the first call (a QApplication must exist: hresult_error
  // otherwise). It goes away with the application.
  static Window& Current();
  // Deletes the current window; the next Current() makes a fresh one (tests).
  static void ResetCurrentForTesting();

  ~Window() override;

  // The window's content (the root frame), or none. The window owns it; content it
  // replaces is deleted later, from the event loop.
  QWidget* Content() const { return content_; }
  void SetContent(QWidget* content);

  // Shows the window and brings it to the front. The first activation opens it as the
  // launch windowing mode says.
  void Activate();

  // Makes `area` (a widget inside this window) the draggable title bar; nullptr leaves
  // the window without one. The window does not own it.
  void SetTitleBar(QWidget* area);
  QWidget* TitleBar() const { return titleBar_; }

  // The smallest size the user can make the window (device-independent pixels).
  void SetPreferredMinSize(const QSize& size);
  void SetPreferredMinSize(int width, int height) { SetPreferredMinSize(QSize(width, height)); }
  QSize PreferredMinSize() const { return minimumSize(); }

  void SetPreferredLaunchViewSize(const QSize& size) { launchSize_ = size; }
  QSize PreferredLaunchViewSize() const { return launchSize_; }
  void SetPreferredLaunchWindowingMode(ApplicationViewWindowingMode mode) { launchMode_ = mode; }
  ApplicationViewWindowingMode PreferredLaunchWindowingMode() const { return launchMode_; }

  // The view's title bar; a title bar control may keep it as long as it likes.
  std::shared_ptr<CoreApplicationViewTitleBar> CoreTitleBar() const { return coreTitleBar_; }

 signals:
  // A press in the title bar has started moving the window.
  void TitleBarDragStarted();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  Window();
  void ApplyFrame(bool frameless);

  QVBoxLayout* layout_;
  QSizeGrip* sizeGrip_;
  QPointer<QWidget> content_;
  QPointer<QWidget> titleBar_;
  std::shared_ptr<CoreApplicationViewTitleBar> coreTitleBar_;
  QSize launchSize_{640, 460};
  ApplicationViewWindowingMode launchMode_ = ApplicationViewWindowingMode::PreferredLaunchViewSize;
  bool activated_ = false;
  // A drag that follows the mouse (when the window manager has no system move).
  bool dragging_ = false;
  QPoint dragOffset_;
};

}  // namespace app_runtime

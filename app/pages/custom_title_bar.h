// The app's own title bar, which each page wraps its whole content in: a draggable title
// area with the app's name, a progress ring that runs while data is being read, a status
// line for a short failure explanation, minimise and close buttons, and below them the
// content grid that holds the page's content.
//
// Markup (custom_title_bar.ui), by object name:
//   ContentGrid         widget with a grid: row 0 the title row, row 1 the page content
//   TitleBarArea        the draggable area (row 0, column 0): AppTitle, StatusProgressRing,
//                       StatusLine
//   StatusProgressRing  app_runtime::ProgressRing, running from the start
//   StatusLine          one elided line of text, hidden while empty
//   MinimizeButton, CloseButton   (row 0, columns 1 and 2)
//
// Use from a page (what AddCustomTitleBar does, after the page has made the bar the
// window's title bar with EnableControlsInTitleBar(true)):
//
//   m_titleBar = new CustomTitleBar;
//   m_titleBar->EnableControlsInTitleBar(true);
//   m_titleBar->AddCustomTitleBar(this);   // the page's content moves into the bar
//
// and to take it off again (the bar is then nobody's child; delete it):
//
//   SetContent(m_titleBar->SetPageContent(nullptr));   // the content comes back
//   m_titleBar->deleteLater();
//
// Every operation except the two property reads logs "Entry" and "Exit" (Verbose) as
// Korvo_Tallisk::CustomTitleBar::<operation>. UI thread only.
#pragma once

#include <memory>

#include <QMargins>
#include <QPointer>
#include <QWidget>

#include "app/runtime/page.h"
#include "app/runtime/window.h"

namespace Ui {
class CustomTitleBar;
}

namespace Korvo_Tallisk {

class CustomTitleBar : public QWidget {
  Q_OBJECT
  Q_PROPERTY(double CoreTitleBarHeight READ CoreTitleBarHeight CONSTANT)
  Q_PROPERTY(QMargins CoreTitleBarPadding READ CoreTitleBarPadding NOTIFY CoreTitleBarPaddingChanged)

 public:
  // Takes the current window's core title bar (app_runtime::Window::Current()) and keeps it.
  explicit CustomTitleBar(QWidget* parent = nullptr);
  ~CustomTitleBar() override;

  // The title row's height: always 30 (device-independent pixels), whatever the
  // desktop's own title bar measures.
  double CoreTitleBarHeight() const;
  // Room left for the system's overlay controls, in flow terms: left = the core title
  // bar's left inset and right = its right inset, swapped when the bar's flow
  // (layout direction) is right-to-left; top = bottom = 0. The title area's layout
  // keeps that room free on the physical sides the insets belong to.
  QMargins CoreTitleBarPadding() const;

  // Hosts `content` in row 1 of ContentGrid (the bar owns it; nullptr hosts nothing)
  // and returns the element hosted before, or nullptr. That element is taken out of
  // ContentGrid, not deleted: it is the caller's from now on.
  QWidget* SetPageContent(QWidget* content);

  // true: TitleBarArea becomes the window's draggable title bar (again whenever this bar
  // is shown, so a page coming back from the back stack takes it back); false: the
  // window has none.
  void EnableControlsInTitleBar(bool enable);

  // Starts or stops StatusProgressRing.
  void EnableProgressRing(bool active);
  // Stops StatusProgressRing.
  void UpdateStatus();

  // Wraps `control`'s content in this bar: the content moves into ContentGrid and the
  // bar becomes `control`'s content.
  void AddCustomTitleBar(app_runtime::Page* control);

  // Shows `text` on the status line as one line, elided to fit (the full text is the
  // line's tool tip); an empty text hides the line.
  void ShowStatusLine(const QString& text);
  void ClearStatusLine();

 signals:
  void CoreTitleBarPaddingChanged();

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ApplyPadding();
  void ElideStatusLine();
  void SetStatusLine(const QString& text);
  void Minimize();
  void Close();

  std::shared_ptr<app_runtime::CoreApplicationViewTitleBar> m_coreTitleBar;
  QPointer<QWidget> m_hostedContent;
  std::unique_ptr<Ui::CustomTitleBar> m_ui;
  bool m_controlsEnabled = false;
  QMargins m_appliedPadding;
  QString m_statusText;
};

}  // namespace Korvo_Tallisk

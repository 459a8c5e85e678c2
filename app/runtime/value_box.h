// A read-only value box: a wrapping, read-only text box for a value the user may select
// and copy but not type into (the pages' value fields).
//
// Keys follow one rule. Tab (and Backtab) selects the whole text of the box and leaves
// the key to focus navigation, so focus moves on; every other key press and release is
// handled here and goes nowhere (not even Ctrl+C). A selection made with the mouse or by
// Tab is copied with the context menu's Copy.
//
// Before the rule is applied the box raises KeyDown or KeyUp with the key event, so a
// page can log every key (its SelectionOnTab) the way its markup's key handlers would.
//
// In Qt Designer a QPlainTextEdit is promoted to app_runtime::ValueBox with the header
// "app/runtime/value_box.h".
#pragma once

#include <QPlainTextEdit>

class QKeyEvent;

namespace app_runtime {

class ValueBox : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit ValueBox(QWidget* parent = nullptr);
  explicit ValueBox(const QString& text, QWidget* parent = nullptr);

  QString Text() const { return toPlainText(); }
  void SetText(const QString& text) { setPlainText(text); }
  // Wrapping at the box's width (the default) or one line that scrolls.
  void SetTextWrapping(bool wrap);

  // Fits the height to the wrapped text, so a one-line value takes one line.
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  void KeyDown(app_runtime::ValueBox* sender, QKeyEvent* event);
  void KeyUp(app_runtime::ValueBox* sender, QKeyEvent* event);

 protected:
  bool event(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  int ContentHeight() const;
};

}  // namespace app_runtime

// What the two pages share beyond the record rules: the view's window, the English text
// of a resource, the status line text of a failed read, the copy actions and the
// background read.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QString>

#include "app/pages/page_parsing.h"
#include "app/runtime/logging.h"

class QAction;
class QLabel;
class QWidget;

namespace app_runtime {
class Page;
class Window;
class ValueBox;
}  // namespace app_runtime

namespace Korvo_Tallisk {
class CustomTitleBar;
}

namespace Korvo_Tallisk::PageSupport {

// The app log's lines of one page operation, tagged Korvo_Tallisk::<page>::<operation>:
// "Entry" when made and "Exit" when it goes, whichever way the operation returns.
class OperationLog {
 public:
  OperationLog(const char* page, const char* operation);
  ~OperationLog();
  OperationLog(const OperationLog&) = delete;
  OperationLog& operator=(const OperationLog&) = delete;

  void Line(const QString& text, app_runtime::LoggingLevel level = app_runtime::LoggingLevel::Verbose) const;
  // "GetForCurrentThread() = NULL" (Error): the step that needs the window is skipped.
  void NoCoreWindow() const;
  // The number conversion failures the pages report and survive, at Critical: runs
  // `convert` and tells whether it returned.
  bool Converted(const std::function<void()>& convert) const;

 private:
  QString m_tag;
};

// A line under a page operation's tag, outside its Entry and Exit (its continuations).
void OperationLine(const char* page, const char* operation, const QString& text,
                   app_runtime::LoggingLevel level = app_runtime::LoggingLevel::Verbose);

// The window of the calling thread's view: the app's window on the UI thread (made by the
// first call), none on any other thread or without a widget application.
app_runtime::Window* CurrentCoreWindow();

// The text of `key` in the view's language, and in English whatever the view's language
// (a technician's ticket is read in English); both empty for a key the app does not have.
QString ResourceString(const QString& key);
QString EnglishResourceString(const QString& key);

// The status line's one-line reason for a read that ended with `status`.
QString ReadFailureText(std::int64_t status);

// One caption and value of a page, as the copy actions take it.
struct FactRow {
  QString captionKey;  // the caption's resource key ("SerialNumberLabel/Text")
  QLabel* caption;     // the caption's label: the row counts only while it is shown
  std::function<QString()> value;
};

// The row of a caption label and its value box.
FactRow Row(const char* captionKey, QLabel* caption, const app_runtime::ValueBox* value);

// A page's title bar: the view extended into the title bar, and a new bar with its
// controls enabled that takes over the page's content and becomes the page's content.
CustomTitleBar* WrapInTitleBar(app_runtime::Page& page);
// The page's content back from `titleBar`, which is deleted later (it may be mid-event).
void UnwrapTitleBar(app_runtime::Page& page, CustomTitleBar* titleBar);

// Gives each row's caption its text in the view's language.
void SetCaptions(const std::vector<FactRow>& rows);

// The shown rows' "caption: value" lines; English captions when `english`, else the
// captions as the page shows them.
QString ShownFactsText(const QWidget& page, const std::vector<FactRow>& rows, bool english);

// The page's copy actions: "Copy" (Ctrl+Shift+C) and "Copy in English" in the page's
// context menu, each putting ShownFactsText of `rows()` on the clipboard.
struct CopyActions {
  QAction* copy = nullptr;
  QAction* copyInEnglish = nullptr;
};
CopyActions AddCopyActions(QWidget& page, std::function<std::vector<FactRow>()> rows);

// Runs `read` on a pool thread, then `ended` on the UI thread unless `page` went in the
// meantime (it would have nothing left to show the result on). Call on the UI thread:
// the dispatcher belongs to the thread that first asks for it.
void ReadThenOnUiThread(QWidget& page, std::function<void()> read, std::function<void()> ended);

}  // namespace Korvo_Tallisk::PageSupport

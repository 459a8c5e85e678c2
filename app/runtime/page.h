// A page of the app: a widget with one content widget, shown in a Frame.
//
// A page's content is its single child widget, filling the page (a XAML page's Content).
// A page built from Qt Designer markup puts its form on a widget of its own and makes
// that the content:
//
//   MainPage::MainPage() : m_ui(std::make_unique<Ui::MainPage>()) {
//     auto* content = new QWidget;
//     m_ui->setupUi(content);   // not setupUi(this): the page lays out its content itself
//     SetContent(content);
//   }
//
// Ownership: the page owns its content (it is the page's Qt child) and deletes it with
// itself. SetContent replaces the content without deleting the one it replaces: that
// one is unparented and hidden, and belongs from then on to whoever took it through
// Content() beforehand, who must give it a new parent or delete it. That is how content
// moves into a title bar and back:
//
//   QWidget* content = page->Content();
//   page->SetContent(nullptr);              // content: nobody's child now, not deleted
//   titleBar->SetPageContent(content);      // the title bar owns it
//   page->SetContent(titleBar);             // the page owns the title bar
#pragma once

#include <QPointer>
#include <QVariant>
#include <QWidget>

class QVBoxLayout;

namespace app_runtime {

class Frame;
class Page;

enum class NavigationMode { New, Back };

// What a page learns when a frame shows it.
class NavigationEventArgs {
 public:
  NavigationEventArgs(QVariant parameter, NavigationMode mode, QString sourcePageType, Page* content)
      : parameter_(std::move(parameter)), mode_(mode), sourcePageType_(std::move(sourcePageType)), content_(content) {}

  // The parameter the page was navigated to with (also when coming back to it).
  const QVariant& Parameter() const { return parameter_; }
  NavigationMode Mode() const { return mode_; }
  // The page's type name ("Korvo_Tallisk.MainPage").
  const QString& SourcePageType() const { return sourcePageType_; }
  // The page being shown.
  Page* Content() const { return content_; }

 private:
  QVariant parameter_;
  NavigationMode mode_;
  QString sourcePageType_;
  Page* content_;
};

class Page : public QWidget {
  Q_OBJECT

 public:
  explicit Page(QWidget* parent = nullptr);
  ~Page() override;

  // The content widget, or none (also when something else has deleted it).
  QWidget* Content() const { return content_; }
  // Makes `content` the page's content (the page owns it; it is shown); nullptr leaves
  // the page empty. The content it replaces is released, not deleted (see above).
  void SetContent(QWidget* content);

 protected:
  friend class Frame;
  // Called by the frame each time it shows the page: after a navigation to it (mode
  // New) and when the frame goes back to it (mode Back). The page is the frame's
  // Content() by then. The base does nothing.
  virtual void OnNavigatedTo(const NavigationEventArgs& e);

 private:
  QVBoxLayout* layout_;
  QPointer<QWidget> content_;
};

}  // namespace app_runtime

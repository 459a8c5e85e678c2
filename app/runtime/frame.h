// A frame: shows one page at a time and keeps the pages it came from on a back stack.
//
// Navigate creates a fresh page (by its registered type name or from a factory), makes
// it the frame's content and calls its OnNavigatedTo (mode New); the page it replaces
// stays alive, hidden, on the back stack. GoBack deletes the current page (later, from
// the event loop, so a page may go back from its own button's handler) and shows the
// previous page instance again, calling its OnNavigatedTo with mode Back and the
// parameter it was first navigated to with.
//
// When a page cannot be created (no page type of that name, a factory that throws or
// makes nothing), Navigate raises NavigationFailed with the page type's name and returns
// false; the frame stays as it was.
//
// Pages register by type name once, before the first navigation to them:
//
//   Frame::RegisterPageType("Korvo_Tallisk.MainPage", [] { return std::make_unique<MainPage>(); });
//   frame->Navigate(QStringLiteral("Korvo_Tallisk.MainPage"), arguments);
//
// All of it runs on the UI thread.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QPointer>
#include <QVariant>
#include <QWidget>

#include "app/runtime/event.h"
#include "app/runtime/page.h"

class QStackedLayout;

namespace app_runtime {

enum class FlowDirection { LeftToRight, RightToLeft };

class NavigationFailedEventArgs {
 public:
  NavigationFailedEventArgs(QString sourcePageType, QString message)
      : sourcePageType_(std::move(sourcePageType)), message_(std::move(message)) {}
  // The type name of the page that could not be created ("Korvo_Tallisk.MainPage").
  const QString& SourcePageType() const { return sourcePageType_; }
  // Why: the exception's text, or what was missing.
  const QString& Message() const { return message_; }

 private:
  QString sourcePageType_;
  QString message_;
};

class Frame : public QWidget {
  Q_OBJECT

 public:
  // Makes a new page; the frame owns what it returns.
  using PageFactory = std::function<std::unique_ptr<Page>()>;
  using NavigationFailedEventHandler = std::function<void(Frame& sender, const NavigationFailedEventArgs& e)>;

  // Registers (or replaces) the page type `typeName` for navigation by name.
  static void RegisterPageType(const QString& typeName, PageFactory factory);
  template <class PageType>
  static void RegisterPageType(const QString& typeName) {
    RegisterPageType(typeName, [] { return std::make_unique<PageType>(); });
  }
  static bool IsPageTypeRegistered(const QString& typeName);

  explicit Frame(QWidget* parent = nullptr);
  ~Frame() override;

  // Shows a new page of the registered type `pageTypeName`; false (after raising
  // NavigationFailed) when it cannot be created. An exception of the page's
  // OnNavigatedTo passes through.
  bool Navigate(const QString& pageTypeName, const QVariant& parameter = {});
  // The same with a page from `factory`. The page type's name is `sourcePageType` when
  // given, else the page class's name in the registry's form ("Korvo_Tallisk.MainPage";
  // empty in NavigationFailed, since no page was made).
  bool Navigate(const PageFactory& factory, const QVariant& parameter = {}, const QString& sourcePageType = {});

  bool CanGoBack() const { return !backStack_.empty(); }
  // Back to the previous page; does nothing when the back stack is empty.
  void GoBack();
  int BackStackDepth() const { return static_cast<int>(backStack_.size()); }

  // The page shown, or none before the first navigation.
  Page* Content() const;

  // The frame's flow direction, which its pages inherit (Qt's layout direction).
  void SetFlowDirection(FlowDirection direction);
  FlowDirection GetFlowDirection() const;

  event_token NavigationFailed(NavigationFailedEventHandler handler) {
    return navigationFailed_.Add(std::move(handler));
  }
  void NavigationFailed(event_token token) { navigationFailed_.Remove(token); }

 private:
  struct Entry {
    QPointer<Page> page;
    QString typeName;
    QVariant parameter;
    PageFactory factory;  // remakes the page if it has gone meanwhile
  };

  // The new page, or none after raising NavigationFailed.
  std::unique_ptr<Page> CreatePage(const PageFactory& factory, const QString& typeName);
  void Show(Entry entry, NavigationMode mode);

  QStackedLayout* stack_;
  Entry current_;
  std::vector<Entry> backStack_;
  Event<Frame&, const NavigationFailedEventArgs&> navigationFailed_;
};

}  // namespace app_runtime

#include "app/runtime/frame.h"

#include <exception>
#include <map>
#include <mutex>

#include <QStackedLayout>

namespace app_runtime {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<QString, Frame::PageFactory> factories;
};

Registry& PageTypes() {
  static Registry registry;
  return registry;
}

Frame::PageFactory FactoryOf(const QString& typeName) {
  Registry& registry = PageTypes();
  std::lock_guard lock(registry.mutex);
  auto found = registry.factories.find(typeName);
  return found == registry.factories.end() ? Frame::PageFactory() : found->second;
}

// "Korvo_Tallisk::MainPage" -> "Korvo_Tallisk.MainPage", the form type names are registered in.
QString TypeNameOf(const Page& page) {
  return QString::fromLatin1(page.metaObject()->className()).replace(QStringLiteral("::"), QStringLiteral("."));
}

}  // namespace

void Frame::RegisterPageType(const QString& typeName, PageFactory factory) {
  Registry& registry = PageTypes();
  std::lock_guard lock(registry.mutex);
  registry.factories[typeName] = std::move(factory);
}

bool Frame::IsPageTypeRegistered(const QString& typeName) {
  return static_cast<bool>(FactoryOf(typeName));
}

Frame::Frame(QWidget* parent) : QWidget(parent), stack_(new QStackedLayout(this)) {
  stack_->setContentsMargins(0, 0, 0, 0);
}

Frame::~Frame() = default;

bool Frame::Navigate(const QString& pageTypeName, const QVariant& parameter) {
  PageFactory factory = FactoryOf(pageTypeName);
  if (!factory) {
    navigationFailed_(*this, NavigationFailedEventArgs(pageTypeName, QStringLiteral("No page type of that name")));
    return false;
  }
  std::unique_ptr<Page> page = CreatePage(factory, pageTypeName);
  if (!page) return false;
  Show(Entry{page.release(), pageTypeName, parameter, std::move(factory)}, NavigationMode::New);
  return true;
}

bool Frame::Navigate(const PageFactory& factory, const QVariant& parameter, const QString& sourcePageType) {
  std::unique_ptr<Page> page = CreatePage(factory, sourcePageType);
  if (!page) return false;
  const QString typeName = sourcePageType.isEmpty() ? TypeNameOf(*page) : sourcePageType;
  Show(Entry{page.release(), typeName, parameter, factory}, NavigationMode::New);
  return true;
}

std::unique_ptr<Page> Frame::CreatePage(const PageFactory& factory, const QString& typeName) {
  QString failure;
  try {
    if (factory) {
      if (std::unique_ptr<Page> page = factory()) return page;
    }
    failure = QStringLiteral("The page was not created");
  } catch (const std::exception& e) {
    failure = QString::fromUtf8(e.what());
  } catch (...) {
    failure = QStringLiteral("The page's constructor raised an unknown exception");
  }
  navigationFailed_(*this, NavigationFailedEventArgs(typeName, failure));
  return nullptr;
}

void Frame::Show(Entry entry, NavigationMode mode) {
  if (mode == NavigationMode::New && current_.page) backStack_.push_back(std::move(current_));
  current_ = std::move(entry);
  Page* page = current_.page;
  if (stack_->indexOf(page) < 0) stack_->addWidget(page);
  stack_->setCurrentWidget(page);
  page->OnNavigatedTo(NavigationEventArgs(current_.parameter, mode, current_.typeName, page));
}

void Frame::GoBack() {
  if (backStack_.empty()) return;
  Entry previous = std::move(backStack_.back());
  backStack_.pop_back();
  if (!previous.page) {
    // The page went away while it waited on the stack; a fresh one stands in for it.
    std::unique_ptr<Page> page = CreatePage(previous.factory, previous.typeName);
    if (!page) return;
    previous.page = page.release();
  }
  if (Page* leaving = current_.page) {
    stack_->removeWidget(leaving);
    leaving->hide();
    // Later, from the event loop: GoBack may run inside a handler of the leaving page.
    leaving->deleteLater();
  }
  current_ = Entry{};
  Show(std::move(previous), NavigationMode::Back);
}

Page* Frame::Content() const {
  return current_.page;
}

void Frame::SetFlowDirection(FlowDirection direction) {
  setLayoutDirection(direction == FlowDirection::RightToLeft ? Qt::RightToLeft : Qt::LeftToRight);
}

FlowDirection Frame::GetFlowDirection() const {
  return layoutDirection() == Qt::RightToLeft ? FlowDirection::RightToLeft : FlowDirection::LeftToRight;
}

}  // namespace app_runtime

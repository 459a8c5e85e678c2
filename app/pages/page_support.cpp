#include "app/pages/page_support.h"

#include "app/runtime/value_box.h"

#include "app/runtime/page.h"

#include "app/pages/custom_title_bar.h"

#include <stdexcept>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPointer>
#include <QThread>
#include <QTranslator>

#include "app/runtime/dispatcher.h"
#include "app/runtime/resources.h"
#include "app/runtime/task.h"
#include "app/runtime/window.h"
#include "app/shell/logging_handler.h"

namespace Korvo_Tallisk::PageSupport {

namespace {

QString OperationTag(const char* page, const char* operation) {
  return QStringLiteral("Korvo_Tallisk::") + QLatin1String(page) + QStringLiteral("::") + QLatin1String(operation);
}

}  // namespace

OperationLog::OperationLog(const char* page, const char* operation) : m_tag(OperationTag(page, operation)) {
  Line(QStringLiteral("Entry"));
}

OperationLog::~OperationLog() {
  Line(QStringLiteral("Exit"));
}

void OperationLog::Line(const QString& text, app_runtime::LoggingLevel level) const {
  Log(m_tag, text, level);
}

void OperationLog::NoCoreWindow() const {
  Line(QStringLiteral("GetForCurrentThread() = NULL"), app_runtime::LoggingLevel::Error);
}

bool OperationLog::Converted(const std::function<void()>& convert) const {
  try {
    convert();
    return true;
  } catch (const std::invalid_argument&) {
    Line(QStringLiteral("Bad input: std::invalid_argument thrown"), app_runtime::LoggingLevel::Critical);
  } catch (const std::out_of_range&) {
    Line(QStringLiteral("Integer overflow: std::out_of_range thrown"), app_runtime::LoggingLevel::Critical);
  } catch (const std::exception&) {
    Line(QStringLiteral("Unknown exception caught"), app_runtime::LoggingLevel::Critical);
  }
  return false;
}

void OperationLine(const char* page, const char* operation, const QString& text, app_runtime::LoggingLevel level) {
  Log(OperationTag(page, operation), text, level);
}

app_runtime::Window* CurrentCoreWindow() {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (app == nullptr || QThread::currentThread() != app->thread()) return nullptr;
  return &app_runtime::Window::Current();
}

QString ResourceString(const QString& key) {
  return app_runtime::ResourceLoader::GetForCurrentView().GetString(key);
}

QString EnglishResourceString(const QString& key) {
  // The shipped English translation on its own, not installed: the view's language stays.
  static const QTranslator* const english = [] {
    auto* translator = new QTranslator();
    if (!translator->load(QStringLiteral(":/i18n/korvo_tallisk_en.qm"))) {
      delete translator;
      return static_cast<QTranslator*>(nullptr);
    }
    return translator;
  }();
  if (english == nullptr) return {};
  // Id-based strings are looked up by their id in the empty context.
  return english->translate(nullptr, key.toUtf8().constData());
}

QString ReadFailureText(std::int64_t status) {
  const Parsing::ReadFailure failure = Parsing::ClassifyReadFailure(status);
  const QString text = ResourceString(Parsing::ReadFailureKey(failure));
  return failure == Parsing::ReadFailure::NoAnswer ? text.arg(status) : text;
}

void SetCaptions(const std::vector<FactRow>& rows) {
  for (const auto& row : rows) row.caption->setText(ResourceString(row.captionKey));
}

QString ShownFactsText(const QWidget& page, const std::vector<FactRow>& rows, bool english) {
  std::vector<Parsing::Fact> facts;
  for (const auto& row : rows) {
    if (!row.caption->isVisibleTo(&page)) continue;
    QString caption = english ? EnglishResourceString(row.captionKey) : QString();
    if (caption.isEmpty()) caption = row.caption->text();
    facts.push_back({caption, row.value()});
  }
  return Parsing::FactsText(facts);
}

CopyActions AddCopyActions(QWidget& page, std::function<std::vector<FactRow>()> rows) {
  CopyActions actions;
  actions.copy = new QAction(ResourceString(QStringLiteral("CopyFacts/Text")), &page);
  actions.copy->setObjectName(QStringLiteral("CopyFactsAction"));
  actions.copy->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
  // Also while a value box has the focus.
  actions.copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  actions.copyInEnglish = new QAction(ResourceString(QStringLiteral("CopyFactsInEnglish/Text")), &page);
  actions.copyInEnglish->setObjectName(QStringLiteral("CopyFactsInEnglishAction"));
  QWidget* const owner = &page;
  QObject::connect(actions.copy, &QAction::triggered, owner,
                   [owner, rows] { QGuiApplication::clipboard()->setText(ShownFactsText(*owner, rows(), false)); });
  QObject::connect(actions.copyInEnglish, &QAction::triggered, owner,
                   [owner, rows] { QGuiApplication::clipboard()->setText(ShownFactsText(*owner, rows(), true)); });
  page.addAction(actions.copy);
  page.addAction(actions.copyInEnglish);
  page.setContextMenuPolicy(Qt::ActionsContextMenu);
  return actions;
}

FactRow Row(const char* captionKey, QLabel* caption, const app_runtime::ValueBox* value) {
  return FactRow{QLatin1String(captionKey), caption, [value] { return value->Text(); }};
}

CustomTitleBar* WrapInTitleBar(app_runtime::Page& page) {
  if (app_runtime::Window* window = CurrentCoreWindow()) window->CoreTitleBar()->SetExtendViewIntoTitleBar(true);
  auto* titleBar = new CustomTitleBar;
  titleBar->EnableControlsInTitleBar(true);
  QWidget* content = page.Content();
  page.SetContent(nullptr);
  titleBar->SetPageContent(content);
  page.SetContent(titleBar);
  return titleBar;
}

void UnwrapTitleBar(app_runtime::Page& page, CustomTitleBar* titleBar) {
  // SetContent lets go of the bar, so it is ours to delete.
  page.SetContent(titleBar->SetPageContent(nullptr));
  titleBar->deleteLater();
}

void ReadThenOnUiThread(QWidget& page, std::function<void()> read, std::function<void()> ended) {
  app_runtime::CoreDispatcher* dispatcher = &app_runtime::CoreDispatcher::ForUiThread();
  const QPointer<QWidget> alive(&page);
  app_runtime::create_task(std::move(read)).then([dispatcher, alive, ended = std::move(ended)] {
    dispatcher->RunAsync([alive, ended] {
      if (alive) ended();
    });
  });
}

}  // namespace Korvo_Tallisk::PageSupport

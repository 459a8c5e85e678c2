#include "app/runtime/resources.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

#include "app/runtime/errors.h"
#include "app/runtime/resource_strings.h"

namespace app_runtime {

namespace {

const QString kEnglish = QStringLiteral("en");

std::unique_ptr<QTranslator> LoadTranslation(const QString& language) {
  auto translator = std::make_unique<QTranslator>();
  const QString file = QStringLiteral(":/i18n/korvo_tallisk_%1.qm").arg(language);
  if (!translator->load(file)) {
    throw hresult_error(E_FILE_NOT_FOUND, QStringLiteral("The translation %1 is not in the program").arg(file));
  }
  if (!QCoreApplication::installTranslator(translator.get())) {
    throw hresult_error(E_ILLEGAL_METHOD_CALL, QStringLiteral("No application to install the translation into"));
  }
  return translator;
}

}  // namespace

QStringList ResourceContext::SupportedLanguages() {
  return {kEnglish, QStringLiteral("de"), QStringLiteral("ar")};
}

ResourceContext::ResourceContext() = default;

ResourceContext::~ResourceContext() = default;

ResourceContext& ResourceContext::GetForCurrentView() {
  // The context, and the translations it installs, stay until the process ends.
  static ResourceContext* const context = new ResourceContext();
  if (!context->chosen_) context->UseLanguage(ChooseLanguage(QLocale::system().uiLanguages()));
  return *context;
}

QString ResourceContext::ChooseLanguage(const QStringList& uiLanguages) {
  const QStringList shipped = SupportedLanguages();
  for (const QString& tag : uiLanguages) {
    const QLocale::Language wanted = QLocale(tag).language();
    if (wanted == QLocale::C || wanted == QLocale::AnyLanguage) continue;
    for (const QString& language : shipped) {
      if (QLocale(language).language() == wanted) return language;
    }
  }
  return kEnglish;
}

void ResourceContext::SetLanguageForTesting(const QString& language) {
  GetForCurrentView().UseLanguage(ChooseLanguage({language}));
}

void ResourceContext::UseLanguage(const QString& language) {
  // Chosen before the translations go in: installing one tells the application's widgets
  // at once, and one that reads a string then finds the context ready.
  language_ = language;
  chosen_ = true;
  if (!english_) english_ = LoadTranslation(kEnglish);
  if (translation_) {
    QCoreApplication::removeTranslator(translation_.get());
    translation_.reset();
  }
  if (language != kEnglish) translation_ = LoadTranslation(language);
}

QString ResourceContext::Language() const {
  return language_;
}

Qt::LayoutDirection ResourceContext::LayoutDirection() const {
  return QLocale(Language()).textDirection();
}

QMap<QString, QString> ResourceContext::QualifierValues() const {
  return {{QStringLiteral("Language"), Language()},
          {QStringLiteral("LayoutDirection"),
           LayoutDirection() == Qt::RightToLeft ? QStringLiteral("RTL") : QStringLiteral("LTR")}};
}

ResourceLoader ResourceLoader::GetForCurrentView() {
  ResourceContext::GetForCurrentView();
  return ResourceLoader();
}

QString ResourceLoader::GetString(const QString& resource) const {
  const QByteArray id = resource.toUtf8();
  for (const char* key : detail::ResourceKeys()) {
    if (id != key) continue;
    // qtTrId gives the id back when no installed translation has it.
    const QString text = qtTrId(key);
    return text == resource ? QString() : text;
  }
  return {};
}

QStringList ResourceLoader::Keys() {
  QStringList keys;
  for (const char* key : detail::ResourceKeys()) keys.append(QString::fromUtf8(key));
  return keys;
}

}  // namespace app_runtime

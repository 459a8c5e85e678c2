// Keyed, translatable strings, and the context that chooses their language.
//
// Every string the app shows by key is one line of resource_strings.cpp: the key is also
// the id of its id-based translation (qtTrId), with its English source text beside it.
// The translations live in app/runtime/translations (English, German, Arabic) and are
// embedded in the program as :/i18n/korvo_tallisk_<language>.qm.
//
// Adding a key: one line in resource_strings.cpp, then
//   cmake --build --preset dev --target update_translations
// adds it to the three .ts files, where it is translated (with Qt Linguist or by hand).
//
// UI thread only: the translations are objects of the thread that installs them, and the
// application tells its widgets of a new language on that thread.
#pragma once

#include <memory>

#include <QMap>
#include <QString>
#include <QStringList>
#include <Qt>

class QTranslator;

namespace app_runtime {

// The resource context of the app's view: the language its strings are shown in and the
// qualifiers that follow from it.
class ResourceContext {
 public:
  // The languages the app ships, by their BCP 47 names; the first is the fallback.
  static QStringList SupportedLanguages();

  // The view's context. The first call chooses the language from the system locale
  // (QLocale::system(): LANGUAGE, LC_ALL, LC_MESSAGES, LANG), English when none of the
  // user's languages is shipped, and installs its translations into the
  // QCoreApplication (which must exist; hresult_error otherwise).
  static ResourceContext& GetForCurrentView();

  // The shipped language for a list of the user's languages in order of preference
  // ("de-AT", "de", ...): the first one that is shipped, else English.
  static QString ChooseLanguage(const QStringList& uiLanguages);

  // Chooses `language` (a shipped one; anything else gives English) in place of the
  // system's, as the first call would have done.
  static void SetLanguageForTesting(const QString& language);

  // "Language": the chosen language ("en", "de", "ar");
  // "LayoutDirection": "LTR" or "RTL", the text direction of that language.
  QMap<QString, QString> QualifierValues() const;

  QString Language() const;
  Qt::LayoutDirection LayoutDirection() const;

  ResourceContext(const ResourceContext&) = delete;
  ResourceContext& operator=(const ResourceContext&) = delete;

 private:
  ResourceContext();
  ~ResourceContext();
  void UseLanguage(const QString& language);

  bool chosen_ = false;
  QString language_;
  // English stays installed under the chosen language, so a string a translation lacks
  // still reads in English (the application asks the last installed translator first).
  std::unique_ptr<QTranslator> english_;
  std::unique_ptr<QTranslator> translation_;
};

// The strings of the view's resource context, by key ("Usable/Text").
class ResourceLoader {
 public:
  static ResourceLoader GetForCurrentView();

  // The text of `resource` in the context's language. A key the app does not have (see
  // Keys()) gives an empty string, as does one whose translation files lack it.
  QString GetString(const QString& resource) const;

  // Every key the app has, in the order of resource_strings.cpp.
  static QStringList Keys();

 private:
  ResourceLoader() = default;
};

}  // namespace app_runtime

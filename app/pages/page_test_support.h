// What the pages' widget tests share: the app's log lines, the page's widgets by object
// name, the language of a test and the texts of the resources a page shows.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <QLabel>
#include <QString>

#include <gtest/gtest.h>

#include "app/pages/page_support.h"
#include "app/runtime/logging.h"
#include "app/runtime/resources.h"
#include "app/runtime/value_box.h"
#include "app/shell/logging_handler.h"
#include "app/testing/app_test.h"
#include "app/testing/log_capture.h"

namespace Korvo_Tallisk::testing {

// The language of the app's strings for one scope; English again after it.
class Language {
 public:
  explicit Language(const char* language) {
    app_runtime::ResourceContext::SetLanguageForTesting(QString::fromLatin1(language));
  }
  ~Language() { app_runtime::ResourceContext::SetLanguageForTesting(QStringLiteral("en")); }
  Language(const Language&) = delete;
  Language& operator=(const Language&) = delete;
};

inline QString R(const char* key) {
  return PageSupport::ResourceString(QString::fromLatin1(key));
}

template <class W = QWidget>
W* Child(const QWidget& page, const char* name) {
  W* widget = page.findChild<W*>(QString::fromLatin1(name));
  EXPECT_NE(widget, nullptr) << "no " << name;
  return widget;
}

inline QString Text(const QWidget& page, const char* name) {
  auto* box = Child<app_runtime::ValueBox>(page, name);
  return box != nullptr ? box->Text() : QStringLiteral("<missing>");
}

// Shown as far as the page decides it: not hidden itself (the page need not be on screen).
inline bool Shown(const QWidget& page, const char* name) {
  QWidget* widget = Child(page, name);
  return widget != nullptr && !widget->isHidden();
}

}  // namespace Korvo_Tallisk::testing

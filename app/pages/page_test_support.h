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

namespace Korvo_Tallisk::testing {

// The app's log lines while it lives, as "Level|tag+text".
class LogCapture {
 public:
  LogCapture() {
    token_ = LoggingHandler::GetInstance()->Channel().AddListener(
        [this](const app_runtime::LoggingChannel&, const app_runtime::LogRecord& r) {
          std::lock_guard lock(mutex_);
          lines_.push_back((app_runtime::LoggingLevelName(r.level) + u'|' + r.message).toStdString());
        });
  }
  ~LogCapture() { LoggingHandler::GetInstance()->Channel().RemoveListener(token_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Where `line` is first found at or after `from`; -1 when it is not.
  int Find(const std::string& line, int from = 0) const {
    const auto lines = Lines();
    for (int i = from; i < static_cast<int>(lines.size()); ++i) {
      if (lines[i] == line) return i;
    }
    return -1;
  }
  bool Has(const std::string& line) const { return Find(line) >= 0; }
  int Count(const std::string& line) const {
    int count = 0;
    for (const auto& l : Lines()) count += l == line ? 1 : 0;
    return count;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }
  std::string Text() const {
    std::string text;
    for (const auto& l : Lines()) text += l + "\n";
    return text;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  app_runtime::event_token token_;
};

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

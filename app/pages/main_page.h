// The app's first page: the system information record as ten labelled values, a button
// that opens System Information and one that opens the USB Type-C page.
//
// The record comes as the navigation parameter (the app opened through its URI), from the
// view model's kept copy when a read has finished, or from a background read whose end is
// handled on the UI thread. The page's content lives inside its CustomTitleBar.
//
// Markup (main_page.ui), by object name: the value boxes ProductNameValue, SkuValue,
// BuildIdValue, MemoryValue, ProcessorValue, BiosVersionValue, BoardVersionValue,
// SerialNumberValue, FeatureByteValue, BiosPasswordValue (app_runtime::ValueBox), their
// captions ProductNameLabel ... BiosPasswordLabel, and UsbTypeCButton and AdvancedButton.
//
// Every operation logs "Entry" and "Exit" (Verbose) as Korvo_Tallisk::MainPage::<operation>.
// UI thread only, except where an operation says otherwise.
#pragma once

#include <memory>

#include <QPointer>
#include <QString>
#include <QStringList>

#include "app/pages/page_support.h"
#include "app/runtime/page.h"

class QKeyEvent;

namespace Ui {
class MainPage;
}

namespace app_runtime {
class ValueBox;
}

namespace Korvo_Tallisk {

class CustomTitleBar;

class MainPage : public app_runtime::Page {
  Q_OBJECT

 public:
  // The page's type name for navigation by name.
  static constexpr const char* kTypeName = "Korvo_Tallisk.MainPage";

  explicit MainPage(QWidget* parent = nullptr);
  ~MainPage() override;

  // Starts the background read; its end is handled on the UI thread, as long as the
  // page is still there.
  void UpdateSysInfoDetails(const app_runtime::NavigationEventArgs& e);
  // Shows the view model's kept record.
  void UpdateUIWithSysDataAvailable();
  // Splits `record` and shows it; a record that neither separator splits into at least
  // ten fields changes nothing.
  void UpdateUI(const QString& record);
  // Appends the fields of `text` cut at every `delimiter` to `out`.
  void ParseSystemInfo(const QString& text, const QString& delimiter, QStringList& out);
  // The resource text of a BIOS password status field; empty when it is no number (the
  // failure is logged) or there is no window. Any thread.
  QString GetBiosPasswordStatus(const QString& field);
  // Whether a USB Type-C support field says the ports are supported. Any thread.
  bool GetUsbTypeCStatus(const QString& field);
  // true shows the ten captions; false hides them and both buttons.
  void LaunchSysLabelsVisible(bool visible);

  void AddCustomTitleBar();
  void RemoveCustomTitleBar();
  // The page's title bar, or none after RemoveCustomTitleBar.
  CustomTitleBar* TitleBar() const { return m_titleBar; }

  // The facts the page shows, one "caption: value" line each, as the copy actions put them
  // on the clipboard.
  QString ShownFactsText(bool english) const;

 protected:
  void OnNavigatedTo(const app_runtime::NavigationEventArgs& e) override;
  void showEvent(QShowEvent* event) override;

 private:
  void MainWindow_Loaded();
  void SelectionOnTab(app_runtime::ValueBox* sender, QKeyEvent* e);
  void KeyboardKeyDownEvent(app_runtime::ValueBox* sender, QKeyEvent* e);
  void KeyboardKeyUpEvent(app_runtime::ValueBox* sender, QKeyEvent* e);
  void Advanced_Click();
  void USBType_Click();
  // The handler of a finished background read (UI thread).
  void SysInfoReadEnded();
  std::vector<PageSupport::FactRow> FactRows() const;

  std::unique_ptr<Ui::MainPage> m_ui;
  QPointer<CustomTitleBar> m_titleBar;
};

}  // namespace Korvo_Tallisk

// The USB Type-C capabilities of the machine's ports: the USB data rate, Thunderbolt and
// DisplayPort support, whether the ports give and take power, and the maximum power
// output. Opened from the main page's UsbTypeCButton; its BackButton returns there.
//
// The record comes from the view model's kept copy when a read has finished, else from a
// background read whose end is handled on the UI thread. The page's content lives inside
// its CustomTitleBar.
//
// Markup (usb_type_c_page.ui), by object name: BackButton; the value boxes
// UsbDevicesValue, ThunderboltValue, DisplayPortValue, PowerProviderValue,
// PowerConsumerValue, MaxPowerOutputValue (app_runtime::ValueBox); the eight labels
// UsbDataHeadingLabel, UsbDevicesLabel, ThunderboltLabel, DisplayPortLabel,
// UsbPowerHeadingLabel, PowerProviderLabel, PowerConsumerLabel, MaxPowerOutputLabel.
//
// Every operation logs "Entry" and "Exit" (Verbose) as Korvo_Tallisk::USBTypeCPage::<operation>.
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
class USBTypeCPage;
}

namespace app_runtime {
class ValueBox;
}

namespace Korvo_Tallisk {

class CustomTitleBar;

class USBTypeCPage : public app_runtime::Page {
  Q_OBJECT

 public:
  static constexpr const char* kTypeName = "Korvo_Tallisk.USBTypeCPage";

  explicit USBTypeCPage(QWidget* parent = nullptr);
  ~USBTypeCPage() override;

  // Starts the background read; its end is handled on the UI thread, as long as the
  // page is still there.
  void UpdateUSBTypeCInfoDetails(const app_runtime::NavigationEventArgs& e);
  // Shows the view model's kept record.
  void UpdateUIWithTypeCDataAvailable();
  // Splits the zero-terminated `record` (may be absent) and shows it; a record of other
  // than six fields changes nothing.
  void UpdateUI(const char16_t* record);
  // Appends the fields of the zero-terminated `text` cut at every `delimiter` to `out`;
  // no text, no fields.
  void ParseUSBTypeCInfo(const char16_t* text, const QString& delimiter, QStringList& out);
  // The resource text of a support field; empty without a window. Any thread.
  QString CheckSupportStatus(const QString& value);
  void LaunchUsbPageLabelsVisible(bool visible);

  void AddCustomTitleBar();
  void RemoveCustomTitleBar();
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
  void Back_Click();
  // The handler of a finished background read (UI thread).
  void UsbTypeCInfoReadEnded();
  std::vector<PageSupport::FactRow> FactRows() const;

  std::unique_ptr<Ui::USBTypeCPage> m_ui;
  QPointer<CustomTitleBar> m_titleBar;
};

}  // namespace Korvo_Tallisk

#include "app/pages/usb_type_c_page.h"

#include <new>

#include <QKeyEvent>
#include <QMetaEnum>
#include <QShowEvent>

#include "app/data/main_view_model.h"
#include "app/pages/custom_title_bar.h"
#include "app/pages/page_parsing.h"
#include "app/runtime/frame.h"
#include "app/runtime/task.h"
#include "app/runtime/value_box.h"
#include "app/runtime/window.h"
#include "platform/debug.h"
#include "ui_usb_type_c_page.h"

namespace Korvo_Tallisk {

using app_runtime::LoggingLevel;
using app_runtime::ValueBox;
using PageSupport::CurrentCoreWindow;
using PageSupport::ResourceString;

namespace {

constexpr const char* kPage = "USBTypeCPage";
constexpr int kMinWidth = 640;
constexpr int kMinHeight = 460;
// The record's buffer; its last character always stays zero.
constexpr std::size_t kUsbTypeCDataSize = 500;
constexpr std::size_t kUsbTypeCDataCapacity = kUsbTypeCDataSize - 1;

class OperationLog : public PageSupport::OperationLog {
 public:
  explicit OperationLog(const char* operation) : PageSupport::OperationLog(kPage, operation) {}
};

}  // namespace

USBTypeCPage::USBTypeCPage(QWidget* parent) : app_runtime::Page(parent), m_ui(std::make_unique<Ui::USBTypeCPage>()) {
  const OperationLog log("USBTypeCPage");
  setObjectName(QStringLiteral("USBTypeCPage"));
  auto* content = new QWidget;
  m_ui->setupUi(content);
  SetContent(content);
  PageSupport::SetCaptions(FactRows());
  m_ui->UsbDataHeadingLabel->setText(ResourceString(QStringLiteral("UsbDataHeadingLabel/Text")));
  m_ui->UsbPowerHeadingLabel->setText(ResourceString(QStringLiteral("UsbPowerHeadingLabel/Text")));
  m_ui->BackButton->setText(ResourceString(QStringLiteral("BackButton/Content")));
  for (ValueBox* box : {m_ui->UsbDevicesValue, m_ui->ThunderboltValue, m_ui->DisplayPortValue, m_ui->PowerProviderValue,
                        m_ui->PowerConsumerValue, m_ui->MaxPowerOutputValue}) {
    connect(box, &ValueBox::KeyDown, this, &USBTypeCPage::KeyboardKeyDownEvent);
    connect(box, &ValueBox::KeyUp, this, &USBTypeCPage::KeyboardKeyUpEvent);
  }
  connect(m_ui->BackButton, &QPushButton::clicked, this, &USBTypeCPage::Back_Click);
  PageSupport::AddCopyActions(*this, [this] { return FactRows(); });

  AddCustomTitleBar();
  LaunchUsbPageLabelsVisible(false);
}

USBTypeCPage::~USBTypeCPage() = default;

std::vector<PageSupport::FactRow> USBTypeCPage::FactRows() const {
  const auto row = PageSupport::Row;
  return {
      row("UsbDevicesLabel/Text", m_ui->UsbDevicesLabel, m_ui->UsbDevicesValue),
      row("ThunderboltLabel/Text", m_ui->ThunderboltLabel, m_ui->ThunderboltValue),
      row("DisplayPortLabel/Text", m_ui->DisplayPortLabel, m_ui->DisplayPortValue),
      row("PowerProviderLabel/Text", m_ui->PowerProviderLabel, m_ui->PowerProviderValue),
      row("PowerConsumerLabel/Text", m_ui->PowerConsumerLabel, m_ui->PowerConsumerValue),
      row("MaxPowerOutputLabel/Text", m_ui->MaxPowerOutputLabel, m_ui->MaxPowerOutputValue),
  };
}

QString USBTypeCPage::ShownFactsText(bool english) const {
  return PageSupport::ShownFactsText(*this, FactRows(), english);
}

void USBTypeCPage::showEvent(QShowEvent* event) {
  app_runtime::Page::showEvent(event);
  // A page put on screen is a loaded one; the desktop's own show events are not.
  if (!event->spontaneous()) MainWindow_Loaded();
}

void USBTypeCPage::MainWindow_Loaded() {
  const OperationLog log("MainWindow_Loaded");
  platform::OutputDebugString(L"KorvoSYS :USBTypeCPage::MainWindow_Loaded");
  app_runtime::Window* window = CurrentCoreWindow();
  if (window == nullptr) {
    log.NoCoreWindow();
    return;
  }
  window->SetPreferredMinSize(kMinWidth, kMinHeight);
  window->SetPreferredLaunchViewSize(QSize(kMinWidth, kMinHeight));
}

// ---- Title bar ----------------------------------------------------------------------------

void USBTypeCPage::AddCustomTitleBar() {
  const OperationLog log("AddCustomTitleBar");
  if (!m_titleBar) {
    m_titleBar = PageSupport::WrapInTitleBar(*this);
  } else if (app_runtime::Window* window = CurrentCoreWindow()) {
    window->CoreTitleBar()->SetExtendViewIntoTitleBar(true);
  }
}

void USBTypeCPage::RemoveCustomTitleBar() {
  const OperationLog log("RemoveCustomTitleBar");
  if (!m_titleBar) return;
  PageSupport::UnwrapTitleBar(*this, m_titleBar);
  m_titleBar = nullptr;
}

// ---- Navigation and the background read ---------------------------------------------------

void USBTypeCPage::OnNavigatedTo(const app_runtime::NavigationEventArgs& e) {
  platform::OutputDebugString(L"KorvoSYS USBTypeCPage::OnNavigatedTo");
  const OperationLog log("OnNavigatedTo");
  app_runtime::Page::OnNavigatedTo(e);
  const auto model = MainViewModel::GetInstance();
  if (model->IsUsbTypeCInfoReadCompleted() && model->IsRpcConnectionInitialised()) {
    log.Line(QStringLiteral("Already Updated USBTypeCInfoDetails - success"));
    UpdateUIWithTypeCDataAvailable();
  } else {
    UpdateUSBTypeCInfoDetails(e);
  }
}

void USBTypeCPage::UpdateUSBTypeCInfoDetails(const app_runtime::NavigationEventArgs&) {
  const OperationLog log("UpdateUSBTypeCInfoDetails");
  if (CurrentCoreWindow() == nullptr) {
    log.NoCoreWindow();
    return;
  }
  PageSupport::ReadThenOnUiThread(
      *this,
      [] {
        PageSupport::OperationLine(kPage, "UpdateUSBTypeCInfoDetails",
                                   QStringLiteral("UpdateUSBTypeCInfoDetails()-create_task"));
        MainViewModel::GetInstance()->ReadUsbTypeCInfoDetailsAsync();
      },
      [this] { UsbTypeCInfoReadEnded(); });
}

void USBTypeCPage::UsbTypeCInfoReadEnded() {
  const auto line = [](const QString& text) { PageSupport::OperationLine(kPage, "UpdateUSBTypeCInfoDetails", text); };
  line(QStringLiteral("UpdateUSBTypeCInfoDetails()-RunAsync"));
  const auto model = MainViewModel::GetInstance();
  if (model->IsUsbTypeCInfoReadCompleted() && model->IsRpcConnectionInitialised()) {
    line(QStringLiteral("UpdateUSBTypeCInfoDetails - success"));
    if (m_titleBar) m_titleBar->ClearStatusLine();
    UpdateUIWithTypeCDataAvailable();
  } else {
    // The main page's text: both pages report a failed read alike.
    line(QStringLiteral("UpdateSysInfoDetails failed from RpcClient"));
    if (m_titleBar) {
      m_titleBar->EnableProgressRing(false);
      m_titleBar->ShowStatusLine(PageSupport::ReadFailureText(model->LastUsbTypeCInfoStatus()));
    }
    LaunchUsbPageLabelsVisible(true);
  }
}

void USBTypeCPage::UpdateUIWithTypeCDataAvailable() {
  const OperationLog log("UpdateUIWithTypeCDataAvailable");
  if (m_titleBar) m_titleBar->EnableProgressRing(false);
  LaunchUsbPageLabelsVisible(true);
  std::unique_ptr<char16_t[]> pUsbTypeCData(new (std::nothrow) char16_t[kUsbTypeCDataSize]());
  if (!pUsbTypeCData) {
    log.Line(QStringLiteral("pUsbTypeCData creation failed"), LoggingLevel::Error);
    return;
  }
  MainViewModel::GetInstance()->GetUsbTypeCInfo(pUsbTypeCData.get(), kUsbTypeCDataCapacity);
  UpdateUI(pUsbTypeCData.get());
}

// ---- The record ---------------------------------------------------------------------------

void USBTypeCPage::ParseUSBTypeCInfo(const char16_t* text, const QString& delimiter, QStringList& out) {
  const OperationLog log("ParseUSBTypeCInfo");
  out.append(Parsing::SplitFields(text, delimiter));
}

void USBTypeCPage::UpdateUI(const char16_t* record) {
  QString generation;
  PageSupport::OperationLine(kPage, "UpdateUI",
                             QStringLiteral(" Invalid USB Device Genertion Value In the begginning : ") + generation);
  const OperationLog log("UpdateUI");
  if (record == nullptr) {
    log.Line(QStringLiteral("USBTypeC Data = NULL"), LoggingLevel::Error);
    return;
  }
  log.Line(QStringLiteral("Complete USB Type C Info : ") + QString::fromUtf16(record));
  QStringList fields;
  ParseUSBTypeCInfo(record, Parsing::kRecordSeparator, fields);
  log.Line(QStringLiteral("Complete USB Type C Info Strings Count: %1").arg(fields.size()));
  if (fields.size() != Parsing::kUsbTypeCFields) {
    log.Line(QStringLiteral("Invalid USB Type C details returned."));
    return;
  }
  if (CurrentCoreWindow() == nullptr) {
    log.NoCoreWindow();
    return;
  }

  if (Parsing::HasValue(fields[0])) {
    QStringList parts;
    // utf16() is zero-terminated.
    ParseUSBTypeCInfo(reinterpret_cast<const char16_t*>(fields[0].utf16()), Parsing::kUsbDevicesSeparator, parts);
    log.Line(QStringLiteral(" After parsing USB Devices Data, Count: %1").arg(parts.size()));
    QString device;
    if (parts.size() == 2) {
      device = parts[0];
      generation = parts[1];
    }
    log.Line(QStringLiteral(" usbDeviceValue : ") + device + QStringLiteral(" Length : ") +
             QString::number(device.size()));
    log.Line(QStringLiteral(" USBDeviceGeneration : ") + generation + QStringLiteral(" Length : ") +
             QString::number(generation.size()));
    const QString key = Parsing::GenerationKey(generation);
    if (!key.isEmpty()) {
      generation = ResourceString(key);
      log.Line(QStringLiteral(" usbResourceValue : ") + generation);
    }
    const QString devices = Parsing::UsbDevicesText(device, generation);
    log.Line(QStringLiteral(" USBDevices Value : ") + devices);
    m_ui->UsbDevicesValue->SetText(devices);
  }

  ValueBox* const supportBoxes[] = {m_ui->ThunderboltValue, m_ui->DisplayPortValue, m_ui->PowerProviderValue,
                                    m_ui->PowerConsumerValue};
  for (qsizetype i = 0; i < qsizetype(std::size(supportBoxes)); ++i) {
    const QString& field = fields[i + 1];
    const QString text = CheckSupportStatus(field);
    if (Parsing::HasValue(field)) supportBoxes[i]->SetText(text);
  }

  const QString& maxPower = fields[5];
  if (Parsing::HasValue(maxPower)) {
    m_ui->MaxPowerOutputValue->SetText(maxPower);
    log.Line(QStringLiteral(" usbTypeCData size : %1").arg(maxPower.size()));
  }
}

QString USBTypeCPage::CheckSupportStatus(const QString& value) {
  const OperationLog log("CheckSupportStatus");
  if (CurrentCoreWindow() == nullptr) {
    log.NoCoreWindow();
    return {};
  }
  return ResourceString(Parsing::SupportKey(value));
}

void USBTypeCPage::LaunchUsbPageLabelsVisible(bool visible) {
  const OperationLog log("LaunchUsbPageLabelsVisible");
  for (const auto& row : FactRows()) row.caption->setVisible(visible);
  m_ui->UsbDataHeadingLabel->setVisible(visible);
  m_ui->UsbPowerHeadingLabel->setVisible(visible);
}

// ---- Keys and buttons ---------------------------------------------------------------------

void USBTypeCPage::SelectionOnTab(ValueBox* sender, QKeyEvent* e) {
  const OperationLog log("SelectionOnTab");
  // Shift+Tab comes as a key of its own; it navigates as Tab does.
  const QLatin1String key(QMetaEnum::fromType<Qt::Key>().valueToKey(e->key()));
  if (key == QLatin1String("Key_Tab") || key == QLatin1String("Key_Backtab")) {
    // Not marked handled: the box's own focus navigation goes on as usual. (Marking it
    // ignored instead would hand the key on to the parent, which would move focus again.)
    sender->selectAll();
  } else {
    e->accept();
  }
}

void USBTypeCPage::KeyboardKeyDownEvent(ValueBox* sender, QKeyEvent* e) {
  const OperationLog log("KeyboardKeyDownEvent");
  SelectionOnTab(sender, e);
}

void USBTypeCPage::KeyboardKeyUpEvent(ValueBox* sender, QKeyEvent* e) {
  const OperationLog log("KeyboardKeyUpEvent");
  SelectionOnTab(sender, e);
}

void USBTypeCPage::Back_Click() {
  const OperationLog log("Back_Click");
  app_runtime::Window* window = CurrentCoreWindow();
  auto* frame = window != nullptr ? qobject_cast<app_runtime::Frame*>(window->Content()) : nullptr;
  if (frame == nullptr) {
    log.Line(QStringLiteral("Back Button UI casting failed"), LoggingLevel::Error);
    return;
  }
  if (!frame->CanGoBack()) return;
  RemoveCustomTitleBar();
  frame->GoBack();
}

}  // namespace Korvo_Tallisk

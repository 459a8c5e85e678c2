#include "app/pages/main_page.h"

#include <iterator>
#include <new>

#include <QKeyEvent>
#include <QMetaEnum>
#include <QShowEvent>

#include "app/data/main_view_model.h"
#include "app/pages/custom_title_bar.h"
#include "app/pages/page_parsing.h"
#include "app/pages/usb_type_c_page.h"
#include "app/runtime/frame.h"
#include "app/runtime/task.h"
#include "app/runtime/value_box.h"
#include "app/runtime/window.h"
#include "platform/debug.h"
#include "ui_main_page.h"

namespace Korvo_Tallisk {

using app_runtime::LoggingLevel;
using app_runtime::ValueBox;
using PageSupport::CurrentCoreWindow;
using PageSupport::ResourceString;

namespace {

constexpr const char* kPage = "MainPage";
constexpr int kMinWidth = 640;
constexpr int kMinHeight = 460;
// The record's buffer; its last character always stays zero.
constexpr std::size_t kSysDataSize = 1000;
constexpr std::size_t kSysDataCapacity = kSysDataSize - 1;

class OperationLog : public PageSupport::OperationLog {
 public:
  explicit OperationLog(const char* operation) : PageSupport::OperationLog(kPage, operation) {}
};

QString BoolText(bool value) {
  return value ? QStringLiteral("true") : QStringLiteral("false");
}

}  // namespace

MainPage::MainPage(QWidget* parent) : app_runtime::Page(parent), m_ui(std::make_unique<Ui::MainPage>()) {
  const OperationLog log("MainPage");
  platform::OutputDebugString(L"KorvoSYS MainPage::MainPage()");
  setObjectName(QStringLiteral("MainPage"));

  auto* content = new QWidget;
  m_ui->setupUi(content);
  SetContent(content);
  PageSupport::SetCaptions(FactRows());
  m_ui->UsbTypeCButton->setText(ResourceString(QStringLiteral("UsbTypeCButton/Content")));
  m_ui->AdvancedButton->setText(ResourceString(QStringLiteral("AdvancedButton/Content")));
  for (ValueBox* box : {m_ui->ProductNameValue, m_ui->SkuValue, m_ui->BuildIdValue, m_ui->MemoryValue,
                        m_ui->ProcessorValue, m_ui->BiosVersionValue, m_ui->BoardVersionValue, m_ui->SerialNumberValue,
                        m_ui->FeatureByteValue, m_ui->BiosPasswordValue}) {
    connect(box, &ValueBox::KeyDown, this, &MainPage::KeyboardKeyDownEvent);
    connect(box, &ValueBox::KeyUp, this, &MainPage::KeyboardKeyUpEvent);
  }
  connect(m_ui->UsbTypeCButton, &QPushButton::clicked, this, &MainPage::USBType_Click);
  connect(m_ui->AdvancedButton, &QPushButton::clicked, this, &MainPage::Advanced_Click);
  PageSupport::AddCopyActions(*this, [this] { return FactRows(); });
  log.Line(QStringLiteral("Application Started"), LoggingLevel::Information);

  app_runtime::Window* window = CurrentCoreWindow();
  if (window != nullptr) {
    window->SetPreferredMinSize(kMinWidth, kMinHeight);
    window->SetPreferredLaunchViewSize(QSize(kMinWidth, kMinHeight));
    window->SetPreferredLaunchWindowingMode(app_runtime::ApplicationViewWindowingMode::PreferredLaunchViewSize);
  } else {
    log.NoCoreWindow();
  }
  log.Line(QStringLiteral("Application Launch Window Size = %1 x %2").arg(kMinWidth).arg(kMinHeight));

  AddCustomTitleBar();
  LaunchSysLabelsVisible(false);
}

MainPage::~MainPage() = default;

std::vector<PageSupport::FactRow> MainPage::FactRows() const {
  const auto row = PageSupport::Row;
  return {
      row("ProductNameLabel/Text", m_ui->ProductNameLabel, m_ui->ProductNameValue),
      row("SkuLabel/Text", m_ui->SkuLabel, m_ui->SkuValue),
      row("BuildIdLabel/Text", m_ui->BuildIdLabel, m_ui->BuildIdValue),
      row("MemoryLabel/Text", m_ui->MemoryLabel, m_ui->MemoryValue),
      row("ProcessorLabel/Text", m_ui->ProcessorLabel, m_ui->ProcessorValue),
      row("BiosVersionLabel/Text", m_ui->BiosVersionLabel, m_ui->BiosVersionValue),
      row("BoardVersionLabel/Text", m_ui->BoardVersionLabel, m_ui->BoardVersionValue),
      row("SerialNumberLabel/Text", m_ui->SerialNumberLabel, m_ui->SerialNumberValue),
      row("FeatureByteLabel/Text", m_ui->FeatureByteLabel, m_ui->FeatureByteValue),
      row("BiosPasswordLabel/Text", m_ui->BiosPasswordLabel, m_ui->BiosPasswordValue),
  };
}

QString MainPage::ShownFactsText(bool english) const {
  return PageSupport::ShownFactsText(*this, FactRows(), english);
}

void MainPage::showEvent(QShowEvent* event) {
  app_runtime::Page::showEvent(event);
  // A page put on screen is a loaded one; the desktop's own show events (a minimised
  // window restored) are not.
  if (!event->spontaneous()) MainWindow_Loaded();
}

void MainPage::MainWindow_Loaded() {
  const OperationLog log("MainWindow_Loaded");
}

// ---- Title bar ----------------------------------------------------------------------------

void MainPage::AddCustomTitleBar() {
  const OperationLog log("AddCustomTitleBar");
  if (!m_titleBar) {
    m_titleBar = PageSupport::WrapInTitleBar(*this);
  } else if (app_runtime::Window* window = CurrentCoreWindow()) {
    window->CoreTitleBar()->SetExtendViewIntoTitleBar(true);
  }
}

void MainPage::RemoveCustomTitleBar() {
  const OperationLog log("RemoveCustomTitleBar");
  if (!m_titleBar) return;
  m_titleBar->EnableProgressRing(false);
  PageSupport::UnwrapTitleBar(*this, m_titleBar);
  m_titleBar = nullptr;
}

// ---- Navigation and the background read ---------------------------------------------------

void MainPage::OnNavigatedTo(const app_runtime::NavigationEventArgs& e) {
  platform::OutputDebugString(L"KorvoSYS MainPage::OnNavigatedTo()");
  const OperationLog log("OnNavigatedTo");
  log.Line(QStringLiteral("Inside MainPage::OnNavigatedTo"));
  app_runtime::Page::OnNavigatedTo(e);

  const auto model = MainViewModel::GetInstance();
  const bool readCompleted = model->IsSysInfoReadCompleted();
  const bool connected = model->IsRpcConnectionInitialised();
  const QString parameter = e.Parameter().toString();

  if (!parameter.isEmpty()) {
    log.Line(QStringLiteral("Launching from Hotkey"));
    model->InitialiseRpcConnection();
    if (m_titleBar) m_titleBar->EnableProgressRing(false);
    LaunchSysLabelsVisible(true);
    UpdateUI(parameter);
  } else if (readCompleted && connected) {
    log.Line(QStringLiteral("Already Sysinfo read completed and updateUI with preloaded sysdata"));
    UpdateUIWithSysDataAvailable();
  } else {
    log.Line(QStringLiteral("UpdateSysInfoDetails"));
    UpdateSysInfoDetails(e);
  }
}

void MainPage::UpdateSysInfoDetails(const app_runtime::NavigationEventArgs&) {
  const OperationLog log("UpdateSysInfoDetails");
  if (CurrentCoreWindow() == nullptr) {
    log.NoCoreWindow();
    return;
  }
  PageSupport::ReadThenOnUiThread(
      *this,
      [] {
        PageSupport::OperationLine(kPage, "UpdateSysInfoDetails", QStringLiteral("UpdateUIDetails()-create_task"));
        MainViewModel::GetInstance()->ReadSysInfoDetailsAsync();
      },
      [this] { SysInfoReadEnded(); });
}

void MainPage::SysInfoReadEnded() {
  const auto line = [](const QString& text) { PageSupport::OperationLine(kPage, "UpdateSysInfoDetails", text); };
  line(QStringLiteral("UpdateUIDetails()-RunAsync"));
  const auto model = MainViewModel::GetInstance();
  if (model->IsSysInfoReadCompleted() && model->IsRpcConnectionInitialised()) {
    line(QStringLiteral("UpdateSysInfoDetails - success"));
    if (m_titleBar) m_titleBar->ClearStatusLine();
    UpdateUIWithSysDataAvailable();
  } else {
    line(QStringLiteral("UpdateSysInfoDetails failed from RpcClient"));
    if (m_titleBar) {
      m_titleBar->EnableProgressRing(false);
      m_titleBar->ShowStatusLine(PageSupport::ReadFailureText(model->LastSysInfoStatus()));
    }
    LaunchSysLabelsVisible(true);
  }
}

void MainPage::UpdateUIWithSysDataAvailable() {
  const OperationLog log("UpdateUIWithSysDataAvailable");
  if (m_titleBar) m_titleBar->EnableProgressRing(false);
  LaunchSysLabelsVisible(true);
  std::unique_ptr<char16_t[]> pSysData(new (std::nothrow) char16_t[kSysDataSize]());
  if (!pSysData) {
    log.Line(QStringLiteral("pSysData creation failed"), LoggingLevel::Error);
    return;
  }
  MainViewModel::GetInstance()->GetSysInfo(pSysData.get(), kSysDataCapacity);
  UpdateUI(QString::fromUtf16(pSysData.get()));
}

// ---- The record ---------------------------------------------------------------------------

void MainPage::ParseSystemInfo(const QString& text, const QString& delimiter, QStringList& out) {
  const OperationLog log("ParseSystemInfo");
  log.Line(QStringLiteral("Full String : ") + text);
  log.Line(QStringLiteral("Delimiter : ") + delimiter);
  out.append(Parsing::SplitFields(text, delimiter));
  for (qsizetype i = 0; i < out.size(); ++i) log.Line(QStringLiteral("SplitString [%1] = ").arg(i) + out[i]);
}

void MainPage::UpdateUI(const QString& record) {
  const OperationLog log("UpdateUI");
  log.Line(QStringLiteral("Complete Sys Info : ") + record);
  QStringList fields;
  ParseSystemInfo(record, Parsing::kRecordSeparator, fields);
  log.Line(QStringLiteral("Split String Count = %1").arg(fields.size()), LoggingLevel::Information);
  if (fields.size() != Parsing::kTenFields && fields.size() != Parsing::kElevenFields) {
    log.Line(QStringLiteral("Required Number of required Sys Info Components are not present when parsed with new "
                            "separator(<.^.>)"),
             LoggingLevel::Warning);
    log.Line(QStringLiteral("Retrying parsing with old separator (,)"), LoggingLevel::Information);
    fields.clear();
    ParseSystemInfo(record, Parsing::kOldRecordSeparator, fields);
    log.Line(QStringLiteral("Split String Count = %1").arg(fields.size()), LoggingLevel::Information);
    if (fields.size() < Parsing::kTenFields) {
      log.Line(QStringLiteral("Required Number of required Sys Info Components are not correct/present when parsed "
                              "with new separator"),
               LoggingLevel::Error);
      return;
    }
  }

  ValueBox* const boxes[] = {m_ui->ProductNameValue,  m_ui->SkuValue,          m_ui->BuildIdValue,
                             m_ui->MemoryValue,       m_ui->ProcessorValue,    m_ui->BiosVersionValue,
                             m_ui->BoardVersionValue, m_ui->SerialNumberValue, m_ui->FeatureByteValue};
  for (qsizetype i = 0; i < qsizetype(std::size(boxes)); ++i) {
    ValueBox* box = boxes[i];
    const QString& field = fields[i];
    box->SetTextWrapping(true);
    if (!Parsing::HasValue(field)) continue;
    if (box != m_ui->MemoryValue) {
      box->SetText(field);
    } else if (CurrentCoreWindow() == nullptr) {
      log.NoCoreWindow();
    } else if (const auto memory = Parsing::MemoryText(field, ResourceString(QStringLiteral("Usable/Text")))) {
      box->SetText(*memory);
    }
  }

  const Parsing::RecordShape shape = Parsing::ShapeOfRecord(fields.size());
  if (shape.passwordRow == Parsing::PasswordRow::Collapse) {
    m_ui->BiosPasswordValue->setVisible(false);
    m_ui->BiosPasswordLabel->setVisible(false);
  } else if (shape.passwordRow == Parsing::PasswordRow::Show) {
    m_ui->BiosPasswordLabel->setVisible(true);
    m_ui->BiosPasswordValue->setVisible(true);
    m_ui->BiosPasswordValue->SetTextWrapping(true);
    const QString& password = fields[*shape.passwordIndex];
    if (Parsing::HasValue(password)) m_ui->BiosPasswordValue->SetText(GetBiosPasswordStatus(password));
  }
  const QString usbTypeCValue = shape.usbTypeCIndex ? fields[*shape.usbTypeCIndex] : QString();
  m_ui->UsbTypeCButton->setVisible(GetUsbTypeCStatus(usbTypeCValue));
  m_ui->AdvancedButton->setVisible(true);
}

QString MainPage::GetBiosPasswordStatus(const QString& field) {
  const OperationLog log("GetBiosPasswordStatus");
  log.Line(QStringLiteral("BIOS Password Status (Input) : ") + field);
  QString status;
  if (CurrentCoreWindow() == nullptr) {
    log.NoCoreWindow();
  } else {
    log.Converted([&] {
      const std::int32_t number = Parsing::ToInt32(field);
      log.Line(QStringLiteral("Split String Count = %1").arg(number), LoggingLevel::Information);
      status = ResourceString(Parsing::BiosPasswordKey(number));
    });
  }
  log.Line(QStringLiteral("BIOS Password Status (Output) : ") + status);
  return status;
}

bool MainPage::GetUsbTypeCStatus(const QString& field) {
  const OperationLog log("GetUsbTypeCStatus");
  log.Line(QStringLiteral("USB Type C Status (Input) : ") + field);
  bool supported = false;
  log.Converted([&] {
    const Parsing::UsbTypeCSupport support = Parsing::ReadUsbTypeCSupport(field);
    if (support.number) {
      log.Line(QStringLiteral("Converted Number = %1").arg(*support.number), LoggingLevel::Information);
    }
    supported = support.supported;
  });
  log.Line(QStringLiteral("USB Type C Status (Output) : ") + BoolText(supported));
  return supported;
}

void MainPage::LaunchSysLabelsVisible(bool visible) {
  const OperationLog log("LaunchSysLabelsVisible");
  for (const auto& row : FactRows()) row.caption->setVisible(visible);
  if (!visible) {
    m_ui->UsbTypeCButton->setVisible(false);
    m_ui->AdvancedButton->setVisible(false);
  }
}

// ---- Keys and buttons ---------------------------------------------------------------------

void MainPage::SelectionOnTab(ValueBox* sender, QKeyEvent* e) {
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

void MainPage::KeyboardKeyDownEvent(ValueBox* sender, QKeyEvent* e) {
  const OperationLog log("KeyboardKeyDownEvent");
  SelectionOnTab(sender, e);
}

void MainPage::KeyboardKeyUpEvent(ValueBox* sender, QKeyEvent* e) {
  const OperationLog log("KeyboardKeyUpEvent");
  SelectionOnTab(sender, e);
}

void MainPage::Advanced_Click() {
  const OperationLog log("Advanced_Click");
  // Nobody waits for the outcome; the view model logs it.
  app_runtime::create_task([] { MainViewModel::GetInstance()->LaunchSysInfo(); });
}

void MainPage::USBType_Click() {
  const OperationLog log("USBType_Click");
  app_runtime::Window* window = CurrentCoreWindow();
  auto* frame = window != nullptr ? qobject_cast<app_runtime::Frame*>(window->Content()) : nullptr;
  std::unique_ptr<app_runtime::Frame> detached;
  if (frame == nullptr) {
    // Not the app's frame: the page opens in a frame that nobody shows, and goes with it.
    detached = std::make_unique<app_runtime::Frame>();
    frame = detached.get();
  }
  frame->Navigate([] { return std::make_unique<USBTypeCPage>(); }, QVariant(), QLatin1String(USBTypeCPage::kTypeName));
}

}  // namespace Korvo_Tallisk

// The main page as a user and the app's log see it, offscreen.
#include "app/pages/main_page.h"

#include <thread>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "app/pages/custom_title_bar.h"
#include "app/pages/page_test_support.h"
#include "app/pages/usb_type_c_page.h"
#include "app/runtime/app_data.h"
#include "app/runtime/frame.h"
#include "app/runtime/progress_ring.h"
#include "app/runtime/window.h"
#include "app/testing/ui_test.h"

namespace Korvo_Tallisk {
namespace {

using app_runtime::Frame;
using app_runtime::ValueBox;
using app_runtime::Window;
using testing::Child;
using testing::Language;
using testing::LogCapture;
using testing::R;
using testing::Shown;
using testing::Text;

constexpr const char* kTag = "Korvo_Tallisk::MainPage::";

// The eleven-field record of a machine with every fact present.
const QString kExample = QStringLiteral(
    "Model X<.^.>SKU1#ABA<.^.>21WWCBAU6aq#SABA#DABA<.^.>16.00 GB (15.73 GB usable)<.^.>Processor Y<.^.>"
    "V1.02.03 - 01/15/2021<.^.>30.2A.00<.^.>SN0001<.^.>3X47aq<.^.>0x1<.^.>yes");

const char* const kValues[] = {"ProductNameValue", "SkuValue",         "BuildIdValue",      "MemoryValue",
                               "ProcessorValue",   "BiosVersionValue", "BoardVersionValue", "SerialNumberValue",
                               "FeatureByteValue", "BiosPasswordValue"};
const char* const kLabels[] = {"ProductNameLabel", "SkuLabel",         "BuildIdLabel",      "MemoryLabel",
                               "ProcessorLabel",   "BiosVersionLabel", "BoardVersionLabel", "SerialNumberLabel",
                               "FeatureByteLabel", "BiosPasswordLabel"};
const QString kDefault = QStringLiteral("\u2014");

std::string Line(const char* level, const char* operation, const char* text) {
  return std::string(level) + "|" + kTag + operation + text;
}

QString Record(const QStringList& fields, const QString& separator = QStringLiteral("<.^.>")) {
  return fields.join(separator);
}

// What the page shows: every value's text and which values, labels and buttons are shown.
QStringList State(const MainPage& page) {
  QStringList state;
  for (const char* value : kValues) state << Text(page, value) << QString::number(Shown(page, value));
  for (const char* label : kLabels) state << QString::number(Shown(page, label));
  state << QString::number(Shown(page, "UsbTypeCButton")) << QString::number(Shown(page, "AdvancedButton"));
  return state;
}

class MainPageTest : public app_runtime::testing::UiTest {
 protected:
  static void SetUpTestSuite() {
    // The app's log writes into a data folder of its own from the first line on.
    static platform::testing::TempDir data;
    app_runtime::ApplicationData::UseRoot(QString::fromStdString(data.path().string()));
    app_runtime::ResourceContext::SetLanguageForTesting(QStringLiteral("en"));
  }

  // A page in the window's frame, navigated to with `parameter`.
  MainPage* Navigate(const QVariant& parameter) {
    if (frame_ == nullptr) {
      frame_ = new Frame;
      Window::Current().SetContent(frame_);
    }
    EXPECT_TRUE(
        frame_->Navigate([] { return std::make_unique<MainPage>(); }, parameter, QLatin1String(MainPage::kTypeName)));
    return qobject_cast<MainPage*>(frame_->Content());
  }

  LogCapture log_;
  Frame* frame_ = nullptr;
};

TEST_F(MainPageTest, ANewPageHidesLabelsAndButtonsAndWrapsItsContentInTheTitleBar) {
  MainPage page;
  for (const char* label : kLabels) EXPECT_FALSE(Shown(page, label)) << label;
  EXPECT_FALSE(Shown(page, "UsbTypeCButton"));
  EXPECT_FALSE(Shown(page, "AdvancedButton"));
  for (const char* value : kValues) EXPECT_EQ(Text(page, value), kDefault) << value;
  ASSERT_NE(page.TitleBar(), nullptr);
  EXPECT_EQ(page.Content(), page.TitleBar());
  EXPECT_TRUE(page.TitleBar()->isAncestorOf(Child(page, "ProductNameValue")));
  auto* ring = Child<app_runtime::ProgressRing>(page, "StatusProgressRing");
  ASSERT_NE(ring, nullptr);
  EXPECT_TRUE(ring->IsActive()) << "the ring runs until a record or a failure arrives";
  EXPECT_EQ(Window::Current().PreferredMinSize(), QSize(640, 460));
  EXPECT_EQ(Window::Current().PreferredLaunchViewSize(), QSize(640, 460));
  EXPECT_EQ(Child<QLabel>(page, "SerialNumberLabel")->text(), R("SerialNumberLabel/Text"));
  EXPECT_FALSE(R("SerialNumberLabel/Text").isEmpty());
  EXPECT_TRUE(DebugOutput().contains(QStringLiteral("KorvoSYS MainPage::MainPage()")));
  const int entry = log_.Find(Line("Verbose", "MainPage", "Entry"));
  const int started = log_.Find(Line("Information", "MainPage", "Application Started"));
  const int size = log_.Find(Line("Verbose", "MainPage", "Application Launch Window Size = 640 x 460"));
  const int exit = log_.Find(Line("Verbose", "MainPage", "Exit"));
  EXPECT_TRUE(entry >= 0 && entry < started && started < size && size < exit) << log_.Text();
}

TEST_F(MainPageTest, TheElevenFieldExampleFillsEveryValueAndShowsThePasswordRowAndBothButtons) {
  MainPage page;
  page.LaunchSysLabelsVisible(true);
  page.UpdateUI(kExample);
  EXPECT_EQ(Text(page, "ProductNameValue"), QStringLiteral("Model X"));
  EXPECT_EQ(Text(page, "SkuValue"), QStringLiteral("SKU1#ABA"));
  EXPECT_EQ(Text(page, "BuildIdValue"), QStringLiteral("21WWCBAU6aq#SABA#DABA"));
  EXPECT_EQ(Text(page, "MemoryValue"), QStringLiteral("16.00 GB (15.73 GB ") + R("Usable/Text") + u')');
  EXPECT_EQ(Text(page, "ProcessorValue"), QStringLiteral("Processor Y"));
  EXPECT_EQ(Text(page, "BiosVersionValue"), QStringLiteral("V1.02.03 - 01/15/2021"));
  EXPECT_EQ(Text(page, "BoardVersionValue"), QStringLiteral("30.2A.00"));
  EXPECT_EQ(Text(page, "SerialNumberValue"), QStringLiteral("SN0001"));
  EXPECT_EQ(Text(page, "FeatureByteValue"), QStringLiteral("3X47aq"));
  EXPECT_EQ(Text(page, "BiosPasswordValue"), R("BiosCredentialValuePassword/Text"));
  EXPECT_FALSE(R("BiosCredentialValuePassword/Text").isEmpty());
  EXPECT_TRUE(Shown(page, "BiosPasswordLabel"));
  EXPECT_TRUE(Shown(page, "BiosPasswordValue"));
  EXPECT_TRUE(Shown(page, "UsbTypeCButton"));
  EXPECT_TRUE(Shown(page, "AdvancedButton"));
  EXPECT_TRUE(log_.Has(Line("Information", "UpdateUI", "Split String Count = 11")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "ParseSystemInfo", "SplitString [7] = SN0001")));
  EXPECT_FALSE(log_.Has(Line("Information", "UpdateUI", "Retrying parsing with old separator (,)")));
}

TEST_F(MainPageTest, TenFieldRecordsHideThePasswordRowAndReadTheUsbValueFromField10) {
  MainPage page;
  page.UpdateUI(kExample);  // the password row shown first
  struct Case {
    const char* usb;
    bool button;
  };
  for (const Case& c : {Case{"0x1", true}, Case{"0x2", false}, Case{"0x0", false}}) {
    page.UpdateUI(Record({"M", "S", "B", "8 GB", "P", "V", "Bo", "SN2", "F", QString::fromLatin1(c.usb)}));
    EXPECT_FALSE(Shown(page, "BiosPasswordLabel")) << c.usb;
    EXPECT_FALSE(Shown(page, "BiosPasswordValue")) << c.usb;
    EXPECT_EQ(Shown(page, "UsbTypeCButton"), c.button) << c.usb;
    EXPECT_TRUE(Shown(page, "AdvancedButton")) << c.usb;
    EXPECT_EQ(Text(page, "SerialNumberValue"), QStringLiteral("SN2"));
  }
  EXPECT_EQ(Text(page, "BiosPasswordValue"), R("BiosCredentialValuePassword/Text")) << "the hidden row keeps its text";
}

TEST_F(MainPageTest, RecordsTheNewSeparatorDoesNotSplitInto10Or11FieldsAreSplitAtCommas) {
  // Nine fields by the new separator, ten by commas: the comma split is shown.
  MainPage nine;
  nine.UpdateUI(QStringLiteral("a,b,c,d,e,f,g,h,i,j<.^.>x<.^.>x<.^.>x<.^.>x<.^.>x<.^.>x<.^.>x<.^.>x"));
  EXPECT_TRUE(log_.Has(Line("Information", "UpdateUI", "Split String Count = 9")));
  EXPECT_TRUE(log_.Has(Line("Warning", "UpdateUI",
                            "Required Number of required Sys Info Components are not present when parsed with new "
                            "separator(<.^.>)")));
  EXPECT_TRUE(log_.Has(Line("Information", "UpdateUI", "Retrying parsing with old separator (,)")));
  EXPECT_TRUE(log_.Has(Line("Information", "UpdateUI", "Split String Count = 10")));
  EXPECT_EQ(Text(nine, "ProductNameValue"), QStringLiteral("a"));
  EXPECT_EQ(Text(nine, "FeatureByteValue"), QStringLiteral("i"));
  EXPECT_FALSE(Shown(nine, "UsbTypeCButton")) << "field 10 is no number";
  EXPECT_TRUE(log_.Has(Line("Critical", "GetUsbTypeCStatus", "Bad input: std::invalid_argument thrown")));

  // Twelve fields by the new separator and none by commas: refused.
  log_.Clear();
  MainPage twelve;
  const QStringList before = State(twelve);
  twelve.UpdateUI(Record({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"}));
  EXPECT_TRUE(log_.Has(Line("Information", "UpdateUI", "Split String Count = 12")));
  EXPECT_TRUE(log_.Has(Line("Information", "UpdateUI", "Retrying parsing with old separator (,)")));
  EXPECT_EQ(State(twelve), before);
}

TEST_F(MainPageTest, AnOldTenFieldCommaRecordIsShown) {
  MainPage page;
  page.UpdateUI(QStringLiteral("Model Z,SKU9,BID9,8.00 GB (7.80 GB usable),Proc Z,V9 - 02/02/2020,B9,SN9,FB9,0x1"));
  EXPECT_EQ(Text(page, "ProductNameValue"), QStringLiteral("Model Z"));
  EXPECT_EQ(Text(page, "MemoryValue"), QStringLiteral("8.00 GB (7.80 GB ") + R("Usable/Text") + u')');
  EXPECT_EQ(Text(page, "SerialNumberValue"), QStringLiteral("SN9"));
  EXPECT_EQ(Text(page, "FeatureByteValue"), QStringLiteral("FB9"));
  EXPECT_FALSE(Shown(page, "BiosPasswordLabel"));
  EXPECT_FALSE(Shown(page, "BiosPasswordValue"));
  EXPECT_TRUE(Shown(page, "UsbTypeCButton"));
  EXPECT_TRUE(Shown(page, "AdvancedButton"));
}

TEST_F(MainPageTest, ATextWithoutEitherSeparatorIsRefusedAndThePageStaysAsItWas) {
  MainPage page;
  page.LaunchSysLabelsVisible(true);
  page.UpdateUI(kExample);
  const QStringList before = State(page);
  log_.Clear();
  page.UpdateUI(QStringLiteral("?no record here"));
  EXPECT_EQ(State(page), before);
  const int error = log_.Find(Line("Error", "UpdateUI",
                                   "Required Number of required Sys Info Components are not correct/present when "
                                   "parsed with new separator"));
  ASSERT_GE(error, 0) << log_.Text();
  EXPECT_EQ(log_.Find(Line("Verbose", "UpdateUI", "Exit"), error), error + 1);
  EXPECT_FALSE(log_.Has(Line("Verbose", "GetUsbTypeCStatus", "Entry")));

  // An empty text is one empty field: refused alike.
  page.UpdateUI(QString());
  EXPECT_EQ(State(page), before);
}

TEST_F(MainPageTest, ACommaSplitOfTwelveOrMoreFieldsShowsByPositionKeepsThePasswordRowAndHidesTheButton) {
  MainPage page;
  page.UpdateUI(kExample);
  ASSERT_TRUE(Shown(page, "UsbTypeCButton"));
  // A new-format record whose values hold commas, split by a service that did not use
  // the new separator.
  page.UpdateUI(QStringLiteral("Model, X,SKU,B,16 GB (15 GB usable),Proc, 4 cores,V1 - d,Bo,SN7,F,0x0,yes"));
  EXPECT_TRUE(log_.Has(Line("Information", "UpdateUI", "Split String Count = 13")));
  EXPECT_EQ(Text(page, "ProductNameValue"), QStringLiteral("Model"));
  EXPECT_EQ(Text(page, "SkuValue"), QStringLiteral(" X"));
  EXPECT_EQ(Text(page, "MemoryValue"), QStringLiteral("16.00 GB (15.73 GB usable)")) << "B has no usable";
  EXPECT_EQ(Text(page, "ProcessorValue"), QStringLiteral("16 GB (15 GB usable)"));
  EXPECT_EQ(Text(page, "SerialNumberValue"), QStringLiteral("V1 - d"));
  EXPECT_EQ(Text(page, "FeatureByteValue"), QStringLiteral("Bo"));
  EXPECT_TRUE(Shown(page, "BiosPasswordLabel")) << "the row keeps its state";
  EXPECT_TRUE(Shown(page, "BiosPasswordValue"));
  EXPECT_EQ(Text(page, "BiosPasswordValue"), R("BiosCredentialValuePassword/Text"));
  EXPECT_FALSE(Shown(page, "UsbTypeCButton"));
  EXPECT_TRUE(Shown(page, "AdvancedButton"));

  // The same from a ten-field record: the hidden row stays hidden.
  page.UpdateUI(Record({"M", "S", "B", "8 GB", "P", "V", "Bo", "SN2", "F", "0x1"}));
  page.UpdateUI(QStringLiteral("a,b,c,d,e,f,g,h,i,j,k,l,m"));
  EXPECT_FALSE(Shown(page, "BiosPasswordLabel"));
  EXPECT_FALSE(Shown(page, "UsbTypeCButton"));
}

TEST_F(MainPageTest, NullAndEmptyFieldsKeepTheTextAndASpaceIsShown) {
  MainPage page;
  page.UpdateUI(Record({"null", "", " ", "null", "", "V", "null", "SN1", " ", "null", "null"}));
  EXPECT_EQ(Text(page, "ProductNameValue"), kDefault);
  EXPECT_EQ(Text(page, "SkuValue"), kDefault);
  EXPECT_EQ(Text(page, "BuildIdValue"), QStringLiteral(" "));
  EXPECT_EQ(Text(page, "MemoryValue"), kDefault);
  EXPECT_EQ(Text(page, "ProcessorValue"), kDefault);
  EXPECT_EQ(Text(page, "BoardVersionValue"), kDefault);
  EXPECT_EQ(Text(page, "FeatureByteValue"), QStringLiteral(" "));
  EXPECT_EQ(Text(page, "BiosPasswordValue"), kDefault);
  EXPECT_TRUE(Shown(page, "BiosPasswordValue"));
  EXPECT_FALSE(log_.Has(Line("Verbose", "GetBiosPasswordStatus", "Entry"))) << "a null password is not mapped";

  // A field that was shown stays when the next record does not carry it.
  page.UpdateUI(kExample);
  page.UpdateUI(Record({"null", "", "null", "null", "null", "null", "null", "null", "null", "null", "yes"}));
  EXPECT_EQ(Text(page, "ProductNameValue"), QStringLiteral("Model X"));
  EXPECT_EQ(Text(page, "SerialNumberValue"), QStringLiteral("SN0001"));
}

TEST_F(MainPageTest, MemoryIsShownOnlyWithUsableWhichReadsInTheViewsLanguage) {
  const Language german("de");
  ASSERT_NE(R("Usable/Text"), QStringLiteral("usable")) << "the German text differs";
  MainPage page;
  page.UpdateUI(Record({"M", "S", "B", "8.00 GB (7.80 GB usable)", "P", "V", "Bo", "SN", "F", "0x0", "0x0"}));
  EXPECT_EQ(Text(page, "MemoryValue"), QStringLiteral("8.00 GB (7.80 GB ") + R("Usable/Text") + u')');
  page.UpdateUI(Record({"M", "S", "B", "8 GB", "P", "V", "Bo", "SN", "F", "0x0", "0x0"}));
  EXPECT_EQ(Text(page, "MemoryValue"), QStringLiteral("8.00 GB (7.80 GB ") + R("Usable/Text") + u')')
      << "a memory field without usable leaves the box as it was";
  MainPage fresh;
  fresh.UpdateUI(Record({"M", "S", "B", "8 GB", "P", "V", "Bo", "SN", "F", "0x0", "0x0"}));
  EXPECT_EQ(Text(fresh, "MemoryValue"), kDefault);
}

TEST_F(MainPageTest, PasswordStatusesMapToTheirTextsAndANonNumberIsCritical) {
  MainPage page;
  const QString none = R("BiosCredentialValueNone/Text");
  const QString password = R("BiosCredentialValuePassword/Text");
  const QString key = R("BiosCredentialValueStellgard/Text");
  ASSERT_FALSE(none.isEmpty());
  ASSERT_TRUE(none != password && password != key && key != none);
  EXPECT_EQ(page.GetBiosPasswordStatus(QStringLiteral("0x0")), none);
  EXPECT_EQ(page.GetBiosPasswordStatus(QStringLiteral("0x20")), key);
  EXPECT_EQ(page.GetBiosPasswordStatus(QStringLiteral("0x21")), key);
  EXPECT_EQ(page.GetBiosPasswordStatus(QStringLiteral("0xF")), password);
  EXPECT_EQ(page.GetBiosPasswordStatus(QStringLiteral("256")), none);
  EXPECT_TRUE(log_.Has(Line("Information", "GetBiosPasswordStatus", "Split String Count = 33")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "GetBiosPasswordStatus", "BIOS Password Status (Input) : 0x21")));
  EXPECT_TRUE(log_.Has(std::string("Verbose|") + kTag +
                       "GetBiosPasswordStatusBIOS Password Status (Output) : " + key.toStdString()));
  EXPECT_FALSE(log_.Has(Line("Critical", "GetBiosPasswordStatus", "Bad input: std::invalid_argument thrown")));

  EXPECT_EQ(page.GetBiosPasswordStatus(QStringLiteral("abc")), QString());
  EXPECT_TRUE(log_.Has(Line("Critical", "GetBiosPasswordStatus", "Bad input: std::invalid_argument thrown")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "GetBiosPasswordStatus", "BIOS Password Status (Output) : ")));
  EXPECT_EQ(page.GetBiosPasswordStatus(QStringLiteral("0x100000000")), QString());
  EXPECT_TRUE(log_.Has(Line("Critical", "GetBiosPasswordStatus", "Integer overflow: std::out_of_range thrown")));

  // Shown on the page: "abc" leaves the box empty.
  page.UpdateUI(Record({"M", "S", "B", "8 GB", "P", "V", "Bo", "SN", "F", "abc", "yes"}));
  EXPECT_EQ(Text(page, "BiosPasswordValue"), QString());
}

TEST_F(MainPageTest, UsbTypeCValuesAreYesExactlyOrAnOddNumber) {
  MainPage page;
  EXPECT_TRUE(page.GetUsbTypeCStatus(QStringLiteral("yes")));
  EXPECT_FALSE(log_.Has(Line("Information", "GetUsbTypeCStatus", "Converted Number = 0"))) << "yes is not converted";
  EXPECT_TRUE(log_.Has(Line("Verbose", "GetUsbTypeCStatus", "USB Type C Status (Output) : true")));
  EXPECT_FALSE(page.GetUsbTypeCStatus(QStringLiteral("YES")));
  EXPECT_TRUE(log_.Has(Line("Critical", "GetUsbTypeCStatus", "Bad input: std::invalid_argument thrown")));
  EXPECT_TRUE(page.GetUsbTypeCStatus(QStringLiteral("3")));
  EXPECT_TRUE(log_.Has(Line("Information", "GetUsbTypeCStatus", "Converted Number = 3")));
  EXPECT_FALSE(page.GetUsbTypeCStatus(QStringLiteral("0x2")));
  EXPECT_TRUE(log_.Has(Line("Information", "GetUsbTypeCStatus", "Converted Number = 2")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "GetUsbTypeCStatus", "USB Type C Status (Output) : false")));
}

TEST_F(MainPageTest, OffTheUiThreadThereIsNoWindowAndTheWindowsStepsAreSkipped) {
  MainPage page;
  QString status = QStringLiteral("unset");
  std::thread([&] { status = page.GetBiosPasswordStatus(QStringLiteral("0x1")); }).join();
  EXPECT_EQ(status, QString());
  EXPECT_TRUE(log_.Has(Line("Error", "GetBiosPasswordStatus", "GetForCurrentThread() = NULL")));
  EXPECT_FALSE(log_.Has(Line("Information", "GetBiosPasswordStatus", "Split String Count = 1")));
}

TEST_F(MainPageTest, TabSelectsTheWholeValueAndMovesOnAndOtherKeysAreHandled) {
  MainPage* page = Navigate(kExample);
  ASSERT_NE(page, nullptr);
  Window::Current().Activate();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Window::Current()));
  auto* product = Child<ValueBox>(*page, "ProductNameValue");
  auto* sku = Child<ValueBox>(*page, "SkuValue");
  product->setFocus();
  ASSERT_TRUE(app_runtime::testing::PumpUntil([&] { return product->hasFocus(); }));
  QTest::keyClick(product, Qt::Key_Tab);
  EXPECT_EQ(product->textCursor().selectedText(), QStringLiteral("Model X"));
  EXPECT_TRUE(sku->hasFocus()) << "focus went on to "
                               << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString());
  EXPECT_TRUE(log_.Has(Line("Verbose", "KeyboardKeyDownEvent", "Entry")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "KeyboardKeyUpEvent", "Entry")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "SelectionOnTab", "Entry")));

  QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
  press.ignore();
  QCoreApplication::sendEvent(sku, &press);
  EXPECT_TRUE(press.isAccepted()) << "a letter is handled";
  QKeyEvent release(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
  release.ignore();
  QCoreApplication::sendEvent(sku, &release);
  EXPECT_TRUE(release.isAccepted());
  EXPECT_EQ(sku->Text(), QStringLiteral("SKU1#ABA"));
  EXPECT_TRUE(sku->hasFocus());
}

TEST_F(MainPageTest, TheHotkeyParameterIsShownAtOnceWithoutARead) {
  MainPage* page = Navigate(kExample);
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(DebugOutput().contains(QStringLiteral("KorvoSYS MainPage::OnNavigatedTo()")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "OnNavigatedTo", "Inside MainPage::OnNavigatedTo")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "OnNavigatedTo", "Launching from Hotkey")));
  EXPECT_FALSE(log_.Has(Line("Verbose", "UpdateSysInfoDetails", "Entry")));
  EXPECT_EQ(Text(*page, "SerialNumberValue"), QStringLiteral("SN0001"));
  for (const char* label : kLabels) EXPECT_TRUE(Shown(*page, label)) << label;
  EXPECT_FALSE(Child<app_runtime::ProgressRing>(*page, "StatusProgressRing")->IsActive());
}

TEST_F(MainPageTest, TheUsbTypeCButtonOpensTheUsbPageAndItsBackButtonReturnsToThisPage) {
  MainPage* page = Navigate(kExample);
  ASSERT_NE(page, nullptr);
  Child<QPushButton>(*page, "UsbTypeCButton")->click();
  auto* usb = qobject_cast<USBTypeCPage*>(frame_->Content());
  ASSERT_NE(usb, nullptr);
  EXPECT_TRUE(frame_->CanGoBack());
  const QPointer<USBTypeCPage> usbAlive(usb);
  // Its read finds no service; wait for it to end before going back.
  auto* status = Child<QLabel>(*usb, "StatusLine");
  ASSERT_TRUE(app_runtime::testing::PumpUntil([&] { return !status->isHidden(); }, 20000)) << log_.Text();

  Child<QPushButton>(*usb, "BackButton")->click();
  EXPECT_EQ(frame_->Content(), page) << "the same page instance comes back";
  EXPECT_FALSE(frame_->CanGoBack());
  EXPECT_EQ(usb->TitleBar(), nullptr);
  EXPECT_TRUE(log_.Has("Verbose|Korvo_Tallisk::USBTypeCPage::RemoveCustomTitleBarEntry"));
  EXPECT_EQ(Text(*page, "SerialNumberValue"), QStringLiteral("SN0001"));
  RunDeferredDeletes();
  EXPECT_TRUE(usbAlive.isNull()) << "the page it left is gone";
}

TEST_F(MainPageTest, APageThatWentBeforeItsReadEndedIsLeftAlone) {
  MainPage* page = Navigate(QVariant());
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(log_.Has(Line("Verbose", "OnNavigatedTo", "UpdateSysInfoDetails")));
  delete frame_;
  frame_ = nullptr;
  ASSERT_TRUE(app_runtime::testing::PumpUntil(
      [&] { return log_.Has("Verbose|Korvo_Tallisk::MainViewModel::ReadSysInfoDetailsAsyncExit"); }, 20000));
  app_runtime::testing::PumpUntil([] { return false; }, 300);
  EXPECT_TRUE(log_.Has(Line("Verbose", "UpdateSysInfoDetails", "UpdateUIDetails()-create_task")));
  EXPECT_FALSE(log_.Has(Line("Verbose", "UpdateSysInfoDetails", "UpdateUIDetails()-RunAsync")));
}

TEST_F(MainPageTest, CopyPutsTheShownFactsOnTheClipboardInTheShownLanguageOrInEnglish) {
  const Language german("de");
  MainPage page;
  EXPECT_EQ(page.ShownFactsText(false), QString()) << "no row is shown yet";
  page.LaunchSysLabelsVisible(true);
  page.UpdateUI(Record({"Model X", "SKU1", "B1", "8 GB", "Proc", "V1", "Bo1", "SN0001", "FB", "0x0"}));
  ASSERT_NE(R("SerialNumberLabel/Text"), QStringLiteral("Serial number")) << "German captions";

  const QList<QAction*> actions = page.actions();
  ASSERT_EQ(actions.size(), 2);
  EXPECT_EQ(actions[0]->text(), R("CopyFacts/Text"));
  EXPECT_EQ(actions[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
  EXPECT_EQ(actions[1]->text(), R("CopyFactsInEnglish/Text"));
  EXPECT_EQ(page.contextMenuPolicy(), Qt::ActionsContextMenu);

  actions[0]->trigger();
  const QString shown = QGuiApplication::clipboard()->text();
  EXPECT_TRUE(shown.startsWith(R("ProductNameLabel/Text") + QStringLiteral(": Model X\n"))) << shown;
  EXPECT_TRUE(shown.contains(R("SerialNumberLabel/Text") + QStringLiteral(": SN0001\n"))) << shown;
  EXPECT_EQ(shown.count(u'\n'), 9) << "nine rows: the password row is hidden";
  EXPECT_FALSE(shown.contains(R("BiosPasswordLabel/Text"))) << shown;

  actions[1]->trigger();
  const QString english = QGuiApplication::clipboard()->text();
  EXPECT_EQ(english, QStringLiteral("Product name: Model X\nSKU: SKU1\nBuild ID: B1\nMemory: \u2014\nProcessor: Proc\n"
                                    "BIOS version and date: V1\nBoard version: Bo1\nSerial number: SN0001\n"
                                    "Feature byte: FB\n"))
      << "memory without usable keeps its default";
  EXPECT_NE(shown, english) << "the German captions differ";
}

TEST_F(MainPageTest, CtrlShiftCCopiesWhileAValueBoxHasTheFocus) {
  MainPage* page = Navigate(kExample);
  ASSERT_NE(page, nullptr);
  Window::Current().Activate();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Window::Current()));
  auto* serial = Child<ValueBox>(*page, "SerialNumberValue");
  serial->setFocus();
  ASSERT_TRUE(app_runtime::testing::PumpUntil([&] { return serial->hasFocus(); }));
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(serial, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), page->ShownFactsText(false));
  EXPECT_TRUE(QGuiApplication::clipboard()->text().contains(QStringLiteral("Serial number: SN0001\n")));
}

}  // namespace
}  // namespace Korvo_Tallisk

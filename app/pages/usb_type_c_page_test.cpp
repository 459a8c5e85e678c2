// The USB Type-C page as a user and the app's log see it, offscreen.
#include "app/pages/usb_type_c_page.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QPushButton>

#include <gtest/gtest.h>

#include "app/pages/custom_title_bar.h"
#include "app/pages/page_test_support.h"
#include "app/runtime/app_data.h"
#include "app/runtime/frame.h"
#include "app/runtime/window.h"
#include "app/testing/ui_test.h"

namespace Korvo_Tallisk {
namespace {

using app_runtime::Frame;
using app_runtime::Window;
using testing::Child;
using testing::Language;
using testing::LogCapture;
using testing::R;
using testing::Shown;
using testing::Text;

constexpr const char* kTag = "Korvo_Tallisk::USBTypeCPage::";

const char* const kValues[] = {"UsbDevicesValue",    "ThunderboltValue",   "DisplayPortValue",
                               "PowerProviderValue", "PowerConsumerValue", "MaxPowerOutputValue"};
const char* const kLabels[] = {"UsbDataHeadingLabel", "UsbDevicesLabel",      "ThunderboltLabel",
                               "DisplayPortLabel",    "UsbPowerHeadingLabel", "PowerProviderLabel",
                               "PowerConsumerLabel",  "MaxPowerOutputLabel"};
const QString kDefault = QStringLiteral("\u2014");

// The record of ports with USB 2.0 and USB 3.1 Gen 1, Thunderbolt, no DisplayPort, power
// both ways and 60 W out.
const std::u16string kExample =
    u"USB 2.0|.#.$USB 3.1 Gen 1<.^.>Supported<.^.>Not Supported<.^.>Supported<.^.>Supported<.^.>60W";

std::string Line(const char* level, const char* operation, const char* text) {
  return std::string(level) + "|" + kTag + operation + text;
}

std::u16string Record(std::initializer_list<std::u16string> fields) {
  std::u16string record;
  for (const auto& field : fields) {
    if (&field != fields.begin()) record += u"<.^.>";
    record += field;
  }
  return record;
}

QStringList Values(const USBTypeCPage& page) {
  QStringList values;
  for (const char* value : kValues) values << Text(page, value);
  return values;
}

class USBTypeCPageTest : public app_runtime::testing::UiTest {
 protected:
  static void SetUpTestSuite() {
    static platform::testing::TempDir data;
    app_runtime::ApplicationData::UseRoot(QString::fromStdString(data.path().string()));
    app_runtime::ResourceContext::SetLanguageForTesting(QStringLiteral("en"));
  }

  LogCapture log_;
};

TEST_F(USBTypeCPageTest, ANewPageHidesItsLabelsAndWrapsItsContentInTheTitleBar) {
  USBTypeCPage page;
  for (const char* label : kLabels) EXPECT_FALSE(Shown(page, label)) << label;
  for (const char* value : kValues) EXPECT_EQ(Text(page, value), kDefault) << value;
  EXPECT_TRUE(Shown(page, "BackButton"));
  ASSERT_NE(page.TitleBar(), nullptr);
  EXPECT_EQ(page.Content(), page.TitleBar());
  EXPECT_EQ(Child<QLabel>(page, "ThunderboltLabel")->text(), R("ThunderboltLabel/Text"));
  page.LaunchUsbPageLabelsVisible(true);
  for (const char* label : kLabels) EXPECT_TRUE(Shown(page, label)) << label;
  EXPECT_TRUE(log_.Has(Line("Verbose", "USBTypeCPage", "Entry")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "USBTypeCPage", "Exit")));
}

TEST_F(USBTypeCPageTest, TheSixFieldExampleShowsEveryValue) {
  USBTypeCPage page;
  page.UpdateUI(kExample.c_str());
  ASSERT_FALSE(R("USB31Gen1/Text").isEmpty());
  ASSERT_NE(R("Supported/Text"), R("NotSupported/Text"));
  EXPECT_EQ(Text(page, "UsbDevicesValue"), QStringLiteral("USB 2.0, ") + R("USB31Gen1/Text"));
  EXPECT_EQ(Text(page, "ThunderboltValue"), R("Supported/Text"));
  EXPECT_EQ(Text(page, "DisplayPortValue"), R("NotSupported/Text"));
  EXPECT_EQ(Text(page, "PowerProviderValue"), R("Supported/Text"));
  EXPECT_EQ(Text(page, "PowerConsumerValue"), R("Supported/Text"));
  EXPECT_EQ(Text(page, "MaxPowerOutputValue"), QStringLiteral("60W"));
  EXPECT_TRUE(log_.Has(Line("Verbose", "UpdateUI", " Invalid USB Device Genertion Value In the begginning : ")));
  EXPECT_LT(log_.Find(Line("Verbose", "UpdateUI", " Invalid USB Device Genertion Value In the begginning : ")),
            log_.Find(Line("Verbose", "UpdateUI", "Entry")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "UpdateUI", "Complete USB Type C Info Strings Count: 6")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "UpdateUI", " After parsing USB Devices Data, Count: 2")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "UpdateUI", " usbDeviceValue : USB 2.0 Length : 7")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "UpdateUI", " USBDeviceGeneration : USB 3.1 Gen 1 Length : 13")));
  EXPECT_TRUE(log_.Has(Line("Verbose", "UpdateUI", " usbTypeCData size : 3")));
}

TEST_F(USBTypeCPageTest, RecordsOfOtherThanSixFieldsOrNoRecordChangeNothing) {
  USBTypeCPage page;
  page.UpdateUI(kExample.c_str());
  const QStringList before = Values(page);
  page.UpdateUI(Record({u"A|.#.$USB 4", u"Supported", u"Supported", u"Supported", u"12W"}).c_str());
  EXPECT_EQ(Values(page), before);
  EXPECT_TRUE(log_.Has(Line("Verbose", "UpdateUI", "Invalid USB Type C details returned.")));
  page.UpdateUI(
      Record({u"A|.#.$USB 4", u"Not Supported", u"Supported", u"Supported", u"Supported", u"12W", u"x"}).c_str());
  EXPECT_EQ(Values(page), before);
  page.UpdateUI(nullptr);
  EXPECT_EQ(Values(page), before);
  EXPECT_TRUE(log_.Has(Line("Error", "UpdateUI", "USBTypeC Data = NULL")));
  page.UpdateUI(u"");
  EXPECT_EQ(Values(page), before);
}

TEST_F(USBTypeCPageTest, SupportIsTheExactWordAndNullLeavesTheBox) {
  USBTypeCPage page;
  page.UpdateUI(kExample.c_str());
  page.UpdateUI(Record({u"null", u"supported", u"null", u"", u"Supported", u"null"}).c_str());
  EXPECT_EQ(Text(page, "ThunderboltValue"), R("NotSupported/Text")) << "lower case is not supported";
  EXPECT_EQ(Text(page, "DisplayPortValue"), R("NotSupported/Text")) << "null keeps the previous text";
  EXPECT_EQ(Text(page, "PowerProviderValue"), R("Supported/Text")) << "empty keeps the previous text";
  EXPECT_EQ(Text(page, "UsbDevicesValue"), QStringLiteral("USB 2.0, ") + R("USB31Gen1/Text"));
  EXPECT_EQ(Text(page, "MaxPowerOutputValue"), QStringLiteral("60W"));
  // CheckSupportStatus runs for every support field, shown or not.
  EXPECT_EQ(log_.Count(Line("Verbose", "CheckSupportStatus", "Entry")), 8);
  EXPECT_EQ(page.CheckSupportStatus(QStringLiteral("Not Supported")), R("NotSupported/Text"));
  EXPECT_EQ(page.CheckSupportStatus(QString()), R("NotSupported/Text"));
}

TEST_F(USBTypeCPageTest, DeviceAndGenerationMakeTheDevicesText) {
  USBTypeCPage page;
  const auto devices = [&](const std::u16string& field) {
    page.UpdateUI(Record({field, u"Supported", u"Supported", u"Supported", u"Supported", u"60W"}).c_str());
    return Text(page, "UsbDevicesValue");
  };
  EXPECT_EQ(devices(u"|.#.$USB 3.1 Gen 2"), R("USB31Gen2/Text")) << "no device value: the generation alone";
  EXPECT_TRUE(
      log_.Has(std::string("Verbose|") + kTag + "UpdateUI usbResourceValue : " + R("USB31Gen2/Text").toStdString()));
  EXPECT_EQ(devices(u"USB 2.0|.#.$USB 4"), QStringLiteral("USB 2.0, USB 4")) << "other generations unchanged";
  EXPECT_EQ(devices(u"USB 2.0"), QString()) << "without the separator nothing is left to show";
  EXPECT_EQ(devices(u"a|.#.$b|.#.$c"), QString());
  page.UpdateUI(kExample.c_str());
  EXPECT_EQ(devices(u"null"), QStringLiteral("USB 2.0, ") + R("USB31Gen1/Text")) << "null keeps the text";
}

TEST_F(USBTypeCPageTest, BackWithoutAPreviousPageDoesNothingAndKeepsTheTitleBar) {
  auto* frame = new Frame;
  Window::Current().SetContent(frame);
  ASSERT_TRUE(frame->Navigate([] { return std::make_unique<USBTypeCPage>(); }));
  auto* page = qobject_cast<USBTypeCPage*>(frame->Content());
  ASSERT_NE(page, nullptr);
  // The page's read finds no service; its end shows the labels and the reason.
  auto* status = Child<QLabel>(*page, "StatusLine");
  ASSERT_TRUE(app_runtime::testing::PumpUntil([&] { return !status->isHidden(); }, 20000)) << log_.Text();
  EXPECT_EQ(status->toolTip(), R("ServiceNotRunning/Text"));
  EXPECT_TRUE(log_.Has(Line("Verbose", "UpdateUSBTypeCInfoDetails", "UpdateSysInfoDetails failed from RpcClient")));
  for (const char* label : kLabels) EXPECT_TRUE(Shown(*page, label)) << label;
  for (const char* value : kValues) EXPECT_EQ(Text(*page, value), kDefault) << value;

  CustomTitleBar* titleBar = page->TitleBar();
  Child<QPushButton>(*page, "BackButton")->click();
  EXPECT_EQ(frame->Content(), page);
  EXPECT_EQ(page->TitleBar(), titleBar);
  EXPECT_EQ(page->Content(), titleBar);
  EXPECT_FALSE(log_.Has(Line("Verbose", "RemoveCustomTitleBar", "Entry")));
}

TEST_F(USBTypeCPageTest, BackOutsideAFrameIsLogged) {
  USBTypeCPage page;
  Child<QPushButton>(page, "BackButton")->click();
  EXPECT_TRUE(log_.Has(Line("Error", "Back_Click", "Back Button UI casting failed")));
  EXPECT_NE(page.TitleBar(), nullptr);
}

TEST_F(USBTypeCPageTest, CopyTakesTheShownRowsInTheShownLanguageOrInEnglish) {
  const Language arabic("ar");
  USBTypeCPage page;
  page.LaunchUsbPageLabelsVisible(true);
  page.UpdateUI(kExample.c_str());
  const QString shown = page.ShownFactsText(false);
  EXPECT_TRUE(shown.startsWith(R("UsbDevicesLabel/Text") + QStringLiteral(": USB 2.0, ") + R("USB31Gen1/Text")))
      << shown;
  EXPECT_TRUE(shown.endsWith(R("MaxPowerOutputLabel/Text") + QStringLiteral(": 60W\n"))) << shown;
  EXPECT_EQ(shown.count(u'\n'), 6);
  for (const QString& line : shown.split(u'\n', Qt::SkipEmptyParts)) {
    EXPECT_FALSE(line.startsWith(R("UsbDataHeadingLabel/Text"))) << "headings are no facts";
    EXPECT_FALSE(line.startsWith(R("UsbPowerHeadingLabel/Text")));
  }

  page.actions().at(1)->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(),
            QStringLiteral("USB data rate: USB 2.0, ") + R("USB31Gen1/Text") + QStringLiteral("\nThunderbolt: ") +
                R("Supported/Text") + QStringLiteral("\nDisplayPort: ") + R("NotSupported/Text") +
                QStringLiteral("\nSupplies power: ") + R("Supported/Text") + QStringLiteral("\nCharges this PC: ") +
                R("Supported/Text") + QStringLiteral("\nMaximum power output: 60W\n"));
  page.LaunchUsbPageLabelsVisible(false);
  EXPECT_EQ(page.ShownFactsText(true), QString()) << "hidden rows are not copied";
}

}  // namespace
}  // namespace Korvo_Tallisk

// The pages' record rules on their own, without widgets.
#include "app/pages/page_parsing.h"

#include <climits>
#include <stdexcept>

#include <gtest/gtest.h>

#include "app/testing/app_test.h"

namespace Korvo_Tallisk::Parsing {
namespace {

QStringList L(std::initializer_list<const char*> items) {
  QStringList list;
  for (const char* item : items) list.push_back(QString::fromUtf8(item));
  return list;
}

TEST(SplitFieldsTest, EveryDelimiterCutsOnceAndEmptyFieldsStay) {
  EXPECT_EQ(SplitFields(QStringLiteral("a<.^.>b<.^.>c"), kRecordSeparator), L({"a", "b", "c"}));
  EXPECT_EQ(SplitFields(QStringLiteral("<.^.><.^.>"), kRecordSeparator), L({"", "", ""}));
  EXPECT_EQ(SplitFields(QStringLiteral("a<.^.>"), kRecordSeparator), L({"a", ""}));
  EXPECT_EQ(SplitFields(QString(), kRecordSeparator), L({""}));
  EXPECT_EQ(SplitFields(QStringLiteral("no separator"), kRecordSeparator), L({"no separator"}));
  // Only the whole delimiter cuts, and after a cut the search starts behind it.
  EXPECT_EQ(SplitFields(QStringLiteral("<.^.<.^.>>"), kRecordSeparator), L({"<.^.", ">"}));
  EXPECT_EQ(SplitFields(QStringLiteral("a|.#.$|.#.$b"), kUsbDevicesSeparator), L({"a", "", "b"}));
  EXPECT_EQ(SplitFields(QStringLiteral("a,b, c"), kOldRecordSeparator), L({"a", "b", " c"}));
  // Case matters.
  EXPECT_EQ(SplitFields(QStringLiteral("aXb"), QStringLiteral("x")), L({"aXb"}));
  EXPECT_EQ(SplitFields(QStringLiteral("abc"), QString()), L({"abc"}));
}

TEST(SplitFieldsTest, AnAbsentTextGivesNoFieldsAndAPresentOneSplitsAlike) {
  EXPECT_TRUE(SplitFields(static_cast<const char16_t*>(nullptr), kRecordSeparator).isEmpty());
  EXPECT_EQ(SplitFields(u"", kRecordSeparator), L({""}));
  EXPECT_EQ(SplitFields(u"x<.^.>\u00e9<.^.>", kRecordSeparator), QStringList({"x", QStringLiteral("\u00e9"), ""}));
}

TEST(HasValueTest, OnlyEmptyAndLowerCaseNullCarryNoFact) {
  EXPECT_FALSE(HasValue(QString()));
  EXPECT_FALSE(HasValue(QStringLiteral("null")));
  EXPECT_TRUE(HasValue(QStringLiteral(" ")));
  EXPECT_TRUE(HasValue(QStringLiteral("NULL")));
  EXPECT_TRUE(HasValue(QStringLiteral("null ")));
}

TEST(ToInt32Test, ReadsLikeWcstolWithBaseZero) {
  EXPECT_EQ(ToInt32(QStringLiteral("0x1")), 1);
  EXPECT_EQ(ToInt32(QStringLiteral("0X1F")), 31);
  EXPECT_EQ(ToInt32(QStringLiteral("0x21")), 33);
  EXPECT_EQ(ToInt32(QStringLiteral("256")), 256);
  EXPECT_EQ(ToInt32(QStringLiteral(" \t-0x10")), -16);
  EXPECT_EQ(ToInt32(QStringLiteral("+12abc")), 12);
  EXPECT_EQ(ToInt32(QStringLiteral("012")), 10);  // octal
  EXPECT_EQ(ToInt32(QStringLiteral("08")), 0);    // stops at the first non-octal digit
  EXPECT_EQ(ToInt32(QStringLiteral("0x")), 0);    // the "0" is the number
  EXPECT_EQ(ToInt32(QStringLiteral("0xg")), 0);
  EXPECT_EQ(ToInt32(QStringLiteral("2147483647")), INT_MAX);
  EXPECT_EQ(ToInt32(QStringLiteral("-2147483648")), INT_MIN);
  EXPECT_EQ(ToInt32(QStringLiteral("0x7FFFFFFF")), INT_MAX);
}

TEST(ToInt32Test, NoDigitIsAnInvalidArgumentAndTooLargeIsOutOfRange) {
  for (const char* text : {"", " ", "abc", "YES", "-", "+", "x1", "\u0661"}) {
    EXPECT_THROW(ToInt32(QString::fromUtf8(text)), std::invalid_argument) << text;
  }
  for (const char* text : {"2147483648", "-2147483649", "0x80000000", "0xFFFFFFFF", "99999999999999999999999",
                           "-0x99999999999999999999"}) {
    EXPECT_THROW(ToInt32(QString::fromUtf8(text)), std::out_of_range) << text;
  }
}

TEST(BiosPasswordKeyTest, RangesMapToTheThreeKeys) {
  const QString none = QStringLiteral("BiosCredentialValueNone/Text");
  const QString password = QStringLiteral("BiosCredentialValuePassword/Text");
  const QString key = QStringLiteral("BiosCredentialValueStellgard/Text");
  EXPECT_EQ(BiosPasswordKey(0), none);
  EXPECT_EQ(BiosPasswordKey(1), password);
  EXPECT_EQ(BiosPasswordKey(15), password);
  EXPECT_EQ(BiosPasswordKey(16), key);
  EXPECT_EQ(BiosPasswordKey(0x21), key);
  EXPECT_EQ(BiosPasswordKey(255), key);
  EXPECT_EQ(BiosPasswordKey(256), none);
  EXPECT_EQ(BiosPasswordKey(-1), none);
  EXPECT_EQ(BiosPasswordKey(INT_MIN), none);
}

TEST(UsbTypeCSupportTest, YesExactlyOrBitZeroOfTheNumber) {
  const auto yes = ReadUsbTypeCSupport(QStringLiteral("yes"));
  EXPECT_TRUE(yes.supported);
  EXPECT_FALSE(yes.number.has_value());
  EXPECT_THROW(ReadUsbTypeCSupport(QStringLiteral("YES")), std::invalid_argument);
  EXPECT_THROW(ReadUsbTypeCSupport(QStringLiteral("yes ")), std::invalid_argument);
  const auto three = ReadUsbTypeCSupport(QStringLiteral("3"));
  EXPECT_TRUE(three.supported);
  EXPECT_EQ(three.number, 3);
  EXPECT_TRUE(ReadUsbTypeCSupport(QStringLiteral("0x1")).supported);
  EXPECT_FALSE(ReadUsbTypeCSupport(QStringLiteral("0x2")).supported);
  EXPECT_EQ(ReadUsbTypeCSupport(QStringLiteral("0x2")).number, 2);
  EXPECT_FALSE(ReadUsbTypeCSupport(QStringLiteral("0x0")).supported);
  EXPECT_TRUE(ReadUsbTypeCSupport(QStringLiteral("-1")).supported);
  EXPECT_THROW(ReadUsbTypeCSupport(QString()), std::invalid_argument);
  EXPECT_THROW(ReadUsbTypeCSupport(QStringLiteral("0x100000000")), std::out_of_range);
}

TEST(RecordShapeTest, TenAndElevenFieldsPlaceThePasswordAndUsbValues) {
  const auto ten = ShapeOfRecord(10);
  EXPECT_EQ(ten.passwordRow, PasswordRow::Collapse);
  EXPECT_FALSE(ten.passwordIndex.has_value());
  EXPECT_EQ(ten.usbTypeCIndex, 9);
  const auto eleven = ShapeOfRecord(11);
  EXPECT_EQ(eleven.passwordRow, PasswordRow::Show);
  EXPECT_EQ(eleven.passwordIndex, 9);
  EXPECT_EQ(eleven.usbTypeCIndex, 10);
  for (qsizetype count : {12, 13, 40}) {
    const auto many = ShapeOfRecord(count);
    EXPECT_EQ(many.passwordRow, PasswordRow::Keep) << count;
    EXPECT_FALSE(many.passwordIndex.has_value()) << count;
    EXPECT_FALSE(many.usbTypeCIndex.has_value()) << count;
  }
}

TEST(MemoryTextTest, OnlyTheFirstLowerCaseUsableIsReplaced) {
  EXPECT_EQ(MemoryText(QStringLiteral("16.00 GB (15.73 GB usable)"), QStringLiteral("nutzbar")),
            QStringLiteral("16.00 GB (15.73 GB nutzbar)"));
  EXPECT_EQ(MemoryText(QStringLiteral("usable usable"), QStringLiteral("u")), QStringLiteral("u usable"));
  EXPECT_EQ(MemoryText(QStringLiteral("8 GB (7 GB unusable)"), QStringLiteral("X")), QStringLiteral("8 GB (7 GB unX)"));
  EXPECT_FALSE(MemoryText(QStringLiteral("8 GB"), QStringLiteral("X")).has_value());
  EXPECT_FALSE(MemoryText(QStringLiteral("8 GB (7 GB Usable)"), QStringLiteral("X")).has_value());
  EXPECT_FALSE(MemoryText(QString(), QStringLiteral("X")).has_value());
}

TEST(UsbDevicesTest, OnlyATwoPartFieldGivesDeviceAndGeneration) {
  const auto both = SplitUsbDevices(QStringLiteral("USB 2.0|.#.$USB 3.1 Gen 1"));
  EXPECT_EQ(both.parts, 2);
  EXPECT_EQ(both.device, QStringLiteral("USB 2.0"));
  EXPECT_EQ(both.generation, QStringLiteral("USB 3.1 Gen 1"));
  const auto noDevice = SplitUsbDevices(QStringLiteral("|.#.$USB 3.1 Gen 2"));
  EXPECT_EQ(noDevice.parts, 2);
  EXPECT_EQ(noDevice.device, QString());
  EXPECT_EQ(noDevice.generation, QStringLiteral("USB 3.1 Gen 2"));
  for (const char* field : {"USB 2.0", "a|.#.$b|.#.$c", ""}) {
    const auto other = SplitUsbDevices(QString::fromUtf8(field));
    EXPECT_NE(other.parts, 2) << field;
    EXPECT_TRUE(other.device.isEmpty()) << field;
    EXPECT_TRUE(other.generation.isEmpty()) << field;
  }
  EXPECT_EQ(SplitUsbDevices(QStringLiteral("a|.#.$b|.#.$c")).parts, 3);
}

TEST(UsbDevicesTest, GenerationKeysAndTheShownText) {
  EXPECT_EQ(GenerationKey(QStringLiteral("USB 3.1 Gen 1")), QStringLiteral("USB31Gen1/Text"));
  EXPECT_EQ(GenerationKey(QStringLiteral("USB 3.1 Gen 2")), QStringLiteral("USB31Gen2/Text"));
  for (const char* other : {"USB 4", "usb 3.1 gen 1", "USB 3.1 Gen 1 ", "USB 3.1 Gen 3", ""}) {
    EXPECT_TRUE(GenerationKey(QString::fromUtf8(other)).isEmpty()) << other;
  }
  EXPECT_EQ(UsbDevicesText(QStringLiteral("USB 2.0"), QStringLiteral("USB 4")), QStringLiteral("USB 2.0, USB 4"));
  EXPECT_EQ(UsbDevicesText(QString(), QStringLiteral("Gen 2")), QStringLiteral("Gen 2"));
  EXPECT_EQ(UsbDevicesText(QStringLiteral("USB 2.0"), QString()), QStringLiteral("USB 2.0, "));
}

TEST(SupportKeyTest, OnlyTheExactWordIsSupported) {
  EXPECT_EQ(SupportKey(QStringLiteral("Supported")), QStringLiteral("Supported/Text"));
  for (const char* other : {"supported", "Not Supported", "null", "", "Supported "}) {
    EXPECT_EQ(SupportKey(QString::fromUtf8(other)), QStringLiteral("NotSupported/Text")) << other;
  }
}

TEST(ReadFailureTest, StatusesMapToTheirCause) {
  EXPECT_EQ(ClassifyReadFailure(1722), ReadFailure::NotRunning);
  EXPECT_EQ(ClassifyReadFailure(1727), ReadFailure::NotRunning);
  EXPECT_EQ(ClassifyReadFailure(0x800706BA), ReadFailure::NotRunning);
  EXPECT_EQ(ClassifyReadFailure(5), ReadFailure::Refused);
  EXPECT_EQ(ClassifyReadFailure(0x80070005), ReadFailure::Refused);
  // The same code widened with its sign.
  EXPECT_EQ(ClassifyReadFailure(static_cast<std::int32_t>(0x80070005)), ReadFailure::Refused);
  EXPECT_EQ(ClassifyReadFailure(1726), ReadFailure::TimedOut);
  EXPECT_EQ(ClassifyReadFailure(1460), ReadFailure::TimedOut);
  EXPECT_EQ(ClassifyReadFailure(258), ReadFailure::TimedOut);
  EXPECT_EQ(ClassifyReadFailure(0x800705B4), ReadFailure::TimedOut);
  EXPECT_EQ(ClassifyReadFailure(0x8001011F), ReadFailure::TimedOut);
  for (std::int64_t other : {std::int64_t{-1}, std::int64_t{1723}, std::int64_t{0xE06D7363}, std::int64_t{6}}) {
    EXPECT_EQ(ClassifyReadFailure(other), ReadFailure::NoAnswer) << other;
  }
  EXPECT_EQ(ReadFailureKey(ReadFailure::NotRunning), QStringLiteral("ServiceNotRunning/Text"));
  EXPECT_EQ(ReadFailureKey(ReadFailure::Refused), QStringLiteral("ServiceRefused/Text"));
  EXPECT_EQ(ReadFailureKey(ReadFailure::TimedOut), QStringLiteral("ServiceTimedOut/Text"));
  EXPECT_EQ(ReadFailureKey(ReadFailure::NoAnswer), QStringLiteral("ServiceNoAnswer/Text"));
}

TEST(FactsTextTest, OneCaptionValueLinePerFact) {
  EXPECT_EQ(FactsText({}), QString());
  EXPECT_EQ(FactsText({{QStringLiteral("Serial number"), QStringLiteral("SN0001")},
                       {QStringLiteral("Feature byte"), QStringLiteral(" ")}}),
            QStringLiteral("Serial number: SN0001\nFeature byte:  \n"));
}

}  // namespace
}  // namespace Korvo_Tallisk::Parsing

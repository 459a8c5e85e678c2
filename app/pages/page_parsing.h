// What the two pages make of the service's text records, without any widget: the
// splits, the number conversion, the resource keys a field maps to and the little
// compositions the pages show. The pages' operations call these and do the logging
// around them, so every rule here can be tested on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <QString>
#include <QStringList>

namespace Korvo_Tallisk::Parsing {

// Separators of the system information record (current and older services) and of the
// USB Type-C record, and the one inside the record's USB devices field.
inline const QString kRecordSeparator = QStringLiteral("<.^.>");
inline const QString kOldRecordSeparator = QStringLiteral(",");
inline const QString kUsbDevicesSeparator = QStringLiteral("|.#.$");

// The field counts the main page accepts from the current separator, and the fewest it
// accepts from the old one.
inline constexpr qsizetype kTenFields = 10;
inline constexpr qsizetype kElevenFields = 11;
// The USB Type-C record's field count.
inline constexpr qsizetype kUsbTypeCFields = 6;

// Cuts `text` at every occurrence of the whole `delimiter` (exact, case-sensitive):
// n occurrences give n + 1 fields, empty ones included, so an empty text gives one
// empty field. An empty delimiter cuts nothing (one field, the whole text).
QStringList SplitFields(const QString& text, const QString& delimiter);
// The same for a zero-terminated text that may be absent: no text gives no fields.
QStringList SplitFields(const char16_t* text, const QString& delimiter);

// Whether a field carries a fact: neither empty nor the service's "null".
bool HasValue(const QString& field);

// The field as a 32-bit signed number, read as wcstol reads with base 0: leading white
// space skipped, an optional sign, "0x"/"0X" hexadecimal, a leading "0" octal, else
// decimal, stopping at the first character that does not fit. Raises what
// std::stoi(std::wstring, nullptr, 0) raises: std::invalid_argument when there is no
// digit at all, std::out_of_range when the value does not fit 32 bits.
std::int32_t ToInt32(const QString& field);

// The resource key of a BIOS password status number: 16..255 the key-based protection,
// 1..15 a password, anything else none.
QString BiosPasswordKey(std::int32_t status);

// The USB Type-C support value: "yes" (exactly) is support without any conversion;
// anything else is converted with ToInt32 (and may raise what it raises) and bit 0 of
// the number decides.
struct UsbTypeCSupport {
  bool supported = false;
  std::optional<std::int32_t> number;  // absent for "yes"
};
UsbTypeCSupport ReadUsbTypeCSupport(const QString& field);

// How a split record of `fieldCount` fields fills the page beyond the nine common
// values: the password row and where the USB Type-C value is (none: the empty value).
enum class PasswordRow { Collapse, Show, Keep };
struct RecordShape {
  PasswordRow passwordRow = PasswordRow::Keep;
  std::optional<qsizetype> passwordIndex;
  std::optional<qsizetype> usbTypeCIndex;
};
RecordShape ShapeOfRecord(qsizetype fieldCount);

// The memory text to show: the field with its first lower-case "usable" replaced by
// `usableText`; nothing when the field has no "usable" (the box keeps its text).
std::optional<QString> MemoryText(const QString& field, const QString& usableText);

// The USB devices field split on "|.#.$": only exactly two parts give a device value
// and a generation; any other split leaves both empty.
struct UsbDevices {
  qsizetype parts = 0;
  QString device;
  QString generation;
};
UsbDevices SplitUsbDevices(const QString& field);
// The resource key of a generation text ("USB 3.1 Gen 1", "USB 3.1 Gen 2"); empty for
// any other text, which is shown unchanged.
QString GenerationKey(const QString& generation);
// What the devices box shows: the generation alone without a device value, else
// "device, generation".
QString UsbDevicesText(const QString& device, const QString& generationText);

// The resource key of a support field: "Supported" (exactly) is supported, every other
// text (other case, "null", empty) not supported.
QString SupportKey(const QString& value);

// Why a read of the service failed, from the status the view model kept, as the title
// bar's status line tells it; the key's text takes the status as %1.
enum class ReadFailure { NotRunning, Refused, TimedOut, NoAnswer };
ReadFailure ClassifyReadFailure(std::int64_t status);
QString ReadFailureKey(ReadFailure failure);

// The shown facts as one "caption: value" line each, for the clipboard.
struct Fact {
  QString caption;
  QString value;
};
QString FactsText(const std::vector<Fact>& facts);

}  // namespace Korvo_Tallisk::Parsing

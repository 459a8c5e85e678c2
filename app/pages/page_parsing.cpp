#include "app/pages/page_parsing.h"

#include <string>

namespace Korvo_Tallisk::Parsing {

namespace {

const QString kNull = QStringLiteral("null");
const QString kYes = QStringLiteral("yes");
const QString kUsable = QStringLiteral("usable");
const QString kSupported = QStringLiteral("Supported");
const QString kGen1 = QStringLiteral("USB 3.1 Gen 1");
const QString kGen2 = QStringLiteral("USB 3.1 Gen 2");

// Status codes a read can end with (Win32 and RPC codes, also as HRESULTs of the Win32
// facility).
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kSemTimeout = 121;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kTimeout = 1460;
constexpr std::uint32_t kServerUnavailable = 1722;
constexpr std::uint32_t kCallFailed = 1726;
constexpr std::uint32_t kCallFailedDne = 1727;
constexpr std::uint32_t kCallCancelled = 1818;
constexpr std::uint32_t kRpcETimeout = 0x8001011F;
constexpr std::uint32_t kWin32FacilityMask = 0xFFFF0000;
constexpr std::uint32_t kWin32Facility = 0x80070000;

}  // namespace

QStringList SplitFields(const QString& text, const QString& delimiter) {
  if (delimiter.isEmpty()) return {text};
  QStringList fields;
  qsizetype from = 0;
  for (qsizetype at = text.indexOf(delimiter, from, Qt::CaseSensitive); at >= 0;
       at = text.indexOf(delimiter, from, Qt::CaseSensitive)) {
    fields.push_back(text.mid(from, at - from));
    from = at + delimiter.size();
  }
  fields.push_back(text.mid(from));
  return fields;
}

QStringList SplitFields(const char16_t* text, const QString& delimiter) {
  if (text == nullptr) return {};
  return SplitFields(QString::fromUtf16(text), delimiter);
}

bool HasValue(const QString& field) {
  return !field.isEmpty() && field != kNull;
}

std::int32_t ToInt32(const QString& field) {
  // The conversion itself is the library's, so that what it accepts and what it raises
  // are exactly the library's too.
  return std::stoi(field.toStdWString(), nullptr, 0);
}

QString BiosPasswordKey(std::int32_t status) {
  if (status >= 16 && status <= 255) return QStringLiteral("BiosCredentialValueStellgard/Text");
  if (status >= 1 && status <= 15) return QStringLiteral("BiosCredentialValuePassword/Text");
  return QStringLiteral("BiosCredentialValueNone/Text");
}

UsbTypeCSupport ReadUsbTypeCSupport(const QString& field) {
  if (field == kYes) return {true, std::nullopt};
  const std::int32_t number = ToInt32(field);
  return {(number & 1) != 0, number};
}

RecordShape ShapeOfRecord(qsizetype fieldCount) {
  if (fieldCount == kTenFields) return {PasswordRow::Collapse, std::nullopt, kTenFields - 1};
  if (fieldCount == kElevenFields) return {PasswordRow::Show, kTenFields - 1, kElevenFields - 1};
  return {PasswordRow::Keep, std::nullopt, std::nullopt};
}

std::optional<QString> MemoryText(const QString& field, const QString& usableText) {
  const qsizetype at = field.indexOf(kUsable, 0, Qt::CaseSensitive);
  if (at < 0) return std::nullopt;
  QString text = field;
  text.replace(at, kUsable.size(), usableText);
  return text;
}

UsbDevices SplitUsbDevices(const QString& field) {
  const QStringList parts = SplitFields(field, kUsbDevicesSeparator);
  UsbDevices devices;
  devices.parts = parts.size();
  if (parts.size() == 2) {
    devices.device = parts[0];
    devices.generation = parts[1];
  }
  return devices;
}

QString GenerationKey(const QString& generation) {
  if (generation == kGen1) return QStringLiteral("USB31Gen1/Text");
  if (generation == kGen2) return QStringLiteral("USB31Gen2/Text");
  return {};
}

QString UsbDevicesText(const QString& device, const QString& generationText) {
  if (device.isEmpty()) return generationText;
  return device + QStringLiteral(", ") + generationText;
}

QString SupportKey(const QString& value) {
  return value == kSupported ? QStringLiteral("Supported/Text") : QStringLiteral("NotSupported/Text");
}

ReadFailure ClassifyReadFailure(std::int64_t status) {
  // Codes reach us widened with their sign or without it; the low 32 bits are the code.
  std::uint32_t code = static_cast<std::uint32_t>(status);
  if (code == kRpcETimeout) return ReadFailure::TimedOut;
  if ((code & kWin32FacilityMask) == kWin32Facility) code &= ~kWin32FacilityMask;
  switch (code) {
    case kServerUnavailable:
    case kCallFailedDne:
      return ReadFailure::NotRunning;
    case kAccessDenied:
      return ReadFailure::Refused;
    case kCallFailed:
    case kTimeout:
    case kSemTimeout:
    case kWaitTimeout:
    case kCallCancelled:
      return ReadFailure::TimedOut;
    default:
      return ReadFailure::NoAnswer;
  }
}

QString ReadFailureKey(ReadFailure failure) {
  switch (failure) {
    case ReadFailure::NotRunning:
      return QStringLiteral("ServiceNotRunning/Text");
    case ReadFailure::Refused:
      return QStringLiteral("ServiceRefused/Text");
    case ReadFailure::TimedOut:
      return QStringLiteral("ServiceTimedOut/Text");
    case ReadFailure::NoAnswer:
      break;
  }
  return QStringLiteral("ServiceNoAnswer/Text");
}

QString FactsText(const std::vector<Fact>& facts) {
  QString text;
  for (const auto& fact : facts) text += fact.caption + QStringLiteral(": ") + fact.value + u'\n';
  return text;
}

}  // namespace Korvo_Tallisk::Parsing

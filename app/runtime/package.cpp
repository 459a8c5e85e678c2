#include "app/runtime/package.h"

#include <mutex>
#include <optional>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QXmlStreamReader>

#include "app/runtime/errors.h"
#include "platform/rpc.h"
#include "platform/types.h"

namespace app_runtime {
namespace {

std::optional<PackageVersion> ParseVersion(const QString& text) {
  const QStringList parts = text.split(u'.');
  if (parts.size() != 4) return std::nullopt;
  quint16 numbers[4] = {};
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    const uint n = parts[i].toUInt(&ok);
    if (!ok || n > 0xFFFF) return std::nullopt;
    numbers[i] = static_cast<quint16>(n);
  }
  return PackageVersion{numbers[0], numbers[1], numbers[2], numbers[3]};
}

}  // namespace

QString PackageId::PublisherId() const {
  // Eight characters of base-32 (digits and lower-case letters without i, l, o, u) over
  // a hash of the publisher: stable, and different for another publisher.
  static constexpr char kAlphabet[] = "0123456789abcdefghjkmnpqrstvwxyz";
  const QByteArray hash = QCryptographicHash::hash(publisher_.toUtf8(), QCryptographicHash::Sha256);
  quint64 bits = 0;
  for (int i = 0; i < 5; ++i) bits = (bits << 8) | static_cast<quint8>(hash[i]);
  QString id;
  for (int i = 0; i < 8; ++i) id += QLatin1Char(kAlphabet[(bits >> (35 - 5 * i)) & 31]);
  return id;
}

QString Package::DefaultManifestFile() {
  const QByteArray overridden = qgetenv("KORVO_TALLISK_PACKAGE");
  if (!overridden.isEmpty()) return QString::fromLocal8Bit(overridden);
  return QCoreApplication::applicationDirPath() + QStringLiteral("/korvo-tallisk.package.xml");
}

Package Package::Load(const QString& manifestFile) {
  QFile file(manifestFile);
  if (!file.open(QIODevice::ReadOnly)) {
    throw hresult_error(E_FILE_NOT_FOUND, QStringLiteral("cannot read the package manifest %1").arg(manifestFile));
  }
  Package package;
  package.file_ = manifestFile;
  bool identity = false;
  QXmlStreamReader xml(&file);
  auto fail = [&](const QString& why) -> hresult_error {
    return hresult_error(E_FAIL_CODE,
                         QStringLiteral("the package manifest %1 is not valid: %2").arg(manifestFile, why));
  };
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    const auto name = xml.name();
    const auto attributes = xml.attributes();
    if (name == u"Identity") {
      package.id_.name_ = attributes.value(QStringLiteral("Name")).toString();
      package.id_.publisher_ = attributes.value(QStringLiteral("Publisher")).toString();
      const auto version = ParseVersion(attributes.value(QStringLiteral("Version")).toString());
      if (package.id_.name_.isEmpty()) throw fail(QStringLiteral("the identity has no name"));
      if (!version) throw fail(QStringLiteral("the version is not four numbers a.b.c.d"));
      package.id_.version_ = *version;
      identity = true;
    } else if (name == u"Protocol") {
      package.protocols_ << attributes.value(QStringLiteral("Name")).toString();
    } else if (name == u"Capability" || name == u"CustomCapability") {
      package.capabilities_ << attributes.value(QStringLiteral("Name")).toString();
    }
  }
  if (xml.hasError()) throw fail(xml.errorString());
  if (!identity) throw fail(QStringLiteral("it has no Identity element"));
  return package;
}

const Package& Package::Current() {
  static std::once_flag once;
  static std::optional<Package> current;
  std::call_once(once, [] { current = Load(DefaultManifestFile()); });
  return *current;
}

bool EnterAppContainer(const Package& package) {
  std::vector<std::wstring> capabilities;
  for (const QString& c : package.Capabilities()) capabilities.push_back(c.toStdWString());
  return platform::rpc::RegisterAppContainerProcess(platform::GetCurrentProcessId(),
                                                    package.Id().FamilyName().toStdWString(),
                                                    capabilities) != platform::FALSE;
}

void LeaveAppContainer() {
  platform::rpc::UnregisterAppContainerProcess(platform::GetCurrentProcessId());
}

}  // namespace app_runtime

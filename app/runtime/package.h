// The app's package identity, read from the package manifest installed with the app
// (korvo-tallisk.package.xml beside the program, or the file KORVO_TALLISK_PACKAGE names):
//
//   <Package>
//     <Identity Name="KorvoInc.KorvoTallisk" Publisher="CN=Korvo Inc." Version="7.0.5.1"/>
//     <Protocol Name="korvovesk"/>
//     <Capability Name="internetClient"/>
//     <CustomCapability Name="KorvoInc.varnelCap_q4m8xk2rt7pd3"/>
//   </Package>
//
// The package family name is the name, "_" and the publisher id (eight characters of a
// hash of the publisher), the form the service's access check sees.
#pragma once

#include <QString>
#include <QStringList>

namespace app_runtime {

struct PackageVersion {
  quint16 Major = 0;
  quint16 Minor = 0;
  quint16 Build = 0;
  quint16 Revision = 0;
};

class PackageId {
 public:
  const QString& Name() const { return name_; }
  const QString& Publisher() const { return publisher_; }
  QString PublisherId() const;
  QString FamilyName() const { return name_ + u'_' + PublisherId(); }
  PackageVersion Version() const { return version_; }

 private:
  friend class Package;
  QString name_;
  QString publisher_;
  PackageVersion version_;
};

class Package {
 public:
  // The app's package; raises hresult_error when its manifest is missing or unreadable.
  static const Package& Current();
  // Reads a manifest; raises hresult_error (with the file and the fault) when it cannot.
  static Package Load(const QString& manifestFile);
  static QString DefaultManifestFile();

  const PackageId& Id() const { return id_; }
  const QStringList& Protocols() const { return protocols_; }
  // Every capability the package declares, custom ones included.
  const QStringList& Capabilities() const { return capabilities_; }
  const QString& ManifestFile() const { return file_; }

 private:
  PackageId id_;
  QStringList protocols_;
  QStringList capabilities_;
  QString file_;
};

// Runs this process as the package's app container from now on: the machine's RPC
// runtime checks it with the package SID and its capability SIDs. False when the
// machine refused the record.
bool EnterAppContainer(const Package& package);
void LeaveAppContainer();

}  // namespace app_runtime

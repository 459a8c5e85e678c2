// How the app is opened: a launch (from the desktop's menu, with optional arguments) or
// a protocol activation through its URI scheme ("korvovesk:..."), which the desktop
// entry's handler of x-scheme-handler/korvovesk passes as the program's argument.
//
// One instance runs per user and data root: a second start hands its activation to the
// running instance over a local socket and ends; the running instance raises it as a
// new activation (the app replaces its page).
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

namespace app_runtime {

enum class ActivationKind { Launch = 0, Protocol = 4 };

// A URI as the app is given it. The scheme keeps its letter case (a scheme that differs
// from the app's only in case is another scheme to the app), and the query is the text
// from "?" up to a fragment, "?" included, as it was written.
class Uri {
 public:
  explicit Uri(QString text);
  const QString& RawUri() const { return raw_; }
  const QString& SchemeName() const { return scheme_; }
  const QString& Query() const { return query_; }

 private:
  QString raw_;
  QString scheme_;
  QString query_;
};

struct LaunchActivatedEventArgs {
  QString Arguments;
  bool PrelaunchActivated = false;
};

struct ActivatedEventArgs {
  ActivationKind Kind = ActivationKind::Protocol;
  Uri uri{QString()};
};

// What the command line asks for: an argument of the form "scheme:..." is a protocol
// activation; anything else is a launch with the arguments joined by blanks.
struct Activation {
  ActivationKind kind = ActivationKind::Launch;
  QString arguments;  // the launch's arguments, or the URI
};
Activation ActivationFromCommandLine(const QStringList& arguments);

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // The name of the per-user, per-data-root local socket.
  static QString DefaultServerName();

  explicit SingleInstance(QString serverName = DefaultServerName(), QObject* parent = nullptr);
  ~SingleInstance() override;

  // Hands `activation` to a running instance; true when one took it within `timeoutMs`.
  bool ForwardToRunningInstance(const Activation& activation, int timeoutMs = 3000) const;
  // Becomes the running instance: later activations arrive as `activated`. A socket
  // left by an instance that died is taken over. False when the socket cannot be made.
  bool Listen();

 signals:
  void activated(const app_runtime::Activation& activation);

 private:
  void OnNewConnection();

  QString serverName_;
  QLocalServer* server_ = nullptr;
};

}  // namespace app_runtime

Q_DECLARE_METATYPE(app_runtime::Activation)

#include "app/runtime/activation.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>

#include "app/runtime/app_data.h"

namespace app_runtime {

namespace {

// A message is the kind and the text, as a QDataStream of a fixed version.
QByteArray Encode(const Activation& activation) {
  QByteArray bytes;
  QDataStream out(&bytes, QIODevice::WriteOnly);
  out.setVersion(QDataStream::Qt_6_0);
  out << static_cast<qint32>(activation.kind) << activation.arguments;
  return bytes;
}

}  // namespace

Uri::Uri(QString text) : raw_(std::move(text)) {
  static const QRegularExpression scheme(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*):"));
  const auto match = scheme.match(raw_);
  if (match.hasMatch()) scheme_ = match.captured(1);
  const qsizetype question = raw_.indexOf(u'?');
  if (question >= 0) {
    const qsizetype hash = raw_.indexOf(u'#', question);
    query_ = raw_.mid(question, hash < 0 ? -1 : hash - question);
  }
}

Activation ActivationFromCommandLine(const QStringList& arguments) {
  static const QRegularExpression uri(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
  if (arguments.size() == 1 && uri.match(arguments[0]).hasMatch()) {
    return {ActivationKind::Protocol, arguments[0]};
  }
  return {ActivationKind::Launch, arguments.join(u' ')};
}

QString SingleInstance::DefaultServerName() {
  const QByteArray root = ApplicationData::DefaultRoot().toUtf8();
  return QStringLiteral("korvo-tallisk-") +
         QString::fromLatin1(QCryptographicHash::hash(root, QCryptographicHash::Sha256).toHex().left(16));
}

SingleInstance::SingleInstance(QString serverName, QObject* parent)
    : QObject(parent), serverName_(std::move(serverName)) {
  qRegisterMetaType<app_runtime::Activation>();
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::ForwardToRunningInstance(const Activation& activation, int timeoutMs) const {
  QLocalSocket socket;
  socket.connectToServer(serverName_);
  if (!socket.waitForConnected(timeoutMs)) return false;
  const QByteArray message = Encode(activation);
  QDataStream out(&socket);
  out.setVersion(QDataStream::Qt_6_0);
  out << message;
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  // The running instance answers once it has the whole message.
  if (!socket.waitForReadyRead(timeoutMs)) return false;
  return socket.readAll() == "ok";
}

bool SingleInstance::Listen() {
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(serverName_)) {
    // Nobody answered ForwardToRunningInstance, so the socket is a dead instance's.
    QLocalServer::removeServer(serverName_);
    if (!server_->listen(serverName_)) return false;
  }
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
  return true;
}

void SingleInstance::OnNewConnection() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      QDataStream in(socket);
      in.setVersion(QDataStream::Qt_6_0);
      in.startTransaction();
      QByteArray message;
      in >> message;
      if (!in.commitTransaction()) return;  // the rest is still on its way
      QDataStream fields(message);
      fields.setVersion(QDataStream::Qt_6_0);
      qint32 kind = 0;
      Activation activation;
      fields >> kind >> activation.arguments;
      if (fields.status() != QDataStream::Ok || (kind != static_cast<qint32>(ActivationKind::Launch) &&
                                                 kind != static_cast<qint32>(ActivationKind::Protocol))) {
        socket->disconnectFromServer();
        return;
      }
      activation.kind = static_cast<ActivationKind>(kind);
      socket->write("ok");
      socket->flush();
      emit activated(activation);
    });
  }
}

}  // namespace app_runtime

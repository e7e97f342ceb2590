#include "ctl/Bus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>

namespace ctl {

namespace {

QDBusConnection Connect(RegistryBus::Kind kind) {
  return kind == RegistryBus::Kind::Session ? QDBusConnection::sessionBus()
                                            : QDBusConnection::systemBus();
}

// The errors that mean the registry is gone, or was never there.
bool MeansNotRunning(const QString& error) {
  return error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
         error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
         error == QLatin1String("org.freedesktop.DBus.Error.Disconnected");
}

}  // namespace

RegistryBus::Kind RegistryBus::DefaultKind() {
  return qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ? Kind::System : Kind::Session;
}

RegistryBus::RegistryBus(Kind kind) : kind_(kind), bus_(Connect(kind)) {
  if (!bus_.isConnected() || !RegistryOnBus()) NotRunning();
}

bool RegistryBus::RegistryOnBus() {
  const QDBusReply<bool> owned = bus_.interface()->isServiceRegistered(QLatin1String(kService));
  return owned.isValid() && owned.value();
}

QString RegistryBus::Name() const {
  return kind_ == Kind::Session ? QStringLiteral("session bus") : QStringLiteral("system bus");
}

void RegistryBus::NotRunning() const {
  throw Failure{kNotRunning, QStringLiteral("the registry is not running on the %1").arg(Name())};
}

QDBusMessage RegistryBus::Exchange(const QDBusMessage& call, int timeoutMs) {
  const QDBusMessage reply = bus_.call(call, QDBus::Block, timeoutMs);
  if (reply.type() != QDBusMessage::ErrorMessage) return reply;
  if (MeansNotRunning(reply.errorName())) NotRunning();
  // NoReply also comes when the registry leaves the bus (ends, or is
  // killed) before it answers.
  if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") && !RegistryOnBus())
    throw Failure{kNotRunning, QStringLiteral("the registry stopped running on the %1 before it "
                                              "answered %2")
                                   .arg(Name(), call.member())};
  if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply"))
    throw Failure{kFailed, QStringLiteral("the registry did not answer %1 within %2 seconds")
                               .arg(call.member())
                               .arg(timeoutMs / 1000)};
  throw Failure{kFailed, reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage(),
                reply.errorName()};
}

QVariantList RegistryBus::Call(const char* interface, const QString& member,
                               const QVariantList& args, const char* replySignature,
                               int timeoutMs) {
  QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                     QLatin1String(interface), member);
  call.setArguments(args);
  const QDBusMessage reply = Exchange(call, timeoutMs);
  if (reply.signature() != QLatin1String(replySignature))
    throw Failure{kFailed, QStringLiteral("the registry answered %1 with \"%2\" where \"%3\" was "
                                          "expected; is it another version?")
                               .arg(member, reply.signature(), QLatin1String(replySignature))};
  return reply.arguments();
}

QDBusMessage RegistryBus::PropertiesCall(const char* member) {
  return QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                        QStringLiteral("org.freedesktop.DBus.Properties"),
                                        QLatin1String(member));
}

QVariantMap RegistryBus::OperatorProperties() {
  QDBusMessage call = PropertiesCall("GetAll");
  call << QLatin1String(kOperatorInterface);
  return qdbus_cast<QVariantMap>(Exchange(call, kTimeoutMs).arguments().value(0));
}

void RegistryBus::SetOperatorProperty(const QString& name, const QVariant& value) {
  QDBusMessage call = PropertiesCall("Set");
  call << QLatin1String(kOperatorInterface) << name << QVariant::fromValue(QDBusVariant(value));
  Exchange(call, kTimeoutMs);
}

}  // namespace ctl

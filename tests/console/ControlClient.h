#pragma once
// Another program's view of the registry's remote control: a D-Bus
// connection of its own (so the bus sees a separate caller) that calls
// Tarnwick._clsControl on /clsControl. Calls wait in a local event loop, so
// a registry published in the same test process answers them.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QStringList>
#include <QTest>

inline QVariant N(qint16 v) { return QVariant::fromValue(v); }
inline QVariant Y(uchar v) { return QVariant::fromValue(v); }

class ControlClient {
 public:
  explicit ControlClient(const QString& name,
                         QDBusConnection::BusType type = QDBusConnection::SessionBus)
      : name_(name), bus_(QDBusConnection::connectToBus(type, name)) {}
  // On the bus at this address.
  ControlClient(const QString& name, const QString& address)
      : name_(name), bus_(QDBusConnection::connectToBus(address, name)) {}
  ~ControlClient() { Leave(); }

  // Leaves the bus, as a program that ends does.
  void Leave() {
    if (left_) return;
    // The connection closes only once nothing refers to it any more.
    bus_ = QDBusConnection(QStringLiteral("left the bus"));
    QDBusConnection::disconnectFromBus(name_);
    left_ = true;
  }

  QDBusMessage Call(const QString& member, const QVariantList& args = {},
                    const QString& interface = QStringLiteral("Tarnwick._clsControl")) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("Tarnwick.clsControl"), QStringLiteral("/clsControl"), interface, member);
    call.setArguments(args);
    return bus_.call(call, QDBus::BlockWithGui, 10000);
  }

  QDBusMessage Get(const QString& property) {
    return Call(QStringLiteral("Get"),
                {QStringLiteral("Tarnwick._clsControl"), property},
                QStringLiteral("org.freedesktop.DBus.Properties"));
  }
  QDBusMessage Set(const QString& property, const QVariant& value) {
    return Call(QStringLiteral("Set"),
                {QStringLiteral("Tarnwick._clsControl"), property,
                 QVariant::fromValue(QDBusVariant(value))},
                QStringLiteral("org.freedesktop.DBus.Properties"));
  }
  // The property's value, or an invalid QVariant when the read failed.
  QVariant Read(const QString& property) {
    const QDBusMessage reply = Get(property);
    if (reply.type() != QDBusMessage::ReplyMessage) return {};
    return reply.arguments().value(0).value<QDBusVariant>().variant();
  }

  QDBusConnection& bus() { return bus_; }
  bool RegistryOnBus() {
    return bus_.interface()->isServiceRegistered(QStringLiteral("Tarnwick.clsControl"));
  }

 private:
  QString name_;
  QDBusConnection bus_;
  bool left_ = false;
};

// "error-name: text" for an error reply, empty otherwise.
inline QString Error(const QDBusMessage& reply) {
  if (reply.type() != QDBusMessage::ErrorMessage) return {};
  return reply.errorName() + QStringLiteral(": ") + reply.errorMessage();
}

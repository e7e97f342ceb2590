#include "remote/Dispatcher.h"

#include "storage/Cp1252.h"
#include "storage/Database.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QTimer>

namespace remote {

namespace {
constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
constexpr char kBusService[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";
}  // namespace

std::string Call::Cp1252(int i, const char* argument) const {
  const QString text = Text(i);
  std::string bytes = cp1252::FromUnicode(text);
  if (cp1252::ToUnicode(bytes) != text)
    throw Error{kInvalidText, QStringLiteral("%1 holds a character that code page 1252 cannot "
                                             "represent")
                                  .arg(QLatin1String(argument))};
  return bytes;
}

int Call::Descriptor(int i) const {
  const QDBusUnixFileDescriptor fd = values_.at(i).value<QDBusUnixFileDescriptor>();
  return fd.isValid() ? fd.fileDescriptor() : -1;
}

QString InterfaceElement(const QString& resource) {
  QFile file(resource);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QString xml = QString::fromUtf8(file.readAll());
  const qsizetype begin = xml.indexOf(QLatin1String("<interface "));
  const QLatin1String endTag("</interface>");
  const qsizetype end = xml.lastIndexOf(endTag);
  if (begin < 0 || end < begin) return {};
  return QStringLiteral("  ") + xml.mid(begin, end + endTag.size() - begin) + QLatin1Char('\n');
}

QDBusMessage UnknownProperty(const QDBusMessage& message, const QString& owner, const QString& name) {
  return message.createErrorReply(QDBusError::UnknownProperty,
                                  QStringLiteral("%1 has no property %2").arg(owner, name));
}

QDBusMessage UnknownPropertiesCall(const QDBusMessage& message) {
  return message.createErrorReply(
      QDBusError::UnknownMethod,
      QStringLiteral("%1.%2 with arguments \"%3\" does not exist")
          .arg(QLatin1String(kPropertiesInterface), message.member(), message.signature()));
}

Dispatcher::Dispatcher(QObject* parent) : QDBusVirtualObject(parent) {}

Dispatcher::~Dispatcher() {
  if (bus_) {
    bus_->unregisterService(QLatin1String(kServiceName));
    bus_->unregisterObject(QLatin1String(kObjectPath));
  }
}

void Dispatcher::SetCallerCheck(std::function<bool(uint)> check, QString refusal) {
  callerCheck_ = std::move(check);
  refusal_ = std::move(refusal);
  admitted_.clear();
}

bool Dispatcher::Publish(const QDBusConnection& bus, QString* error) {
  QDBusConnection connection(bus);
  if (!connection.isConnected()) {
    *error = connection.lastError().message();
    return false;
  }
  if (!connection.registerVirtualObject(QLatin1String(kObjectPath), this)) {
    *error = QStringLiteral("the object path %1 is already in use").arg(QLatin1String(kObjectPath));
    return false;
  }
  // What callers have of their own dies with their connection; the bus
  // announces every connection that leaves.
  const auto watch = [&](bool on) {
    const QString service = QLatin1String(kBusService), path = QLatin1String(kBusPath);
    const char* slot = SLOT(OnNameOwnerChanged(QString,QString,QString));
    return on ? connection.connect(service, path, service, QStringLiteral("NameOwnerChanged"), this, slot)
              : connection.disconnect(service, path, service, QStringLiteral("NameOwnerChanged"), this, slot);
  };
  watch(true);
  if (!connection.registerService(QLatin1String(kServiceName))) {
    const QDBusError refused = connection.lastError();
    *error = refused.isValid() ? refused.message()
                               : QStringLiteral("the name %1 is already taken on this bus")
                                     .arg(QLatin1String(kServiceName));
    watch(false);
    connection.unregisterObject(QLatin1String(kObjectPath));
    return false;
  }
  bus_ = connection;
  return true;
}

void Dispatcher::OnNameOwnerChanged(const QString& name, const QString&, const QString& newOwner) {
  if (!newOwner.isEmpty()) return;
  admitted_.erase(name);
  for (Interface* interface : interfaces_) interface->CallerLeft(name);
}

QString Dispatcher::introspect(const QString&) const {
  QString xml;
  for (const Interface* interface : interfaces_) xml += InterfaceElement(interface->IntrospectionResource());
  return xml;
}

std::optional<bool> Dispatcher::Admitted(const QString& sender, const QDBusConnection& bus) {
  if (!callerCheck_) return true;
  const auto found = admitted_.find(sender);
  if (found != admitted_.end()) return found->second;
  // A unique name keeps its user for as long as it exists, so the look-up
  // is made once per connection. It fails when the caller has already
  // left, and nothing is then kept for it.
  const QDBusReply<uint> uid = bus.interface()->serviceUid(sender);
  if (!uid.isValid()) return std::nullopt;
  return admitted_.emplace(sender, callerCheck_(uid.value())).first->second;
}

Interface* Dispatcher::Named(const QString& name) const {
  for (Interface* interface : interfaces_)
    if (name == QLatin1String(interface->Name())) return interface;
  return nullptr;
}

bool Dispatcher::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
  if (message.type() != QDBusMessage::MethodCallMessage || interfaces_.empty()) return false;
  const QString name = message.interface();
  const bool properties = name == QLatin1String(kPropertiesInterface);
  Interface* interface = properties ? nullptr : Named(name);
  if (!properties && !interface) {
    // Introspection and the peer interface are left to Qt; so is a call
    // naming no interface that no member of the first one answers.
    if (!name.isEmpty() || !interfaces_.front()->Signature(message.member())) return false;
    interface = interfaces_.front();
  }

  QDBusMessage reply;
  // A caller that left before its call was handled is let in only when
  // everyone is.
  if (!Admitted(message.service(), connection).value_or(!callerCheck_)) {
    reply = message.createErrorReply(QLatin1String(kAccessDenied), refusal_);
  } else if (properties) {
    const QString named = message.arguments().value(0).toString();
    Interface* owner = named.isEmpty() ? interfaces_.front() : Named(named);
    // An interface not ours: the first one answers, as it has nothing.
    reply = (owner ? owner : interfaces_.front())->Properties(message);
  } else {
    reply = Invoke(*interface, message, connection);
  }
  if (message.isReplyRequired()) connection.send(reply);
  RunAfterReply(connection);
  return true;
}

QDBusMessage Dispatcher::Invoke(Interface& interface, const QDBusMessage& message,
                                const QDBusConnection& bus) {
  const char* signature = interface.Signature(message.member());
  if (!signature)
    return message.createErrorReply(
        QDBusError::UnknownMethod,
        QStringLiteral("%1 has no method %2").arg(QLatin1String(interface.Name()), message.member()));
  if (message.signature() != QLatin1String(signature))
    return message.createErrorReply(
        QDBusError::InvalidArgs,
        QStringLiteral("%1 takes arguments of type \"%2\", not \"%3\"")
            .arg(message.member(), QLatin1String(signature), message.signature()));
  try {
    return message.createReply(interface.Run(message.member(), Call(message, bus)));
  } catch (const Error& e) {
    return message.createErrorReply(QLatin1String(e.name), e.text);
  } catch (const DatabaseError& e) {
    return message.createErrorReply(QLatin1String(kDatabaseError), QString::fromUtf8(e.what()));
  } catch (const std::exception& e) {
    return message.createErrorReply(QDBusError::Failed, QString::fromUtf8(e.what()));
  }
}

void Dispatcher::RunAfterReply(const QDBusConnection& connection) {
  if (!afterReply_) return;
  std::function<void()> then = std::move(afterReply_);
  afterReply_ = nullptr;
  QTimer::singleShot(0, this, [bus = QDBusConnection(connection), then = std::move(then)] {
    // The reply went out on this connection before this round trip to the
    // bus daemon, so once the daemon answers it holds the reply, and the
    // caller gets it even though the registry ends now.
    bus.interface()->serviceOwner(QLatin1String(kBusService));
    then();
  });
}

}  // namespace remote

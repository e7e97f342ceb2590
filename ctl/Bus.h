#pragma once
// The running registry as tarnwickctl reaches it: the name
// Tarnwick.clsControl on the session bus or the system bus, object
// /clsControl, interface Tarnwick.Operator (remote/Protocol.h has the
// names). tarnwickctl speaks that interface alone: its refusals are D-Bus
// errors, never ErrData reports.
#include "ctl/Failure.h"
#include "remote/Protocol.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

namespace ctl {

using remote::kOperatorInterface;
inline constexpr const char* kService = remote::kServiceName;
inline constexpr const char* kPath = remote::kObjectPath;

class RegistryBus {
 public:
  enum class Kind { Session, System };
  // The session bus when DBUS_SESSION_BUS_ADDRESS is set, else the system bus.
  static Kind DefaultKind();

  // Throws Failure (kNotRunning) when the bus cannot be reached or no
  // registry holds its name there.
  explicit RegistryBus(Kind kind);
  RegistryBus(const RegistryBus&) = delete;
  RegistryBus& operator=(const RegistryBus&) = delete;

  // A method call; its reply's arguments, which must be of the type
  // `replySignature`. An error reply throws Failure with its text.
  QVariantList Call(const char* interface, const QString& member, const QVariantList& args,
                    const char* replySignature, int timeoutMs = kTimeoutMs);
  QVariantList Operator(const QString& member, const QVariantList& args = {},
                        const char* replySignature = "", int timeoutMs = kTimeoutMs) {
    return Call(kOperatorInterface, member, args, replySignature, timeoutMs);
  }

  QVariantMap OperatorProperties();
  void SetOperatorProperty(const QString& name, const QVariant& value);

  bool RegistryOnBus();
  QDBusConnection& connection() { return bus_; }
  // "session bus" or "system bus".
  QString Name() const;
  [[noreturn]] void NotRunning() const;

  static constexpr int kTimeoutMs = 25000;

 private:
  // Sends a call and waits for its reply; an error reply throws Failure.
  QDBusMessage Exchange(const QDBusMessage& call, int timeoutMs);
  static QDBusMessage PropertiesCall(const char* member);

  Kind kind_;
  QDBusConnection bus_;
};

}  // namespace ctl

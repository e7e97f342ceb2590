#pragma once
// The one D-Bus object of the remote control, /clsControl, and the
// dispatch both of its interfaces share: the access check of each caller,
// the member tables with their argument checks, the mapping of failures to
// D-Bus errors, introspection from the installed files, and the callers
// that leave the bus. Tarnwick._clsControl (console/clsControl) and
// Tarnwick.Operator (console/OperatorControl) are thin tables over it.
//
// Error style of this layer: a member that cannot be done throws
// remote::Error (its D-Bus error name and text); a DatabaseError thrown
// through it becomes Tarnwick.Error.Database with the engine's message.
// Refusals that a caller reads from its ErrData are replies, not errors.
//
// It is a virtual D-Bus object rather than a QObject with exported slots:
// the old interface's properties belong to each calling connection, and
// Qt's own property dispatch never tells a getter who is asking.
#include "remote/Protocol.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QString>
#include <QVariantList>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace remote {

// A call that fails outright: the D-Bus error name and its text.
struct Error {
  const char* name;
  QString text;
};

// One call: its arguments, already checked against the member's signature,
// and who made it.
class Call {
 public:
  Call(const QDBusMessage& message, const QDBusConnection& bus)
      : message_(message), values_(message.arguments()), bus_(bus) {}
  // As passed, for an out argument that keeps the caller's value.
  const QVariant& operator[](int i) const { return values_.at(i); }
  QString Text(int i) const { return values_.at(i).toString(); }
  // The text as code page 1252. A character outside it would silently
  // become '?', and a name would then find or overwrite another one, so
  // such a text fails the call (InvalidText) instead.
  std::string Cp1252(int i, const char* argument) const;
  int Int(int i) const { return values_.at(i).toInt(); }
  uchar Byte(int i) const { return values_.at(i).value<uchar>(); }
  double Double(int i) const { return values_.at(i).toDouble(); }
  // The caller's descriptor, -1 when none came. The message's copy of it
  // stays open while the call is handled.
  int Descriptor(int i) const;
  QString Sender() const { return message_.service(); }
  const QDBusConnection& Bus() const { return bus_; }

 private:
  const QDBusMessage& message_;
  const QVariantList values_;
  const QDBusConnection& bus_;
};

// One interface of the object: its member table and its properties.
class Interface {
 public:
  virtual ~Interface() = default;
  virtual const char* Name() const = 0;
  // The introspection file compiled in from packaging/ (":/Name.xml").
  virtual QString IntrospectionResource() const = 0;
  // The member's signature of arguments passed in; nullptr when the
  // interface has no such member.
  virtual const char* Signature(const QString& member) const = 0;
  // Runs a member whose arguments match its signature; returns the reply's
  // arguments or throws.
  virtual QVariantList Run(const QString& member, const Call& call) = 0;
  // Get, GetAll or Set of org.freedesktop.DBus.Properties naming this
  // interface (GetAll and Get also with an empty interface name for the
  // first interface), from an admitted caller; the reply.
  virtual QDBusMessage Properties(const QDBusMessage& message) = 0;
  // A connection left the bus.
  virtual void CallerLeft(const QString& /*name*/) {}
};

// A member table entry of an interface class T.
template <class T>
struct Member {
  const char* name;
  const char* signature;  // of the arguments passed in
  QVariantList (T::*run)(const Call&);
};

template <class T, std::size_t N>
const Member<T>* FindMember(const Member<T> (&table)[N], const QString& name) {
  for (const Member<T>& m : table)
    if (name == QLatin1String(m.name)) return &m;
  return nullptr;
}

// The interface element of an introspection file, as installed.
QString InterfaceElement(const QString& resource);

// The error reply for a property the interface does not have, or a
// properties call it does not know.
QDBusMessage UnknownProperty(const QDBusMessage& message, const QString& owner, const QString& name);
QDBusMessage UnknownPropertiesCall(const QDBusMessage& message);

class Dispatcher : public QDBusVirtualObject {
  Q_OBJECT
 public:
  explicit Dispatcher(QObject* parent = nullptr);
  ~Dispatcher() override;

  // In the order they are introspected; the first takes calls that name no
  // interface.
  void Add(Interface& interface) { interfaces_.push_back(&interface); }

  // Decides from a caller's user id whether it may use the remote control;
  // a refused caller gets AccessDenied with the refusal text. Without a
  // check, every caller on the bus may.
  void SetCallerCheck(std::function<bool(uint uid)> check, QString refusal);

  // Registers the object and takes the well-known name on bus. On failure
  // nothing stays registered and *error says why.
  bool Publish(const QDBusConnection& bus, QString* error);

  // Runs once the reply of the call being handled is on its way (the
  // registry's stop, which need not return).
  void AfterReply(std::function<void()> then) { afterReply_ = std::move(then); }

  QString introspect(const QString& path) const override;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private slots:
  void OnNameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

 private:
  // Whether the caller may; nullopt when it has already left the bus.
  std::optional<bool> Admitted(const QString& sender, const QDBusConnection& bus);
  Interface* Named(const QString& name) const;
  QDBusMessage Invoke(Interface& interface, const QDBusMessage& message,
                      const QDBusConnection& bus);
  void RunAfterReply(const QDBusConnection& bus);

  std::vector<Interface*> interfaces_;
  std::function<bool(uint)> callerCheck_;
  QString refusal_;
  std::map<QString, bool> admitted_;  // by unique name, while connected
  std::optional<QDBusConnection> bus_;  // once published
  std::function<void()> afterReply_;
};

}  // namespace remote

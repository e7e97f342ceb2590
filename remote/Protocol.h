#pragma once
// The remote control as it is seen on the bus, for both ends: the registry
// (console/clsControl, console/OperatorControl) and tarnwickctl include this
// one header, so names, error names and the rows of the listings cannot
// drift apart. Header-only and QtDBus only: tarnwickctl links nothing of the
// registry.
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QList>
#include <QMetaType>
#include <QString>

namespace remote {

inline constexpr char kServiceName[] = "Tarnwick.clsControl";
inline constexpr char kObjectPath[] = "/clsControl";
// The interface of the programs written for the registry's remote control,
// with ErrData reports; and the operator's own, with D-Bus errors.
inline constexpr char kControlInterface[] = "Tarnwick._clsControl";
inline constexpr char kOperatorInterface[] = "Tarnwick.Operator";

// A call that fails outright. Both interfaces:
inline constexpr char kSubscriptOutOfRange[] = "Tarnwick.Error.SubscriptOutOfRange";
inline constexpr char kDatabaseError[] = "Tarnwick.Error.Database";
inline constexpr char kInvalidText[] = "Tarnwick.Error.InvalidText";
inline constexpr char kInvalidDate[] = "Tarnwick.Error.InvalidDate";
inline constexpr char kMessageTooLong[] = "Tarnwick.Error.MessageTooLong";
inline constexpr char kAccessDenied[] = "org.freedesktop.DBus.Error.AccessDenied";
// Tarnwick.Operator's refusals:
inline constexpr char kNotOnline[] = "Tarnwick.Error.NotOnline";
inline constexpr char kOnOtherRegistry[] = "Tarnwick.Error.OnOtherRegistry";
inline constexpr char kRefused[] = "Tarnwick.Error.Refused";
inline constexpr char kBackupFailed[] = "Tarnwick.Error.Backup";

// Unban dates cross Tarnwick.Operator as ISO 8601 local time.
inline constexpr char kIsoDateTime[] = "yyyy-MM-ddTHH:mm:ss";

// The rows of Tarnwick.Operator's listings. A server's IP is its
// connection's own address, ListedIP the one players on the internet are
// given (the same unless the address map maps it). Registry is the instance
// it is logged in at where several registries share the list, and empty
// where they do not; a server at another registry has no slot here (0).
struct ServerRow {
  qint16 Slot = 0;
  QString User, IP;
  uchar PlayerCount = 0;
  QString Name;
  uchar Official = 0;
  QString Description, UpdateURL, ListedIP, Registry;
};
inline constexpr char kServerRows[] = "a(nssysyssss)";

// Never the password.
struct AccountRow {
  QString User, Name, Description, UpdateURL;
  uchar Official = 0;
};
inline constexpr char kAccountRows[] = "a(ssssy)";
inline constexpr char kAccountRow[] = "(ssssy)";

struct BanRow {
  uchar Number = 0;
  QString Name, IP, Reason, UnbanDate;  // UnbanDate: ISO text, empty for none
};
inline constexpr char kBanRows[] = "a(yssss)";

inline QDBusArgument& operator<<(QDBusArgument& a, const ServerRow& r) {
  a.beginStructure();
  a << r.Slot << r.User << r.IP << r.PlayerCount << r.Name << r.Official << r.Description
    << r.UpdateURL << r.ListedIP << r.Registry;
  a.endStructure();
  return a;
}
inline const QDBusArgument& operator>>(const QDBusArgument& a, ServerRow& r) {
  a.beginStructure();
  a >> r.Slot >> r.User >> r.IP >> r.PlayerCount >> r.Name >> r.Official >> r.Description >>
      r.UpdateURL >> r.ListedIP >> r.Registry;
  a.endStructure();
  return a;
}
inline QDBusArgument& operator<<(QDBusArgument& a, const AccountRow& r) {
  a.beginStructure();
  a << r.User << r.Name << r.Description << r.UpdateURL << r.Official;
  a.endStructure();
  return a;
}
inline const QDBusArgument& operator>>(const QDBusArgument& a, AccountRow& r) {
  a.beginStructure();
  a >> r.User >> r.Name >> r.Description >> r.UpdateURL >> r.Official;
  a.endStructure();
  return a;
}
inline QDBusArgument& operator<<(QDBusArgument& a, const BanRow& r) {
  a.beginStructure();
  a << r.Number << r.Name << r.IP << r.Reason << r.UnbanDate;
  a.endStructure();
  return a;
}
inline const QDBusArgument& operator>>(const QDBusArgument& a, BanRow& r) {
  a.beginStructure();
  a >> r.Number >> r.Name >> r.IP >> r.Reason >> r.UnbanDate;
  a.endStructure();
  return a;
}

// The rows of a reply argument of type `a(...)`.
template <class Row>
QList<Row> RowsOf(const QVariant& argument) {
  QList<Row> rows;
  argument.value<QDBusArgument>() >> rows;
  return rows;
}

}  // namespace remote

Q_DECLARE_METATYPE(remote::ServerRow)
Q_DECLARE_METATYPE(remote::AccountRow)
Q_DECLARE_METATYPE(remote::BanRow)

namespace remote {

// Once per process, before a row crosses the bus.
inline void RegisterRowTypes() {
  qDBusRegisterMetaType<ServerRow>();
  qDBusRegisterMetaType<QList<ServerRow>>();
  qDBusRegisterMetaType<AccountRow>();
  qDBusRegisterMetaType<QList<AccountRow>>();
  qDBusRegisterMetaType<BanRow>();
  qDBusRegisterMetaType<QList<BanRow>>();
}

}  // namespace remote

// The built registry's remote control, as an operator installs it: on the
// session bus when there is one, on the system bus otherwise, with the
// installed policy file; and the registry still running when neither bus
// can be had.
#include "app/RemoteControlHost.h"
#include "common/RegistryProcess.h"
#include "console/ControlClient.h"

#include <QStandardPaths>
#include <QtTest>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

// A system bus of the test's own, run by a dbus-daemon with the policy
// given, on an abstract socket that every local user can reach.
class PrivateSystemBus {
 public:
  bool Start(const QString& policy) {
    QFile config(dir.filePath("system.conf"));
    if (!config.open(QIODevice::WriteOnly)) return false;
    config.write(("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig><type>system</type><listen>unix:tmpdir=/tmp</listen>"
                  "<auth>EXTERNAL</auth>" + policy + "</busconfig>\n")
                     .toUtf8());
    config.close();
    daemon.start(QStringLiteral("dbus-daemon"),
                 {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
    if (!daemon.waitForStarted(5000)) return false;
    QDeadlineTimer deadline(10000);
    while (!daemon.canReadLine() && !deadline.hasExpired()) daemon.waitForReadyRead(100);
    address = QString::fromUtf8(daemon.readLine()).trimmed();
    return !address.isEmpty();
  }
  ~PrivateSystemBus() {
    daemon.terminate();
    daemon.waitForFinished(5000);
  }

  QTemporaryDir dir;
  QProcess daemon;
  QString address;
};

// Everything allowed, so only the registry's own check stands between a
// caller and the remote control.
const QString kOpenPolicy = QStringLiteral(
    "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
    "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy>");

// The default policy of a Debian system bus plus the installed policy file,
// or the text given in its place.
QString InstalledPolicy(const QString& policyFile = {}) {
  return QStringLiteral(
             "<policy context=\"default\"><allow user=\"*\"/><deny own=\"*\"/>"
             "<deny send_type=\"method_call\"/><allow send_type=\"signal\"/>"
             "<allow send_requested_reply=\"true\" send_type=\"method_return\"/>"
             "<allow send_requested_reply=\"true\" send_type=\"error\"/>"
             "<allow receive_type=\"method_call\"/><allow receive_type=\"method_return\"/>"
             "<allow receive_type=\"error\"/><allow receive_type=\"signal\"/>"
             "<allow send_destination=\"org.freedesktop.DBus\" send_interface=\"org.freedesktop.DBus\"/>"
             "<allow send_destination=\"org.freedesktop.DBus\" "
             "send_interface=\"org.freedesktop.DBus.Introspectable\"/></policy>"
             "<include>") +
         (policyFile.isEmpty() ? QStringLiteral(TARNWICK_SOURCE_DIR "/packaging/Tarnwick.clsControl.conf")
                               : policyFile) +
         QStringLiteral("</include>");
}

struct CallResult {
  int exitCode = -1;
  QString output;
};

// A program run with other ids: setpriv's options, such as "--reuid=65534".
CallResult RunAs(const QStringList& ids, const QString& program, const QStringList& args,
                 const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
  QProcess call;
  call.setProcessEnvironment(env);
  call.start(QStringLiteral("setpriv"), ids + QStringList{program} + args);
  call.waitForFinished(10000);
  return {call.exitCode(), QString::fromUtf8(call.readAllStandardOutput() + call.readAllStandardError())};
}

// A program run as the user nobody.
CallResult RunAsNobody(const QString& program, const QStringList& args,
                       const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
  return RunAs({"--reuid=65534", "--regid=65534", "--clear-groups"}, program, args, env);
}

// The bus asked, by dbus-send with these ids, for the name
// Tarnwick.clsControl (without waiting in line for it).
CallResult RequestNameAs(const QStringList& ids, const QString& address) {
  return RunAs(ids, QStringLiteral("dbus-send"),
               {"--bus=" + address, "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                "org.freedesktop.DBus.RequestName", "string:Tarnwick.clsControl", "uint32:4"});
}

// A method (OptionCount unless another is named, with dbus-send's typed
// arguments) called by dbus-send running as the user nobody.
CallResult CallAsNobody(const QString& address,
                        const QString& method = QStringLiteral("Tarnwick._clsControl.OptionCount"),
                        const QStringList& args = {}) {
  return RunAsNobody(QStringLiteral("dbus-send"),
                     QStringList{"--bus=" + address, "--print-reply", "--dest=Tarnwick.clsControl",
                                 "/clsControl", method} +
                         args);
}

// Members of both interfaces, read and write, and a property of each.
const QList<QStringList> kMembersToRefuse = {
    {"Tarnwick._clsControl.OptionCount"},
    {"Tarnwick.Operator.ListServers"},
    {"Tarnwick.Operator.ListAccounts", "string:"},
    {"Tarnwick.Operator.EventLog"},
    {"Tarnwick.Operator.FollowLog"},
    {"Tarnwick.Operator.Disconnect", "string:alpha"},
    {"Tarnwick.Operator.Backup", "string:/tmp/tarnwick-copy.dat"},  // a path, which it no longer takes
    {"org.freedesktop.DBus.Properties.GetAll", "string:Tarnwick.Operator"},
    {"org.freedesktop.DBus.Properties.Set", "string:Tarnwick.Operator", "string:AllowNewAccounts",
     "variant:boolean:true"},
};

// tarnwickctl, copied where the user nobody may run it.
struct CtlForNobody {
  QTemporaryDir dir;
  QString path = dir.filePath("tarnwickctl");
  CtlForNobody() {
    QFile::copy(QStringLiteral(TARNWICKCTL_EXECUTABLE), path);
    QFile(dir.path()).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                     QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                     QFileDevice::ExeOther);
  }
  CallResult Run(const QString& busAddress, const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", busAddress);
    return RunAsNobody(path, args, env);
  }
};

bool CanActAsNobody() {
  return geteuid() == 0 && !QStandardPaths::findExecutable("setpriv").isEmpty();
}

// A game server with a new account (new accounts allowed); null when the
// registry did not accept it.
std::unique_ptr<Client> NewServer(std::uint16_t port, const std::string& user) {
  auto server = std::make_unique<Client>(port);
  server->SendPacket(std::string(1, '\0') + user + std::string(1, '\0') + "secret");
  const std::string accepted = std::string{0x00, 0x0C, 0x00} + "<untitled>" + std::string(1, '\0');
  if (server->Read(accepted.size()) != accepted) return nullptr;
  return server;
}

// The registry's own lines on standard error, without the toolkit's
// warnings, once it has written one (and a moment more, for any other).
QStringList OwnErrorLines(RegistryProcess& registry) {
  QString text;
  const auto own = [&] {
    QStringList lines;
    for (const QString& line : text.split('\n'))
      if (line.startsWith("Tarnwick:") && text.contains(line + '\n')) lines << line;
    return lines;
  };
  QDeadlineTimer deadline(10000);
  while (own().isEmpty() && !deadline.hasExpired()) {
    QTest::qWait(20);
    text += QString::fromUtf8(registry.process.readAllStandardError());
  }
  QTest::qWait(200);
  text += QString::fromUtf8(registry.process.readAllStandardError());
  return own();
}

}  // namespace

class TestRemoteControl : public QObject {
  Q_OBJECT
 private slots:
  void shutdownServerEndsTheRegistry();
  void withoutABusTheRegistryRuns();
  void nameTakenTheRegistryRuns();
  void systemBusRegistryRefusesOtherUsers();
  void systemBusPolicyRefusesOtherUsers();
  void systemBusPolicyLetsOnlyTheServiceUserOwnTheName();
  void rootMayControl();
};

void TestRemoteControl::shutdownServerEndsTheRegistry() {
  RegistryProcess registry;
  registry.keepSessionBus = true;
  registry.WriteSettings("[Kestrune]\r\nAutoAllow=True\r\n");
  QVERIFY(registry.Start());
  ControlClient operatorTool(QStringLiteral("operator"));
  QTRY_VERIFY(operatorTool.RegistryOnBus());

  auto alpha = NewServer(registry.port, "alpha");
  QVERIFY(alpha);
  QCOMPARE(operatorTool.Call("FindServer", {"ALPHA"}).arguments(), QVariantList{N(1)});
  const QDBusMessage reply = operatorTool.Call("ShutdownServer", {"maintenance", "as passed"});
  QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
  QCOMPARE(reply.arguments(), QVariantList{"as passed"});

  QVERIFY(registry.WaitForExit());
  QCOMPARE(registry.process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(registry.process.exitCode(), 0);
  QVERIFY(alpha->ClosedByPeer());
  registry.output += QString::fromUtf8(registry.process.readAllStandardOutput());
  QVERIFY(registry.output.contains("alpha has disconnected from 127.0.0.1"));
  QTRY_VERIFY(!operatorTool.RegistryOnBus());
}

void TestRemoteControl::withoutABusTheRegistryRuns() {
  RegistryProcess registry;  // no session bus, and a system bus address that leads nowhere
  registry.WriteSettings("[Kestrune]\r\nAutoAllow=True\r\n");
  QVERIFY(registry.Start());
  QVERIFY(NewServer(registry.port, "alpha"));
  const QStringList errors = OwnErrorLines(registry);
  QCOMPARE(errors.size(), 1);
  QVERIFY2(errors[0].startsWith("Tarnwick: remote control is off: system bus: "), qPrintable(errors[0]));
  QCOMPARE(registry.Terminate(), 0);
}

void TestRemoteControl::nameTakenTheRegistryRuns() {
  ControlClient squatter(QStringLiteral("squatter"));
  QVERIFY(squatter.bus().registerService(QStringLiteral("Tarnwick.clsControl")));
  RegistryProcess registry;
  registry.keepSessionBus = true;
  registry.WriteSettings("[Kestrune]\r\nAutoAllow=True\r\n");
  QVERIFY(registry.Start());
  QCOMPARE(OwnErrorLines(registry),
           QStringList{"Tarnwick: remote control is off: session bus: the name Tarnwick.clsControl "
                       "is already taken on this bus"});
  QVERIFY(NewServer(registry.port, "alpha"));
  QCOMPARE(registry.Terminate(), 0);
}

// Even with a bus that lets everyone through, the registry answers only
// root and the group kestrune.
void TestRemoteControl::systemBusRegistryRefusesOtherUsers() {
  if (!CanActAsNobody()) QSKIP("needs root and setpriv to call as another user");
  PrivateSystemBus bus;
  QVERIFY(bus.Start(kOpenPolicy));
  RegistryProcess registry;
  registry.extraEnvironment.insert("DBUS_SYSTEM_BUS_ADDRESS", bus.address);
  QVERIFY(registry.Start());
  ControlClient root(QStringLiteral("root"), bus.address);
  QTRY_VERIFY(root.RegistryOnBus());
  QCOMPARE(root.Call("OptionCount").arguments(), QVariantList{N(12)});

  for (const QStringList& member : kMembersToRefuse) {
    const CallResult nobody = CallAsNobody(bus.address, member.first(), member.mid(1));
    QVERIFY(nobody.exitCode != 0);
    QVERIFY2(nobody.output.contains("org.freedesktop.DBus.Error.AccessDenied: Only root and members "
                                    "of the group kestrune may use the registry's remote control"),
             qPrintable(member.first() + ": " + nobody.output));
  }
  CtlForNobody ctl;
  const CallResult refused = ctl.Run(bus.address, {"allow-new-accounts", "on"});
  QCOMPARE(refused.exitCode, 1);
  QCOMPARE(refused.output, QStringLiteral("tarnwickctl: Only root and members of the group kestrune "
                                          "may use the registry's remote control\n"));
  QVERIFY(!QFile::exists("/tmp/tarnwick-copy.dat"));
  QCOMPARE(root.Call("OptionCount").arguments(), QVariantList{N(12)});
  QCOMPARE(registry.Terminate(), 0);
}

// With the installed policy the bus itself turns other users away.
void TestRemoteControl::systemBusPolicyRefusesOtherUsers() {
  if (!CanActAsNobody()) QSKIP("needs root and setpriv to call as another user");
  PrivateSystemBus bus;
  QVERIFY(bus.Start(InstalledPolicy()));
  RegistryProcess registry;
  registry.extraEnvironment.insert("DBUS_SYSTEM_BUS_ADDRESS", bus.address);
  QVERIFY(registry.Start());
  ControlClient root(QStringLiteral("root"), bus.address);
  QTRY_VERIFY(root.RegistryOnBus());
  QCOMPARE(root.Call("OptionText", {N(3)}).arguments(),
           QVariantList{"Add Account - for creating a new server account"});

  for (const QStringList& member : kMembersToRefuse) {
    const CallResult nobody = CallAsNobody(bus.address, member.first(), member.mid(1));
    QVERIFY(nobody.exitCode != 0);
    QVERIFY2(nobody.output.contains("org.freedesktop.DBus.Error.AccessDenied: Rejected send message"),
             qPrintable(member.first() + ": " + nobody.output));
  }
  CtlForNobody ctl;
  const CallResult refused = ctl.Run(bus.address, {"status"});
  QCOMPARE(refused.exitCode, 1);
  QVERIFY2(refused.output.startsWith("tarnwickctl: Rejected send message"), qPrintable(refused.output));
  QCOMPARE(registry.Terminate(), 0);
}

// Members of the group kestrune may call the registry but not take its
// name, which would let one receive the calls of the others; only root and
// the user kestrune may. The installed file is used with the user and the
// group named after accounts this machine has (daemon and nogroup here),
// as the machine running the tests need not have the user kestrune.
void TestRemoteControl::systemBusPolicyLetsOnlyTheServiceUserOwnTheName() {
  if (!CanActAsNobody()) QSKIP("needs root and setpriv to call as another user");
  if (!getpwnam("daemon") || !getpwnam("bin") || !getgrnam("nogroup"))
    QSKIP("needs the users daemon and bin and the group nogroup");
  QFile installed(QStringLiteral(TARNWICK_SOURCE_DIR "/packaging/Tarnwick.clsControl.conf"));
  QVERIFY(installed.open(QIODevice::ReadOnly));
  QString policy = QString::fromUtf8(installed.readAll());
  QCOMPARE(policy.count("user=\"kestrune\""), 1);
  QCOMPARE(policy.count("group=\"kestrune\""), 1);
  policy.replace("user=\"kestrune\"", "user=\"daemon\"").replace("group=\"kestrune\"", "group=\"nogroup\"");
  QTemporaryDir dir;
  QFile stood(dir.filePath("Tarnwick.clsControl.conf"));
  QVERIFY(stood.open(QIODevice::WriteOnly));
  stood.write(policy.toUtf8());
  stood.close();
  PrivateSystemBus bus;
  QVERIFY(bus.Start(InstalledPolicy(stood.fileName())));

  const QStringList member{"--reuid=65534", "--regid=65534", "--groups=65534"};  // nobody, in nogroup
  const QStringList outsider{"--reuid=2", "--regid=2", "--clear-groups"};  // bin
  const QStringList serviceUser{"--reuid=1", "--regid=1", "--clear-groups"};
  const QString mayNotOwn = QStringLiteral("is not allowed to own the service \"Tarnwick.clsControl\"");
  // Before the registry runs: the service's user gets the name (and gives it
  // up as dbus-send ends), a member of the group does not.
  CallResult asked = RequestNameAs(member, bus.address);
  QVERIFY2(asked.exitCode != 0 && asked.output.contains(mayNotOwn), qPrintable(asked.output));
  asked = RequestNameAs(outsider, bus.address);
  QVERIFY2(asked.exitCode != 0 && asked.output.contains(mayNotOwn), qPrintable(asked.output));
  asked = RequestNameAs(serviceUser, bus.address);
  QVERIFY2(asked.exitCode == 0 && asked.output.contains("uint32 1"), qPrintable(asked.output));  // primary owner

  // With the registry (as root) holding the name: a member's call reaches
  // it (and it answers with its own check), an outsider's does not.
  RegistryProcess registry;
  registry.extraEnvironment.insert("DBUS_SYSTEM_BUS_ADDRESS", bus.address);
  QVERIFY(registry.Start());
  ControlClient root(QStringLiteral("root"), bus.address);
  QTRY_VERIFY(root.RegistryOnBus());
  const QStringList call{"--bus=" + bus.address, "--print-reply", "--dest=Tarnwick.clsControl",
                         "/clsControl", "Tarnwick._clsControl.OptionCount"};
  const CallResult byMember = RunAs(member, QStringLiteral("dbus-send"), call);
  QVERIFY2(!byMember.output.contains("Rejected send message"), qPrintable(byMember.output));
  // (nobody is no member of this machine's group kestrune, if it has one)
  QVERIFY2(byMember.output.contains("Only root and members of the group kestrune"), qPrintable(byMember.output));
  const CallResult byOutsider = RunAs(outsider, QStringLiteral("dbus-send"), call);
  QVERIFY2(byOutsider.output.contains("Rejected send message"), qPrintable(byOutsider.output));
  asked = RequestNameAs(member, bus.address);
  QVERIFY2(asked.output.contains(mayNotOwn), qPrintable(asked.output));
  asked = RequestNameAs(serviceUser, bus.address);
  QVERIFY2(asked.output.contains("uint32 3"), qPrintable(asked.output));  // allowed, but taken
  QCOMPARE(root.Call("OptionCount").arguments(), QVariantList{N(12)});
  QCOMPARE(registry.Terminate(), 0);
}

void TestRemoteControl::rootMayControl() {
  QVERIFY(MayControlRegistry(0));
  QVERIFY(!MayControlRegistry(uid_t(4000000000u)));  // no such user
  if (!getgrnam(kOperatorGroup)) QVERIFY(!MayControlRegistry(65534));
}

QTEST_MAIN(TestRemoteControl)
#include "test_remote_control.moc"

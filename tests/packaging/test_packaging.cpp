// The service set-up as an operator meets it: the unit's sandbox rated by
// systemd-analyze, and what make install puts where (staged in DESTDIR), and
// what make uninstall leaves.
#include "app/ServiceHost.h"

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString kSource = QStringLiteral(TARNWICK_SOURCE_DIR);
const QString kBuild = QFileInfo(QStringLiteral(TARNWICK_EXECUTABLE)).absolutePath();

QString ReadText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void WriteText(const QString& path, const QString& text) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(text.toUtf8());
}

// A unit without its leading comment.
QString Body(const QString& unit) {
  QStringList lines = unit.split('\n');
  while (!lines.isEmpty() && lines.first().startsWith('#')) lines.removeFirst();
  return lines.join('\n');
}

mode_t ModeOf(const QString& path) {
  struct stat st {};
  lstat(QFile::encodeName(path).constData(), &st);
  return st.st_mode & 07777;
}

// Every file under a folder, as paths relative to it.
QStringList Tree(const QString& root) {
  QStringList files;
  QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) files << QDir(root).relativeFilePath(it.next());
  files.sort();
  return files;
}

struct Run {
  int status = -1;
  QString output;
};

// scripts/install-service, as make install and make uninstall run it.
Run InstallService(const QString& action, const QString& destdir, const QString& folder) {
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DESTDIR", destdir);
  env.insert("BUILD", kBuild);
  env.insert("INSTALL_DIR", folder);
  process.setProcessEnvironment(env);
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(kSource + "/scripts/install-service", {action});
  Run run;
  if (!process.waitForFinished(60000)) return run;
  run.output = QString::fromLocal8Bit(process.readAll());
  run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  return run;
}

// systemd-analyze's exposure of a unit file, or -1 with the reason.
double Exposure(const QString& analyze, const QString& unit, QString* output) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(analyze, {"security", "--offline=true", "--no-pager", unit});
  if (!process.waitForFinished(60000)) return -1;
  *output = QString::fromUtf8(process.readAll());
  const QRegularExpressionMatch match =
      QRegularExpression("Overall exposure level for \\S+: ([0-9.]+)").match(*output);
  return match.hasMatch() ? match.captured(1).toDouble() : -1;
}

// The rules of a D-Bus policy file, one line per <policy>: its attribute
// ("user=root") and its rules in order ("allow own=Tarnwick.clsControl").
QStringList PolicyRules(const QString& xml) {
  QStringList rules;
  QXmlStreamReader reader(xml);
  while (!reader.atEnd()) {
    reader.readNext();
    if (!reader.isStartElement()) continue;
    QStringList attributes;
    for (const QXmlStreamAttribute& a : reader.attributes())
      attributes << a.name().toString() + "=" + a.value().toString();
    if (reader.name() == QLatin1String("policy"))
      rules << attributes.join(' ') + ":";
    else if ((reader.name() == QLatin1String("allow") || reader.name() == QLatin1String("deny")) &&
             !rules.isEmpty())
      rules.last() += " " + reader.name().toString() + " " + attributes.join(' ');
  }
  if (reader.hasError()) rules << "not XML: " + reader.errorString();
  return rules;
}

// A unix socket file nobody listens on any more, as a system bus that was
// stopped leaves /run/dbus/system_bus_socket: connecting is refused.
bool LeaveStaleSocket(const QString& path) {
  QDir().mkpath(QFileInfo(path).path());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const QByteArray name = QFile::encodeName(path);
  if (name.size() >= qsizetype(sizeof address.sun_path)) return false;
  std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  return bound;
}

QStringList LinesWith(const QString& output, const QString& text) {
  QStringList lines;
  for (const QString& line : output.split('\n'))
    if (line.contains(text)) lines << line;
  return lines;
}

}  // namespace

class TestPackaging : public QObject {
  Q_OBJECT
 private slots:
  void unitsAreSandboxed();
  void installStagesTheServiceSetUp();
  void busPolicyLetsOnlyTheServiceOwnTheName();
  void installRefusesFoldersTheServiceCannotUse();
  void uninstallLeavesTheData();
  void installSaysHowToStartTheRegistry();
  void uninstallRemovesTheLinksOfSystemctlEnable();
  void stoppedSystemBusStopsNeitherInstallNorUninstall();
};

void TestPackaging::unitsAreSandboxed() {
  const QString analyze = QStandardPaths::findExecutable("systemd-analyze");
  if (analyze.isEmpty())
    QSKIP("systemd-analyze is not installed (apt-get install systemd): the unit's exposure is not rated");
  QTemporaryDir dir;
  QString error;
  // The packaged unit, and those the options dialog writes for a folder of
  // its own and for one in a home directory.
  const QStringList units{
      kSource + "/packaging/Kestrune.service",
      ServiceHost::UnitText("/opt/registry/tarnwick", {"kestrune", "kestrune"}, &error),
      ServiceHost::UnitText("/home/op/registry/tarnwick", {"op", "op"}, &error)};
  for (int i = 0; i < units.size(); ++i) {
    QString path = units[i];
    if (i > 0) {
      QVERIFY2(!units[i].isEmpty(), qPrintable(error));
      QDir(dir.path()).mkdir(QString::number(i));
      path = dir.filePath(QString::number(i) + "/Kestrune.service");
      WriteText(path, units[i]);
    }
    QString output;
    const double exposure = Exposure(analyze, path, &output);
    qInfo("%s: exposure %.1f", qPrintable(QFileInfo(path).absoluteFilePath()), exposure);
    QVERIFY2(exposure >= 0, qPrintable(output));
    QVERIFY2(exposure <= 2.0, qPrintable(output));
  }
}

void TestPackaging::installStagesTheServiceSetUp() {
  for (const QString& folder : {QString("/srv/registry"), QString("/opt/kestrune")}) {
    QTemporaryDir dest;
    const Run run = InstallService("install", dest.path(), folder);
    QVERIFY2(run.status == 0, qPrintable(run.output));
    const QString root = dest.path();

    QStringList expected{folder.mid(1) + "/tarnwick",
                         "etc/systemd/system/Kestrune.service",
                         "etc/dbus-1/system.d/Tarnwick.clsControl.conf",
                         "usr/local/share/applications/tarnwick.desktop",
                         "usr/local/share/icons/hicolor/256x256/apps/tarnwick.png",
                         "etc/fail2ban/filter.d/tarnwick.conf",
                         "etc/fail2ban/jail.d/tarnwick.conf"};
    // The control program and its completion, once they are built.
    if (QFile::exists(kBuild + "/tarnwickctl")) expected << "usr/local/bin/tarnwickctl";
    if (QFile::exists(kSource + "/packaging/tarnwickctl.bash-completion"))
      expected << "usr/share/bash-completion/completions/tarnwickctl";
    expected.sort();
    QCOMPARE(Tree(root), expected);

    QCOMPARE(ModeOf(root + folder), mode_t(0750));
    QCOMPARE(ModeOf(root + folder + "/tarnwick"), mode_t(0750));
    QCOMPARE(QFileInfo(root + folder + "/tarnwick").size(), QFileInfo(TARNWICK_EXECUTABLE).size());
    for (const QString& file : expected)
      if (!file.startsWith(folder.mid(1)) && !file.endsWith("bin/tarnwickctl"))
        QVERIFY2(ModeOf(root + "/" + file) == 0644, qPrintable(file));

    // The unit is the one the registry itself writes for that folder.
    const QString unit = ReadText(root + "/etc/systemd/system/Kestrune.service");
    QString error;
    QCOMPARE(unit, ServiceHost::UnitText(folder + "/tarnwick", {"kestrune", "kestrune"}, &error));
    if (folder == "/srv/registry")
      QCOMPARE(Body(unit), Body(ReadText(kSource + "/packaging/Kestrune.service")));
    const QString desktop = ReadText(root + "/usr/local/share/applications/tarnwick.desktop");
    QVERIFY(desktop.contains("\nExec=" + folder + "/tarnwick\n"));
    QVERIFY(desktop.contains("\nPath=" + folder + "\n"));

    // The filter and the jail as they are packaged; the jail stays off until
    // the operator turns it on.
    for (const char* file : {"fail2ban/filter.d/tarnwick.conf", "fail2ban/jail.d/tarnwick.conf"}) {
      const QString staged = ReadText(root + "/etc/" + file);
      QVERIFY2(!staged.isEmpty(), file);
      QCOMPARE(staged, ReadText(kSource + "/packaging/" + file));
    }
    const QString jail = ReadText(root + "/etc/fail2ban/jail.d/tarnwick.conf");
    QVERIFY(jail.contains("\n[tarnwick]\nenabled = false\n"));
  }
}

// The system-bus policy make install puts in place: the name is the
// service's (root, or the user the unit and the script run it as), and the
// operators' group may only call it. A group member that could own the name
// could stand in for the registry and read what other operators send it.
void TestPackaging::busPolicyLetsOnlyTheServiceOwnTheName() {
  const QString policy = ReadText(kSource + "/packaging/Tarnwick.clsControl.conf");
  QCOMPARE(PolicyRules(policy),
           (QStringList{"user=root: allow own=Tarnwick.clsControl allow send_destination=Tarnwick.clsControl",
                        "user=kestrune: allow own=Tarnwick.clsControl allow send_destination=Tarnwick.clsControl",
                        "group=kestrune: allow send_destination=Tarnwick.clsControl"}));
  // The user the policy names is the one the service runs as.
  QVERIFY(ReadText(kSource + "/scripts/install-service").contains("\nuser=kestrune\n"));
  QCOMPARE(ServiceHost::kServiceUser, QStringLiteral("kestrune"));
  QTemporaryDir dest;
  QCOMPARE(InstallService("install", dest.path(), "/srv/registry").status, 0);
  QCOMPARE(ReadText(dest.path() + "/etc/dbus-1/system.d/Tarnwick.clsControl.conf"), policy);
  QString error;
  QVERIFY(ServiceHost::UnitText("/srv/registry/tarnwick", {"kestrune", "kestrune"}, &error)
              .contains("\nUser=kestrune\n"));
}

void TestPackaging::installRefusesFoldersTheServiceCannotUse() {
  QTemporaryDir dest;
  for (const char* folder : {"/home/op/registry", "/root/registry", "registry", "/srv/reg istry", "/"}) {
    const Run run = InstallService("install", dest.path(), folder);
    QVERIFY2(run.status > 0, folder);
    QVERIFY2(run.output.contains("INSTALL_DIR"), qPrintable(run.output));
  }
  QVERIFY(Tree(dest.path()).isEmpty());
}

void TestPackaging::uninstallLeavesTheData() {
  QTemporaryDir dest;
  const QString folder = "/srv/registry";
  QCOMPARE(InstallService("install", dest.path(), folder).status, 0);
  WriteText(dest.path() + folder + "/zvlt.dat", "accounts");
  WriteText(dest.path() + folder + "/server.ini", "[Kestrune]\nService=True\n");
  // The operator's own jail settings are the operator's to remove.
  const QString local = "etc/fail2ban/jail.d/tarnwick.local";
  QDir(dest.path()).mkpath(QFileInfo(local).path());
  WriteText(dest.path() + "/" + local, "[tarnwick]\nenabled = true\n");
  Run run = InstallService("uninstall", dest.path(), folder);
  QVERIFY2(run.status == 0, qPrintable(run.output));
  QCOMPARE(Tree(dest.path()), (QStringList{local, "srv/registry/server.ini", "srv/registry/zvlt.dat"}));
  QVERIFY(run.output.contains("Kept " + dest.path() + folder));
  QVERIFY(run.output.contains("Kept " + dest.path() + "/" + local));
  QFile::remove(dest.path() + "/" + local);

  // Without data the folder goes too; a second uninstall finds nothing.
  QFile::remove(dest.path() + folder + "/zvlt.dat");
  QFile::remove(dest.path() + folder + "/server.ini");
  QCOMPARE(InstallService("install", dest.path(), folder).status, 0);
  QCOMPARE(InstallService("uninstall", dest.path(), folder).status, 0);
  QVERIFY(!QFileInfo::exists(dest.path() + folder));
  QVERIFY(Tree(dest.path()).isEmpty());
  QCOMPARE(InstallService("uninstall", dest.path(), folder).status, 0);
}

// Where systemd runs, systemctl starts the service; where it does not (a
// container, a chroot, DESTDIR without run/systemd/system) the unit cannot
// be started, and saying "systemctl enable --now" alone sends the operator
// to a command that fails.
void TestPackaging::installSaysHowToStartTheRegistry() {
  for (const QString& folder : {QString("/srv/registry"), QString("/opt/kestrune")}) {
    QTemporaryDir dest;
    Run run = InstallService("install", dest.path(), folder);
    QVERIFY2(run.status == 0, qPrintable(run.output));
    QVERIFY2(run.output.contains("systemd is not running in " + dest.path() + " (no " + dest.path() +
                                 "/run/systemd/system): the unit is installed but cannot be started there.\n"),
             qPrintable(run.output));
    QVERIFY2(run.output.contains("Start the registry by hand: cd " + folder + " && runuser -u kestrune -- ./tarnwick\n"),
             qPrintable(run.output));
    QVERIFY2(!run.output.contains("Start it now"), qPrintable(run.output));

    QVERIFY(QDir(dest.path()).mkpath("run/systemd/system"));
    run = InstallService("install", dest.path(), folder);
    QVERIFY2(run.status == 0, qPrintable(run.output));
    QVERIFY2(run.output.contains("\nStart it now and at every boot with: systemctl enable --now Kestrune\n"),
             qPrintable(run.output));
    QVERIFY2(!run.output.contains("cannot be started"), qPrintable(run.output));
  }
}

// systemctl enable links the unit into the wants folder of its target (and
// of any other WantedBy=, RequiredBy=, Alias=); systemctl disable takes them
// away only where systemd runs. Every one goes with the unit, whether the
// unit is still there or was removed before; links of other units stay.
void TestPackaging::uninstallRemovesTheLinksOfSystemctlEnable() {
  QTemporaryDir dest;
  const QString root = dest.path();
  const QString units = root + "/etc/systemd/system";
  const QString unit = "/etc/systemd/system/Kestrune.service";
  const QStringList links{"multi-user.target.wants/Kestrune.service", "graphical.target.wants/Kestrune.service",
                          "network-online.target.requires/Kestrune.service", "tarnwick.service"};
  const QString other = "multi-user.target.wants/ssh.service";
  auto link = [&](const QString& name, const QString& target) {
    QDir().mkpath(QFileInfo(units + "/" + name).path());
    QVERIFY2(QFile::link(target, units + "/" + name), qPrintable(name));
  };

  QCOMPARE(InstallService("install", root, "/srv/registry").status, 0);
  for (const QString& name : links) link(name, unit);
  link(other, "/lib/systemd/system/ssh.service");
  WriteText(root + "/srv/registry/zvlt.dat", "accounts");
  Run run = InstallService("uninstall", root, "/srv/registry");
  QVERIFY2(run.status == 0, qPrintable(run.output));
  QCOMPARE(Tree(root), (QStringList{"etc/systemd/system/" + other, "srv/registry/zvlt.dat"}));

  // A link an earlier uninstall left dangling, its unit long gone.
  link(links[0], unit);
  QVERIFY(!QFileInfo::exists(units + "/Kestrune.service"));
  run = InstallService("uninstall", root, "/srv/registry");
  QVERIFY2(run.status == 0, qPrintable(run.output));
  QCOMPARE(Tree(root), (QStringList{"etc/systemd/system/" + other, "srv/registry/zvlt.dat"}));
}

// A system bus that has stopped leaves its socket behind, and reloading it
// fails with "Connection refused". The policy is read anyway when the bus
// starts again: install and uninstall do all they have to, say so in one
// line and succeed.
void TestPackaging::stoppedSystemBusStopsNeitherInstallNorUninstall() {
  QTemporaryDir dest;
  const QString root = dest.path();
  const QString socket = root + "/run/dbus/system_bus_socket";
  if (!LeaveStaleSocket(socket)) QSKIP("a unix socket cannot be left in the temporary folder");
  const QString refused = "install-service: the system bus did not reload its policy";

  Run run = InstallService("install", root, "/srv/registry");
  QVERIFY2(run.status == 0, qPrintable(run.output));
  QStringList said = LinesWith(run.output, refused);
  QCOMPARE(said.size(), 1);
  QVERIFY2(said[0].contains("Connection refused") && said[0].contains("it reads it when it starts"),
           qPrintable(said[0]));
  QVERIFY(QFile::exists(root + "/etc/dbus-1/system.d/Tarnwick.clsControl.conf"));
  QVERIFY(QFile::exists(root + "/etc/systemd/system/Kestrune.service"));

  WriteText(root + "/srv/registry/zvlt.dat", "accounts");
  WriteText(root + "/srv/registry/server.ini", "[Kestrune]\n");
  run = InstallService("uninstall", root, "/srv/registry");
  QVERIFY2(run.status == 0, qPrintable(run.output));
  QCOMPARE(LinesWith(run.output, refused).size(), 1);
  QCOMPARE(Tree(root), (QStringList{"run/dbus/system_bus_socket", "srv/registry/server.ini", "srv/registry/zvlt.dat"}));
}

QTEST_GUILESS_MAIN(TestPackaging)
#include "test_packaging.moc"

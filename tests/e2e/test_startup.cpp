// The registry executable as an operator runs it: first and second start,
// the full table, a silent client, SIGTERM, and the start-up failures.
#include "common/Peer.h"
#include "common/RegistryProcess.h"
#include "storage/Database.h"

#include <QStandardPaths>
#include <QtTest>
#include <sqlite3.h>
#include <sys/resource.h>

namespace {

QStringList Tables(const QString& path) {
  QStringList names;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name", -1, &st, nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW)
      names << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return names;
}

std::string NewAccount(const std::string& user, const std::string& password) {
  return Bytes({0}) + AccountPayload(user, password);
}

}  // namespace

class TestStartup : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void firstStartSecondStartAndSigterm();
  void fullTableRefusesThe256th();
  void silentClientDropped();
  void portTakenFailsClearly();
  void unreadableDatabaseFailsClearly();
  void oddSettingsValueStillStarts();
  void updateWaitingAtStartHandsOff();
  void startsOnADisplay();
};

void TestStartup::initTestCase() {
  // 256 connections in this process and 256 in the registry.
  rlimit limit{4096, 4096};
  setrlimit(RLIMIT_NOFILE, &limit);
}

void TestStartup::firstStartSecondStartAndSigterm() {
  RegistryProcess registry;
  registry.WriteSettings("[Kestrune]\r\nAutoAllow=True\r\n");
  QVERIFY(registry.Start());
  QVERIFY(registry.output.contains(
      QString("Kestrune v1.0.0 has loaded and is listening on port %1 for connections.\n").arg(registry.port)));
  QVERIFY(QFile::exists(registry.Path("zvlt.dat")));
  QVERIFY(!QFile::exists(registry.Path("zvlt.tmp")));
  QCOMPARE(Tables(registry.Path("zvlt.dat")), (QStringList{"Bans", "Servers"}));

  {
    Client server(registry.port);
    server.SendPacket(NewAccount("keeper", "pw1"));
    QCOMPARE(server.Read(14), Bytes({0x00, 0x0C, 0x00}) + "<untitled>" + Bytes({0}));
    QVERIFY(registry.WaitForOutput("New account keeper created from 127.0.0.1"));
  }
  QCOMPARE(registry.Terminate(), 0);

  // The second start compacts the file and keeps every row.
  QVERIFY(registry.Start());
  QVERIFY(!QFile::exists(registry.Path("zvlt.tmp")));
  Client again(registry.port);
  again.SendPacket(Bytes({1}) + AccountPayload("KEEPER", "PW1"));
  QCOMPARE(again.Read(14), Bytes({0x00, 0x0C, 0x00}) + "<untitled>" + Bytes({0}));
  QVERIFY(registry.WaitForOutput("KEEPER has connected successfully from 127.0.0.1"));
  // SIGTERM disconnects the server (logged) and exits with status 0.
  QCOMPARE(registry.Terminate(), 0);
  QVERIFY(registry.output.contains("KEEPER has disconnected from 127.0.0.1"));
  QVERIFY(again.ClosedByPeer());
}

void TestStartup::fullTableRefusesThe256th() {
  RegistryProcess registry;
  registry.WriteSettings("[Kestrune]\n" + kLimitsOff);
  QVERIFY(registry.Start());
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 255; ++i) {
    clients.push_back(std::make_unique<Client>(registry.port));
    QVERIFY(clients.back()->connected);
  }
  // Let the registry take all 255 before the next one knocks.
  Client probe(registry.port);
  QCOMPARE(probe.Read(4), Bytes({0x00, 0x02, 0x00, 0x04}));
  QVERIFY(probe.ClosedByPeer());
  for (auto& c : clients) QCOMPARE(c->socket.state(), QAbstractSocket::ConnectedState);
  clients.pop_back();
  QTest::qWait(200);
  // A slot is free again: the next connection is accepted and stays.
  Client next(registry.port);
  QVERIFY(!next.ClosedByPeer(300));
  QCOMPARE(registry.Terminate(), 0);
}

void TestStartup::silentClientDropped() {
  RegistryProcess registry;
  QVERIFY(registry.Start());
  Client silent(registry.port);
  QElapsedTimer timer;
  timer.start();
  QVERIFY(silent.ClosedByPeer(40000));
  QVERIFY(timer.elapsed() >= 29000);
  QVERIFY(silent.buffer.empty());
  QCOMPARE(registry.Terminate(), 0);
  QVERIFY(!registry.output.contains("disconnected"));
}

void TestStartup::portTakenFailsClearly() {
  RegistryProcess first;
  QVERIFY(first.Start());
  RegistryProcess second;
  second.port = first.port;
  QVERIFY(!second.Start());
  QVERIFY(second.WaitForExit());
  QVERIFY(second.process.exitCode() != 0);
  const QString error = QString::fromUtf8(second.process.readAllStandardError());
  QVERIFY2(error.contains(QString::number(first.port)), qPrintable(error));
}

void TestStartup::unreadableDatabaseFailsClearly() {
  RegistryProcess registry;
  {
    QFile junk(registry.Path("zvlt.dat"));
    junk.open(QIODevice::WriteOnly);
    junk.write(QByteArray(8192, 'x'));
  }
  QVERIFY(!registry.Start());
  QVERIFY(registry.WaitForExit());
  QVERIFY(registry.process.exitCode() != 0);
  QVERIFY(!QString::fromUtf8(registry.process.readAllStandardError()).isEmpty());
  // Nothing was thrown away.
  QCOMPARE(QFileInfo(registry.Path("zvlt.dat")).size(), qint64(8192));
}

void TestStartup::oddSettingsValueStillStarts() {
  RegistryProcess registry;
  registry.WriteSettings("[kestrune]\nservice=maybe\nAutoAllow=1\n");
  QVERIFY(registry.Start());
  Client server(registry.port);
  server.SendPacket(NewAccount("newbie", "pw1"));
  QCOMPARE(server.Read(3), Bytes({0x00, 0x0C, 0x00}));
  QCOMPARE(registry.Terminate(), 0);
}

void TestStartup::updateWaitingAtStartHandsOff() {
  RegistryProcess registry;
  const QString marker = registry.Path("updater-ran");
  {
    QFile update(registry.Path("regupdate.exe"));
    update.open(QIODevice::WriteOnly);
    update.write("the next registry");
    QFile updater(registry.Path("updater.exe"));
    updater.open(QIODevice::WriteOnly);
    updater.write("#!/bin/sh\ntouch '" + marker.toUtf8() + "'\n");
    updater.setPermissions(updater.permissions() | QFile::ExeOwner);
  }
  QVERIFY(registry.Start());
  // The first tick of the general timer starts the updater and ends the
  // registry, which leaves the update's file alone.
  QVERIFY(registry.WaitForExit(5000));
  QCOMPARE(registry.process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(registry.process.exitCode(), 0);
  QTRY_VERIFY(QFile::exists(marker));
  QVERIFY(QFile::exists(registry.Path("regupdate.exe")));
}

void TestStartup::startsOnADisplay() {
  const QString xvfb = QStandardPaths::findExecutable("Xvfb");
  if (xvfb.isEmpty()) QSKIP("Xvfb is not installed");
  // An X server of its own, without a window manager or a tray: it tells
  // its display number on a pipe.
  QProcess server;
  server.setProgram(xvfb);
  server.setArguments({"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp"});
  server.start();
  QVERIFY(server.waitForReadyRead(10000));
  const QString display = ":" + QString::fromLatin1(server.readAllStandardOutput()).trimmed();

  RegistryProcess registry;
  registry.display = display;
  QVERIFY(registry.Start());
  // The main window is shown with its caption; the tray icon waits for a
  // tray that never comes, quietly.
  if (!QStandardPaths::findExecutable("xwininfo").isEmpty())
    QTRY_VERIFY_WITH_TIMEOUT(
      [&] {
        QProcess tree;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display);
        tree.setProcessEnvironment(env);
        tree.start("xwininfo", {"-root", "-tree"});
        tree.waitForFinished(5000);
        return tree.readAllStandardOutput().contains("\"The Velkarin Server Registry [0]\"");
      }(),
      10000);
  Client server1(registry.port);
  QVERIFY(server1.connected);
  QTest::qWait(1200);  // a few ticks of the general timer
  QCOMPARE(registry.process.state(), QProcess::Running);
  QCOMPARE(registry.Terminate(), 0);
  server.terminate();
  server.waitForFinished(5000);
}

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"

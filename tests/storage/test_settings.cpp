// server.ini: defaults without a file, the forms a value may take, the
// 255-character read, and writes that keep the rest of the file intact.
#include "storage/Settings.h"

#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

class TestSettings : public QObject {
  Q_OBJECT

  std::unique_ptr<QTemporaryDir> dir_;
  QString ini() const { return dir_->path() + "/server.ini"; }
  void Write(const QByteArray& text) {
    QFile f(ini());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
  }
  QByteArray Read() {
    QFile f(ini());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

 private slots:
  void init() { dir_ = std::make_unique<QTemporaryDir>(); }

  void noFileGivesDefaultsAndCreatesNothing() {
    SettingsFile file(dir_->path());
    const Settings s = LoadSettings(file);
    QVERIFY(!s.Service);
    QVERIFY(!s.AutoAllow);
    QVERIFY(s.Database.empty());  // the file, as always
    QCOMPARE(QString::fromStdString(s.InstanceName), QSysInfo::machineHostName());
    QCOMPARE(file.ReadSetting("Service"), std::string());
    QVERIFY(!QFile::exists(ini()));
  }

  // The connection string is taken as written, spaces and '=' inside it too.
  void sharedDatabaseKeys() {
    Write("[Kestrune]\nDatabase = host=/run/postgresql dbname=velkarin \nInstanceName=north\n");
    Settings s = LoadSettings(SettingsFile(dir_->path()));
    QCOMPARE(s.Database, std::string("host=/run/postgresql dbname=velkarin"));
    QCOMPARE(s.InstanceName, std::string("north"));
    Write("[Kestrune]\nDatabase=\"postgresql://registry@db.example/velkarin\"\nInstanceName=\n");
    s = LoadSettings(SettingsFile(dir_->path()));
    QCOMPARE(s.Database, std::string("postgresql://registry@db.example/velkarin"));
    QCOMPARE(QString::fromStdString(s.InstanceName), QSysInfo::machineHostName());
  }

  void floodLimits_data() {
    QTest::addColumn<QByteArray>("content");
    // clients, evict, connects, accounts, failed logins, servers, reserved,
    // accounts of all, list requests
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("no keys: the defaults") << QByteArray("[Kestrune]\nAutoAllow=True\n")
                                           << QList<int>{32, 1, 600, 10, 20, 32, 16, 100, 300};
    QTest::newRow("every limit off")
        << QByteArray("[Kestrune]\nMaxClientsPerIP=0\nEvictIdleClients=False\nMaxConnectsPerMinute=0\n"
                      "MaxNewAccountsPerHour=0\nMaxFailedLoginsPerHour=0\nMaxServersPerIP=0\nReservedPlayerSlots=0\n"
                      "MaxNewAccountsPerHourTotal=0\nMaxListRequestsPerMinute=0\n")
        << QList<int>{0, 0, 0, 0, 0, 0, 0, 0, 0};
    QTest::newRow("values, any case, blanks")
        << QByteArray("[kestrune]\nmaxclientsperip = 4\nEVICTIDLECLIENTS=false\nMaxConnectsPerMinute=100\n"
                      "MaxNewAccountsPerHour=1\nmaxfailedloginsperhour=5\nMaxServersPerIP=2\nReservedPlayerSlots=40\n"
                      "MaxNewAccountsPerHourTotal=7\nMaxListRequestsPerMinute= 9 \n")
        << QList<int>{4, 0, 100, 1, 5, 2, 40, 7, 9};
    QTest::newRow("unreadable or empty: the defaults")
        << QByteArray("[Kestrune]\nMaxClientsPerIP=-3\nEvictIdleClients=maybe\nMaxConnectsPerMinute=lots\n"
                      "MaxNewAccountsPerHour=\n")
        << QList<int>{32, 1, 600, 10, 20, 32, 16, 100, 300};
    QTest::newRow("too big for a number") << QByteArray("[Kestrune]\nMaxConnectsPerMinute=99999999999\n")
                                         << QList<int>{32, 1, 600, 10, 20, 32, 16, 100, 300};
  }
  void floodLimits() {
    QFETCH(QByteArray, content);
    QFETCH(QList<int>, expected);
    Write(content);
    const FloodLimits l = LoadSettings(SettingsFile(dir_->path())).Limits;
    QCOMPARE((QList<int>{l.MaxClientsPerIP, int(l.EvictIdleClients), l.MaxConnectsPerMinute,
                         l.MaxNewAccountsPerHour, l.MaxFailedLoginsPerHour, l.MaxServersPerIP,
                         l.ReservedPlayerSlots, l.MaxNewAccountsPerHourTotal, l.MaxListRequestsPerMinute}),
             expected);
  }

  void valuesLoad_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("service");
    QTest::addColumn<bool>("autoAllow");
    QTest::newRow("lower case") << QByteArray("[Kestrune]\nService=true\nAutoAllow=FALSE\n") << true << false;
    QTest::newRow("numbers") << QByteArray("[Kestrune]\nService=0\nAutoAllow=1\n") << false << true;
    QTest::newRow("-1") << QByteArray("[Kestrune]\nService=-1\nAutoAllow=0.0\n") << true << false;
    QTest::newRow("garbage") << QByteArray("[Kestrune]\nService=yes please\nAutoAllow=1x\n") << false << false;
    QTest::newRow("empty") << QByteArray("[Kestrune]\nService=\nAutoAllow\n") << false << false;
    QTest::newRow("names in any case, blanks, CRLF")
        << QByteArray("; comment\r\n[ kestrune ]\r\n  SERVICE  =  True  \r\nautoallow=True\r\n") << true << true;
    QTest::newRow("other section") << QByteArray("[Other]\nService=True\n[Kestrune]\nAutoAllow=True\n") << false << true;
    QTest::newRow("first key wins") << QByteArray("[Kestrune]\nService=True\nService=False\n") << true << false;
  }
  void valuesLoad() {
    QFETCH(QByteArray, content);
    QFETCH(bool, service);
    QFETCH(bool, autoAllow);
    Write(content);
    const Settings s = LoadSettings(SettingsFile(dir_->path()));
    QCOMPARE(s.Service, service);
    QCOMPARE(s.AutoAllow, autoAllow);
  }

  void readCutsAt255Characters() {
    const QByteArray longValue(300, 'v');
    Write("[Kestrune]\nKey=" + longValue + "\n");
    QCOMPARE(SettingsFile(dir_->path()).ReadSetting("Key"), std::string(255, 'v'));
  }

  void writeChangesOnlyItsLine() {
    Write("; kept comment\n[Other]\nService=Other\n\n[KESTRUNE]\n  service = False ; x\nAutoAllow=True\n\n[Last]\nx=1");
    SettingsFile file(dir_->path());
    file.WriteSetting("Service", "True");
    QCOMPARE(Read(), QByteArray("; kept comment\n[Other]\nService=Other\n\n[KESTRUNE]\nservice=True\nAutoAllow=True\n\n[Last]\nx=1"));
    file.WriteSetting("NewKey", "v");
    QCOMPARE(Read(), QByteArray("; kept comment\n[Other]\nService=Other\n\n[KESTRUNE]\nservice=True\nAutoAllow=True\nNewKey=v\n\n[Last]\nx=1"));
    file.WriteIni("Fresh", "k", "1", "/server.ini");
    QCOMPARE(Read(), QByteArray("; kept comment\n[Other]\nService=Other\n\n[KESTRUNE]\nservice=True\nAutoAllow=True\nNewKey=v\n\n[Last]\nx=1\n\n[Fresh]\nk=1\n"));
    QCOMPARE(file.ReadSetting("Service"), std::string("True"));
    QCOMPARE(file.ReadIni("other", "SERVICE", "/server.ini"), std::string("Other"));
  }

  void writeCreatesTheFile() {
    SettingsFile file(dir_->path());
    file.WriteSetting("Service", "True");
    file.WriteSetting("AutoAllow", "False");
    QCOMPARE(Read(), QByteArray("[Kestrune]\nService=True\nAutoAllow=False\n"));
    const Settings s = LoadSettings(file);
    QVERIFY(s.Service);
    QVERIFY(!s.AutoAllow);
  }

  // [AddressMap] is read with the rules of every other section: the first
  // section of the name, names in any case, blanks and quotes around values
  // let go; blank lines and comments are skipped, a line without '=' is
  // handed on as it is (the core says it cannot read it).
  void addressMapSection() {
    Write("[Kestrune]\nAutoAllow=True\n; 10.0.0.0/8=1.1.1.1\n[addressmap]\r\n"
          "  127.0.0.0/8 =  203.0.113.5  \r\n\r\n; a comment\r\n# another\r\n"
          "192.168.1.0/24=\"203.0.113.6\"\r\nnot a line\r\n[Other]\r\n10.0.0.0/8=1.2.3.4\r\n"
          "[AddressMap]\r\n172.16.0.0/12=1.2.3.5\r\n");
    const Settings s = LoadSettings(SettingsFile(dir_->path()));
    QVERIFY(s.AutoAllow);
    QCOMPARE(s.AddressMap.size(), std::size_t(3));
    QCOMPARE(s.AddressMap[0].key, std::string("127.0.0.0/8"));
    QCOMPARE(s.AddressMap[0].value, std::string("203.0.113.5"));
    QCOMPARE(s.AddressMap[0].line, std::string("127.0.0.0/8 =  203.0.113.5"));
    QVERIFY(s.AddressMap[0].keyed);
    QCOMPARE(s.AddressMap[1].value, std::string("203.0.113.6"));
    QVERIFY(!s.AddressMap[2].keyed);
    QCOMPARE(s.AddressMap[2].line, std::string("not a line"));
    Write("[Kestrune]\nAutoAllow=True\n");
    QVERIFY(LoadSettings(SettingsFile(dir_->path())).AddressMap.empty());
  }

  void writeKeepsLineEndings() {
    Write("[Kestrune]\r\nService=False\r\n");
    SettingsFile(dir_->path()).WriteSetting("AutoAllow", "True");
    QCOMPARE(Read(), QByteArray("[Kestrune]\r\nService=False\r\nAutoAllow=True\r\n"));
  }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"

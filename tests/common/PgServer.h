#pragma once
// A PostgreSQL server of the test's own: initdb into a temporary folder and
// pg_ctl start on a Unix socket inside it, reached by nothing but this
// test. No system service is used. PostgreSQL refuses to run as root, so as
// root its two programs run as the postgres user the Debian package makes
// (runuser -u postgres), which is given the folder.
//
// Every connection is trusted; the role is "registry". ConnInfo() is the
// libpq connection string for a registry's Database= key.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtGlobal>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

class PgServer {
 public:
  PgServer() : folder_(QDir::tempPath() + "/tarnwick-pg-XXXXXX") {}
  ~PgServer() { Stop(); }
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  // The folder of the server's programs, as pg_config names it; empty when
  // PostgreSQL is not installed.
  static QString BinDir() {
    QProcess config;
    config.start("pg_config", {"--bindir"});
    if (!config.waitForFinished(5000) || config.exitCode() != 0) {
      // pg_config comes with libpq-dev; the server itself may be elsewhere.
      for (const char* v : {"17", "16", "15", "14", "13"}) {
        const QString dir = QString("/usr/lib/postgresql/%1/bin").arg(v);
        if (QFile::exists(dir + "/pg_ctl")) return dir;
      }
      return {};
    }
    const QString dir = QString::fromLocal8Bit(config.readAllStandardOutput()).trimmed();
    return QFile::exists(dir + "/pg_ctl") ? dir : QString();
  }

  // Makes the cluster and starts it; false with the reason in error().
  bool Start() {
    if (!folder_.isValid()) return Fail("no temporary folder");
    bin_ = BinDir();
    if (bin_.isEmpty()) return Fail("PostgreSQL's programs (pg_ctl, initdb) are not installed");
    QDir().mkpath(Data());
    QDir().mkpath(SocketDir());
    if (geteuid() == 0 && !GiveToPostgres()) return Fail("cannot give the folder to the postgres user");
    if (!Run("initdb", {"-D", Data(), "-U", "registry", "--auth=trust", "-E", "UTF8",
                        "--locale=C", "--no-sync"}))
      return false;
    return StartServer();
  }

  // Stops the server (fast shutdown: sessions are ended, nothing committed is
  // lost) and starts it again on the same data; a test of the registry while
  // its database is away calls these two.
  bool StopServer() {
    if (!running_) return true;
    running_ = false;
    return Run("pg_ctl", {"stop", "-D", Data(), "-m", "fast", "-w", "-t", "60"});
  }
  bool StartServer() {
    const QString options = "-k " + SocketDir() + " -c listen_addresses='' -c fsync=off";
    if (!Run("pg_ctl", {"start", "-D", Data(), "-w", "-t", "60", "-l", folder_.filePath("log"),
                        "-o", options}))
      return false;
    running_ = true;
    return true;
  }
  void Stop() { StopServer(); }

  bool Running() const { return running_; }
  QString SocketDir() const { return folder_.filePath("sock"); }
  QString ConnInfo() const { return "host=" + SocketDir() + " dbname=postgres user=registry"; }
  QString error() const { return error_; }

 private:
  QString Data() const { return folder_.filePath("data"); }

  bool GiveToPostgres() {
    const passwd* pw = getpwnam("postgres");
    if (!pw) return false;
    const QString path = folder_.path();
    for (const QString& p : {path, Data(), SocketDir()})
      if (chown(QFile::encodeName(p).constData(), pw->pw_uid, pw->pw_gid) != 0) return false;
    asRoot_ = true;
    return true;
  }

  bool Run(const QString& program, QStringList arguments) {
    QString command = bin_ + "/" + program;
    if (asRoot_) {
      arguments.prepend(command);
      arguments.prepend("--");
      arguments.prepend("postgres");
      arguments.prepend("-u");
      command = "runuser";
    }
    QProcess p;
    // The server outlives this call (pg_ctl leaves it running): it must not
    // keep a descriptor this test inherited open, as a lock held by whoever
    // started the test would then be held by the server, and by a server
    // left behind by a test that crashed, until someone kills it.
    p.setChildProcessModifier([] {
      for (int fd = 3; fd < 1024; ++fd) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC)) close(fd);
      }
    });
    p.setWorkingDirectory(folder_.path());
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(command, arguments);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
      return Fail(program + " failed: " + QString::fromLocal8Bit(p.readAll()) +
                  QString::fromLocal8Bit(ReadLog()));
    return true;
  }

  QByteArray ReadLog() const {
    QFile log(folder_.filePath("log"));
    return log.open(QIODevice::ReadOnly) ? log.readAll().right(2000) : QByteArray();
  }

  bool Fail(const QString& why) {
    error_ = why;
    return false;
  }

  QTemporaryDir folder_;
  QString bin_;
  QString error_;
  bool asRoot_ = false;
  bool running_ = false;
};

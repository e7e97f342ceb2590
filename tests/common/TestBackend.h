#pragma once
// The back end a test's Database uses. By default the file (zvlt.dat in the
// test's temporary folder, SQLite); with TARNWICK_TEST_BACKEND=postgresql a
// PostgreSQL server of the test process's own, started at the first use and
// stopped when the application ends, and a new database on it for every
// Database opened, so each test case starts from empty tables.
#include "common/PgServer.h"
#include "storage/Database.h"
#include "storage/PgConnection.h"

#include <QCoreApplication>
#include <QTest>

#include <string>

namespace testbackend {

inline bool Postgres() { return qgetenv("TARNWICK_TEST_BACKEND") == "postgresql"; }

// The process's server, started at the first call; the test process ends
// at once when it cannot be started (a test against the wrong back end
// would prove nothing).
inline PgServer& Server() {
  static PgServer* server = nullptr;
  if (!server) {
    server = new PgServer;
    if (!server->Start())
      qFatal("The test's PostgreSQL server did not start: %s", qPrintable(server->error()));
    // Stopped, and its folder removed, while the application still exists
    // (QProcess needs it).
    qAddPostRoutine([] {
      delete server;
      server = nullptr;
    });
  }
  return *server;
}

// Runs one statement on a database of the server, as another client would;
// the first column of the first row as text, "<no row>" or "<null>".
inline std::string Raw(const std::string& conninfo, const std::string& sql) {
  PgConnection c(conninfo);
  const PgResult r = c.Exec(sql);
  if (r.Rows() == 0) return "<no row>";
  return r.IsNull(0, 0) ? "<null>" : r.Text(0, 0);
}

// A new, empty database on the server; its connection string.
inline std::string FreshDatabase() {
  static int made = 0;
  PgServer& server = Server();
  const std::string name = "case" + std::to_string(++made);
  Raw(server.ConnInfo().toStdString(), "CREATE DATABASE " + name);
  QString conninfo = server.ConnInfo();
  conninfo.replace("dbname=postgres", QString::fromStdString("dbname=" + name));
  return conninfo.toStdString();
}

// Opens db on the back end of this run, with `folder` for the file.
// Returns the connection string of the shared back end, empty for the file.
inline std::string Open(Database& db, const QString& folder) {
  if (!Postgres()) {
    db.Open(folder, folder);
    return {};
  }
  const std::string conninfo = FreshDatabase();
  db.OpenShared(conninfo);
  if (!db.Reachable()) qFatal("The test's database is unreachable: %s", db.Problem().c_str());
  return conninfo;
}

}  // namespace testbackend

#pragma once
// The registry thread's half of the HTTP side: it builds the snapshots the
// HTTP thread serves from what the registry, the console and the database
// hold, and swaps them in. The list and the page are rebuilt when a server
// list would show something new, at most once a second (the first change
// after a quiet second at once); the figures of /metrics and /healthz are
// looked at once a second and published when they changed. It also writes
// the list to the ListFile, when there is one, each time it changes.
#include "web/Snapshot.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <ctime>
#include <functional>
#include <memory>

class ConsoleState;
class Database;
class Registry;
class QTimer;

class WebPublisher : public QObject {
  Q_OBJECT
 public:
  static constexpr int kMinIntervalMs = 1000;

  WebPublisher(Registry& registry, Database& database, ConsoleState& console, QString databaseFile,
               SnapshotBox& box, QObject* parent = nullptr);
  ~WebPublisher() override;

  // Where the list is also written (empty: nowhere).
  void SetListFile(QString path) { listFile_ = std::move(path); }
  // Builds and publishes both halves now (start-up, and tests).
  void PublishAll();
  // Twice a second from the general timer: the heartbeat, and once a
  // second the figures.
  void Tick();
  // The wall clock the list's time stamp comes from; tests set their own.
  std::function<std::time_t()> now = [] { return std::time(nullptr); };

 private:
  void OnServersChanged();
  void PublishList();
  // The figures as they are now; the list's part is left out.
  WebSnapshot Figures() const;
  void Publish(WebSnapshot snapshot);
  void WriteListFile(const std::string& json);

  Registry& registry_;
  Database& database_;
  ConsoleState& console_;
  QString databaseFile_;
  SnapshotBox& box_;
  QString listFile_;
  QTimer* listTimer_ = nullptr;
  QElapsedTimer listBuilt_;
  std::shared_ptr<const WebSnapshot> current_;
  int ticks_ = 0;
};

// A body with its gzip form and entity tags.
Representation Represent(std::string body);

#pragma once
// Delivers SIGTERM and SIGINT into the event loop: the handler only writes a
// byte to a socket pair, and the loop reads it and emits stopRequested.
#include <QObject>

class LogSink;
class QSocketNotifier;

class SignalWatcher : public QObject {
  Q_OBJECT
 public:
  // A watcher that cannot be set up says so to log.
  explicit SignalWatcher(LogSink& log, QObject* parent = nullptr);
  ~SignalWatcher() override;

 signals:
  void stopRequested();

 private:
  QSocketNotifier* notifier_ = nullptr;
};

#pragma once
// Delivers SIGTERM and SIGINT into the event loop: the handler only writes a
// byte to a socket pair, and the loop reads it and emits stopRequested.
#include <QObject>

class QSocketNotifier;

class SignalWatcher : public QObject {
  Q_OBJECT
 public:
  explicit SignalWatcher(QObject* parent = nullptr);
  ~SignalWatcher() override;

 signals:
  void stopRequested();

 private:
  QSocketNotifier* notifier_ = nullptr;
};

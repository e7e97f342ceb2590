#pragma once
// A blocking HTTP/1.1 client for the tests of the HTTP side: one request per
// connection ("Connection: close"), the answer read until the peer closes,
// from a chosen loopback address when asked.
#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QTcpSocket>
#include <QDeadlineTimer>

struct HttpReply {
  int status = 0;  // 0: no answer
  QMap<QByteArray, QByteArray> headers;  // names in lower case
  QByteArray body;
  QByteArray Header(const QByteArray& name) const { return headers.value(name.toLower()); }
};

inline HttpReply ParseReply(const QByteArray& raw) {
  HttpReply reply;
  const int end = raw.indexOf("\r\n\r\n");
  if (end < 0) return reply;
  const QList<QByteArray> lines = raw.left(end).split('\n');
  const QList<QByteArray> status = lines.value(0).trimmed().split(' ');
  reply.status = status.value(1).toInt();
  for (int i = 1; i < lines.size(); ++i) {
    const int colon = lines[i].indexOf(':');
    if (colon > 0) reply.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
  }
  reply.body = raw.mid(end + 4);
  return reply;
}

// Sends `request` as it is and reads until the peer closes.
inline QByteArray RawExchange(std::uint16_t port, const QByteArray& request,
                              const QHostAddress& from = QHostAddress::Null, int timeoutMs = 5000) {
  QTcpSocket socket;
  if (!from.isNull()) socket.bind(from);
  socket.connectToHost(QHostAddress::LocalHost, port);
  if (!socket.waitForConnected(timeoutMs)) return {};
  socket.write(request);
  socket.waitForBytesWritten(timeoutMs);
  QByteArray raw;
  QDeadlineTimer deadline(timeoutMs);
  while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
    socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
    raw += socket.readAll();
  }
  raw += socket.readAll();
  return raw;
}

inline HttpReply Http(std::uint16_t port, const QByteArray& path, const QList<QByteArray>& headers = {},
                      const QByteArray& method = "GET", const QHostAddress& from = QHostAddress::Null) {
  QByteArray request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  for (const QByteArray& h : headers) request += h + "\r\n";
  request += "\r\n";
  return ParseReply(RawExchange(port, request, from));
}

#pragma once
// A TCP peer of the registry inside the test process. It collects what it
// receives; tests wait for bytes with QTRY_* while the event loop runs both
// sides.
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>
#include <string>
#include <string_view>

class Peer {
 public:
  explicit Peer(std::uint16_t port, const QHostAddress& from = QHostAddress::LocalHost) {
    if (from != QHostAddress::LocalHost) socket.bind(from);
    QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
      const QByteArray data = socket.readAll();
      received.append(data.constData(), std::size_t(data.size()));
    });
    socket.connectToHost(QHostAddress::LocalHost, port);
  }

  bool WaitConnected() { return socket.waitForConnected(5000); }
  void Send(std::string_view bytes) {
    socket.write(bytes.data(), qint64(bytes.size()));
    socket.flush();
  }
  // Sends a body with its length prefix.
  void SendPacket(std::string_view body) {
    std::string packet{char(body.size() >> 8), char(body.size() & 0xFF)};
    packet.append(body);
    Send(packet);
  }
  bool Closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
  // Takes the first n received bytes.
  std::string Take(std::size_t n) {
    std::string head = received.substr(0, n);
    received.erase(0, n);
    return head;
  }

  QTcpSocket socket;
  std::string received;
};

inline std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(char(v));
  return s;
}

// user, 0x00, password
inline std::string AccountPayload(std::string_view user, std::string_view password) {
  std::string s(user);
  s.push_back('\0');
  s.append(password);
  return s;
}

// The same answers as the reference server, from the smallest server built
// like the registry: QTcpServer and one QTcpSocket per connection on Qt's
// event loop, each reply handed straight to the socket, no state, no log.
// Not part of `make bench`; run it in place of the reference server to see
// what Qt's socket layer costs by itself:
//
//   loadgen --registry build/tarnwick --refserver build/bench/qtserver --only list,churn
//
//   qtserver --port P --servers S [--ip 127.0.0.1]
#include "bench/Fleet.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>

#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int port = 0, servers = 50;
  std::string ip = "127.0.0.1";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--port")) port = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--servers")) servers = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--ip")) ip = argv[i + 1];
  }
  const auto replies = fleet::ListReplies(servers, ip);
  QTcpServer listener;
  if (port <= 0 || !listener.listen(QHostAddress::AnyIPv4, quint16(port))) {
    std::fprintf(stderr, "usage: qtserver --port P --servers S [--ip A]\n");
    return 2;
  }
  QObject::connect(&listener, &QTcpServer::newConnection, [&] {
    while (QTcpSocket* socket = listener.nextPendingConnection()) {
      socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
      auto in = std::make_shared<std::string>();
      QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, in, &replies] {
        const QByteArray data = socket->readAll();
        in->append(data.constData(), std::size_t(data.size()));
        std::size_t pos = 0;
        while (in->size() - pos >= 4) {
          const bool request = (*in)[pos] == 0 && (*in)[pos + 1] == 2 && (*in)[pos + 2] == 3;
          const std::string& reply = replies[std::uint8_t((*in)[pos + 3])];
          if (!request || reply.empty()) {
            socket->disconnectFromHost();
            return;
          }
          ::send(int(socket->socketDescriptor()), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
          pos += 4;
        }
        in->erase(0, pos);
      });
      QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
  });
  return app.exec();
}

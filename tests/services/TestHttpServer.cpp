#include "TestHttpServer.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

} // namespace

TestHttpServer::TestHttpServer(QObject* parent) : QObject(parent) {
    connect(&m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer() {
    stop();
}

bool TestHttpServer::start() {
    return m_server.listen(QHostAddress::LocalHost, 0);
}

void TestHttpServer::stop() {
    m_server.close();
    const auto sockets = m_pending.keys();
    m_pending.clear();
    m_answered.clear();
    for (QTcpSocket* s : sockets) {
        s->abort();
        s->deleteLater();
    }
}

quint16 TestHttpServer::port() const {
    return m_server.serverPort();
}

QUrl TestHttpServer::baseUrl() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()));
}

void TestHttpServer::setRoute(const QString& path, const HttpRoute& route) {
    m_routes.insert(path, route);
}

int TestHttpServer::openConnections() const {
    int n = 0;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it)
        if (it.key()->state() == QAbstractSocket::ConnectedState)
            ++n;
    return n;
}

void TestHttpServer::onNewConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        m_pending.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_pending.remove(socket);
            m_answered.remove(socket);
            socket->deleteLater();
        });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket* socket) {
    if (!m_pending.contains(socket) || m_answered.contains(socket)) {
        socket->readAll(); // one request per connection; the rest is ignored
        return;
    }
    QByteArray& buffer = m_pending[socket];
    buffer.append(socket->readAll());
    if (buffer.indexOf("\r\n\r\n") < 0)
        return;
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    const QString path =
        requestLine.size() >= 2 ? QString::fromLatin1(requestLine.at(1)) : QString();
    m_answered.insert(socket);
    m_requested << path;
    answer(socket, path);
}

void TestHttpServer::answer(QTcpSocket* socket, const QString& path) {
    HttpRoute route;
    if (m_routes.contains(path)) {
        route = m_routes.value(path);
    } else {
        route.status = 404;
        route.body = "<html>not here</html>";
    }
    if (route.mode == HttpRoute::Mode::NeverAnswer)
        return;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + ' ' +
                      reasonPhrase(route.status) + "\r\nContent-Type: application/octet-stream\r\n";
    if (route.mode != HttpRoute::Mode::NoLength)
        head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);

    switch (route.mode) {
    case HttpRoute::Mode::Normal:
    case HttpRoute::Mode::NoLength:
        socket->write(route.body);
        socket->disconnectFromHost();
        break;
    case HttpRoute::Mode::Truncated:
        socket->write(route.body.left(route.sendBytes));
        socket->disconnectFromHost();
        break;
    case HttpRoute::Mode::Slow: {
        auto* timer = new QTimer(socket);
        auto sent = std::make_shared<qsizetype>(0);
        QPointer<QTcpSocket> guard(socket);
        connect(timer, &QTimer::timeout, socket, [guard, timer, sent, route] {
            if (!guard || guard->state() != QAbstractSocket::ConnectedState) {
                timer->stop();
                return;
            }
            const QByteArray chunk = route.body.mid(*sent, route.chunkSize);
            *sent += chunk.size();
            guard->write(chunk);
            if (*sent >= route.body.size()) {
                timer->stop();
                guard->disconnectFromHost();
            }
        });
        timer->start(route.intervalMs);
        break;
    }
    case HttpRoute::Mode::NeverAnswer:
        break;
    }
}

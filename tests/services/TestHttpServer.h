#pragma once
// A tiny HTTP/1.1 server on 127.0.0.1 for the update tests: real sockets, a free port,
// one canned answer per path, and the misbehaviours a download server can show (error
// statuses, silence, truncation, a trickle of bytes).

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

struct HttpRoute {
    enum class Mode {
        Normal,      // status line, Content-Length, body, close
        NeverAnswer, // accept, read the request, say nothing
        Truncated,   // announce the whole body, send sendBytes of it, close
        Slow,        // announce the whole body, send chunkSize bytes every intervalMs
        NoLength,    // no Content-Length: the body ends when the connection closes
    };
    int status = 200;
    QByteArray body;
    Mode mode = Mode::Normal;
    qint64 sendBytes = 0;
    int chunkSize = 1024;
    int intervalMs = 50;
};

class TestHttpServer : public QObject {
    Q_OBJECT
public:
    explicit TestHttpServer(QObject* parent = nullptr);
    ~TestHttpServer() override;

    bool start(); // listens on 127.0.0.1, port chosen by the system
    void stop();
    quint16 port() const;
    QUrl baseUrl() const; // http://127.0.0.1:<port>

    void setRoute(const QString& path, const HttpRoute& route);
    QStringList requestedPaths() const { return m_requested; }
    int openConnections() const;

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QString& path);

    QTcpServer m_server;
    QHash<QString, HttpRoute> m_routes;
    QHash<QTcpSocket*, QByteArray> m_pending;
    QSet<QTcpSocket*> m_answered;
    QStringList m_requested;
};

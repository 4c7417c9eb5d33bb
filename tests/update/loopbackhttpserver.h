#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for the update tests: it serves
// fixed bodies by path, can hold chosen replies back until the test lets
// them go, and records every request and the first bytes of every
// connection. Each reply closes its connection.

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

class LoopbackHttpServer
{
public:
    struct Route
    {
        QByteArray status = "200 OK";
        QByteArray body;
        QByteArray extraHeaders; // each ending in "\r\n"
        bool hold = false;
        bool noLength = false; // the body ends with the connection
    };

    explicit LoopbackHttpServer(const QHostAddress& address = QHostAddress::LocalHost)
    {
        m_server.listen(address, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] { accept(); });
    }

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port()); }

    void serve(const QString& path, const QByteArray& body) { m_routes[path] = Route{"200 OK", body, {}, false, false}; }
    void serve(const QString& path, const Route& route) { m_routes[path] = route; }
    void clear() { m_routes.clear(); }

    // Request targets ("/path?query"), in order of arrival.
    QStringList requests() const { return m_requests; }
    int connections() const { return m_connections; }
    QList<QByteArray> firstBytes() const { return m_firstBytes; }
    int heldCount() const { return m_held.size(); }

    void releaseHeld()
    {
        const auto held = m_held;
        m_held.clear();
        for (const auto& pair : held)
            if (pair.first)
                respond(pair.first, pair.second);
    }

private:
    void accept()
    {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            ++m_connections;
            m_firstBytes.append(QByteArray());
            const int index = m_firstBytes.size() - 1;
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer, index] {
                const QByteArray data = socket->readAll();
                if (m_firstBytes[index].size() < 16)
                    m_firstBytes[index] += data.left(16 - m_firstBytes[index].size());
                if (buffer->contains("\r\n\r\n"))
                    return; // answered or held already
                *buffer += data;
                if (buffer->startsWith('\x16')) {
                    // A TLS handshake: this server speaks plain HTTP only.
                    socket->abort();
                    return;
                }
                if (!buffer->contains("\r\n\r\n"))
                    return;
                const QList<QByteArray> words = buffer->left(buffer->indexOf("\r\n")).split(' ');
                const QString target = QString::fromLatin1(words.value(1));
                m_requests.append(target);
                const QString path = target.section(QLatin1Char('?'), 0, 0);
                Route route{"404 Not Found", "not here", {}, false, false};
                if (m_routes.contains(path))
                    route = m_routes.value(path);
                if (route.hold)
                    m_held.append({QPointer<QTcpSocket>(socket), route});
                else
                    respond(socket, route);
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    static void respond(QTcpSocket* socket, const Route& route)
    {
        QByteArray head = "HTTP/1.1 " + route.status + "\r\n";
        if (!route.noLength)
            head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
        head += "Content-Type: application/octet-stream\r\nConnection: close\r\n" + route.extraHeaders + "\r\n";
        socket->write(head);
        socket->write(route.body);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QString, Route> m_routes;
    QStringList m_requests;
    int m_connections = 0;
    QList<QByteArray> m_firstBytes;
    QList<QPair<QPointer<QTcpSocket>, Route>> m_held;
};

#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

// The datagram socket under the LAN announcer: bound to a port, joined to
// one multicast group. The announcer only ever talks to this interface, so
// that it can be driven without any network.
class UpnpChannel : public QObject
{
    Q_OBJECT
public:
    explicit UpnpChannel(QObject* parent = nullptr);
    ~UpnpChannel() override;

    virtual bool isBound() const = 0;
    // A number that tells the socket's state in logs.
    virtual int state() const = 0;
    // Binds to the IPv4 any-address, sharing the port with other sockets.
    virtual bool bind(quint16 port) = 0;
    virtual bool joinGroup(const QHostAddress& group) = 0;
    virtual bool leaveGroup(const QHostAddress& group) = 0;
    // Closes the socket; a later bind opens it again.
    virtual void close() = 0;
    // The bytes written, or -1.
    virtual qint64 send(const QByteArray& datagram, const QHostAddress& group, quint16 port) = 0;
    virtual bool hasPendingDatagrams() const = 0;
    // The next whole datagram and its sender.
    virtual QByteArray readDatagram(QHostAddress* sender) = 0;
    virtual QString errorString() const = 0;

signals:
    void readyRead();
};

#pragma once

#include "peer/lan/upnpchannel.h"

class QUdpSocket;

// The announcer's channel on a real UDP socket.
class UpnpUdpChannel : public UpnpChannel
{
    Q_OBJECT
public:
    explicit UpnpUdpChannel(QObject* parent = nullptr);
    ~UpnpUdpChannel() override;

    bool isBound() const override;
    int state() const override;
    bool bind(quint16 port) override;
    bool joinGroup(const QHostAddress& group) override;
    bool leaveGroup(const QHostAddress& group) override;
    void close() override;
    qint64 send(const QByteArray& datagram, const QHostAddress& group, quint16 port) override;
    bool hasPendingDatagrams() const override;
    QByteArray readDatagram(QHostAddress* sender) override;
    QString errorString() const override;

private:
    QUdpSocket* m_socket;
};

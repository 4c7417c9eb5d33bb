#include "peer/lan/upnpudpchannel.h"

#include <QUdpSocket>

UpnpUdpChannel::UpnpUdpChannel(QObject* parent) : UpnpChannel(parent), m_socket(new QUdpSocket(this))
{
    connect(m_socket, &QUdpSocket::readyRead, this, &UpnpChannel::readyRead);
}

UpnpUdpChannel::~UpnpUdpChannel() = default;

bool UpnpUdpChannel::isBound() const
{
    return m_socket->state() == QAbstractSocket::BoundState;
}

int UpnpUdpChannel::state() const
{
    return int(m_socket->state());
}

bool UpnpUdpChannel::bind(quint16 port)
{
    return m_socket->bind(QHostAddress::AnyIPv4, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
}

bool UpnpUdpChannel::joinGroup(const QHostAddress& group)
{
    return m_socket->joinMulticastGroup(group);
}

bool UpnpUdpChannel::leaveGroup(const QHostAddress& group)
{
    return m_socket->leaveMulticastGroup(group);
}

void UpnpUdpChannel::close()
{
    m_socket->close();
}

qint64 UpnpUdpChannel::send(const QByteArray& datagram, const QHostAddress& group, quint16 port)
{
    return m_socket->writeDatagram(datagram, group, port);
}

bool UpnpUdpChannel::hasPendingDatagrams() const
{
    return m_socket->hasPendingDatagrams();
}

QByteArray UpnpUdpChannel::readDatagram(QHostAddress* sender)
{
    const qint64 size = m_socket->pendingDatagramSize();
    QByteArray datagram(int(qMax<qint64>(size, 0)), Qt::Uninitialized);
    const qint64 read = m_socket->readDatagram(datagram.data(), datagram.size(), sender);
    datagram.resize(int(qMax<qint64>(read, 0)));
    return datagram;
}

QString UpnpUdpChannel::errorString() const
{
    return m_socket->errorString();
}

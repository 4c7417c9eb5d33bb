#include "com/transportturn.h"

TransportTurn::TransportTurn(const TransportDto& dto, int unused, QObject* parent)
    : Transport(dto, parent)
{
    Q_UNUSED(unused)
}

TransportTurn::~TransportTurn() = default;

void TransportTurn::setServer(const QString& host, quint16 port, quint16 bindingPort, const QString& user,
                              const QString& password)
{
    m_host = host;
    m_port = port;
    m_bindingPort = bindingPort;
    m_user = user;
    m_password = password;
}

QString TransportTurn::serverHost() const
{
    return m_host;
}

quint16 TransportTurn::serverPort() const
{
    return m_port;
}

quint16 TransportTurn::bindingPort() const
{
    return m_bindingPort;
}

QString TransportTurn::userName() const
{
    return m_user;
}

bool TransportTurn::hasPassword() const
{
    return !m_password.isEmpty();
}

TransportDto TransportTurn::relayDto() const
{
    return m_relay;
}

void TransportTurn::selectPeer(const std::vector<TransportDto>& peers)
{
    m_peers = peers;
}

const std::vector<TransportDto>& TransportTurn::peers() const
{
    return m_peers;
}

int TransportTurn::state() const
{
    return isMounted() ? StateConnecting : StateDown;
}

int TransportTurn::rtt() const
{
    return m_rtt;
}

void TransportTurn::setRtt(int rtt)
{
    m_rtt = rtt;
}

void TransportTurn::mount()
{
    setMounted(true);
}

void TransportTurn::unmount()
{
    setMounted(false);
}

void TransportTurn::transmit(const quint8* buf, size_t length, int waitSend)
{
    Q_UNUSED(buf)
    Q_UNUSED(length)
    Q_UNUSED(waitSend)
}

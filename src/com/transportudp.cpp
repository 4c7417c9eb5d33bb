#include "com/transportudp.h"

#include "core/logger.h"

TransportUdp::TransportUdp(const TransportDto& dto, int unused, QObject* parent)
    : Transport(dto, parent)
{
    Q_UNUSED(unused)
}

TransportUdp::~TransportUdp() = default;

int TransportUdp::state() const
{
    return StateDown;
}

int TransportUdp::rtt() const
{
    if (!isMounted() || state() != StateUp)
        return UnusableRtt;
    return m_rtt;
}

void TransportUdp::setRtt(int rtt)
{
    if (isMounted() && state() == StateUp)
        m_rtt = rtt;
}

int TransportUdp::natType() const
{
    return m_natType;
}

void TransportUdp::setNatType(int natType)
{
    if (natType == m_natType)
        return;
    m_natType = natType;
    emit natTypeChanged();
}

void TransportUdp::addPeer(const std::vector<TransportDto>& peers)
{
    for (const TransportDto& peer : peers) {
        bool known = false;
        for (const TransportDto& p : m_peers)
            known = known || (p.host == peer.host && p.port == peer.port);
        if (known)
            continue;
        Logger::log(Logger::UDP1, "add peer %s : %u", qPrintable(peer.host), unsigned(peer.port));
        m_peers.push_back(peer);
    }
}

const std::vector<TransportDto>& TransportUdp::peers() const
{
    return m_peers;
}

std::vector<TransportDto> TransportUdp::publicHosts() const
{
    return {};
}

quint16 TransportUdp::localPort() const
{
    return 0;
}

void TransportUdp::mount()
{
    setMounted(true);
}

void TransportUdp::unmount()
{
    setMounted(false);
}

void TransportUdp::transmit(const quint8* buf, size_t length, int waitSend)
{
    Q_UNUSED(buf)
    Q_UNUSED(length)
    Q_UNUSED(waitSend)
}

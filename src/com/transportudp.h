#pragma once

#include "com/transport.h"

#include <vector>

// UDP transport to the candidate addresses of one remote peer, with STUN
// probing of the NAT in front of this machine.
//
// For now a stand-in that the registry can create, register, mount and ask
// about: it never binds a socket and never sends, stays down, and reports
// the NAT type it is given (unknown, 0, until then).
class TransportUdp : public Transport
{
    Q_OBJECT
public:
    enum NatType {
        NatUnknown = 0,
        NatCone = 1,
        NatSymmetric = 2,
        NatNoStunResult = 3,
    };

    // The int is not used.
    TransportUdp(const TransportDto& dto, int unused, QObject* parent = nullptr);
    ~TransportUdp() override;

    int state() const override;
    int rtt() const override;
    void setRtt(int rtt) override;

    int natType() const;
    // Stores the NAT type and emits natTypeChanged() when it changed.
    void setNatType(int natType);

    // Adds candidate addresses of the remote peer; addresses already known
    // are skipped.
    void addPeer(const std::vector<TransportDto>& peers);
    const std::vector<TransportDto>& peers() const;

    // This machine's public addresses as STUN found them (only behind a
    // cone NAT); none yet.
    std::vector<TransportDto> publicHosts() const;
    // The local port of the UDP socket, 0 while it is not bound.
    quint16 localPort() const;

signals:
    void natTypeChanged();

public slots:
    void mount() override;
    void unmount() override;
    void transmit(const quint8* buf, size_t length, int waitSend) override;

private:
    int m_natType = NatUnknown;
    int m_rtt = UnusableRtt;
    std::vector<TransportDto> m_peers;
};

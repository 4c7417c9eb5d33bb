#pragma once

#include "com/transport.h"

#include <QString>

#include <vector>

// Reaches a peer through a TURN relay over TLS when direct UDP is not
// possible. The registry hands it the relay server and credentials, and
// mounts it only while the NAT type asks for a relay.
//
// For now a stand-in that the registry can create, register, mount and ask
// about: it never contacts the relay and never sends; mounted it stays
// connecting, and it has no relayed address.
class TransportTurn : public Transport
{
    Q_OBJECT
public:
    // The int is not used.
    TransportTurn(const TransportDto& dto, int unused, QObject* parent = nullptr);
    ~TransportTurn() override;

    void setServer(const QString& host, quint16 port, quint16 bindingPort, const QString& user,
                   const QString& password);
    QString serverHost() const;
    quint16 serverPort() const;
    quint16 bindingPort() const;
    QString userName() const;
    bool hasPassword() const;

    // The relayed address under which the peer reaches this machine; empty
    // until the relay has granted one.
    TransportDto relayDto() const;
    // Picks the peer address the relay channel is bound to.
    void selectPeer(const std::vector<TransportDto>& peers);
    const std::vector<TransportDto>& peers() const;

    int state() const override;
    int rtt() const override;
    void setRtt(int rtt) override;

public slots:
    void mount() override;
    void unmount() override;
    void transmit(const quint8* buf, size_t length, int waitSend) override;

private:
    QString m_host;
    quint16 m_port = 0;
    quint16 m_bindingPort = 0;
    QString m_user;
    QString m_password;
    int m_rtt = 0;
    TransportDto m_relay;
    std::vector<TransportDto> m_peers;
};

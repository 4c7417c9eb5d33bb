#pragma once

#include "core/transportdto.h"

#include <QHostAddress>
#include <QList>
#include <QtGlobal>

#include <vector>

class QObject;

// What a peer needs of the program around it: an owner for its io-thread
// objects, the machine's network addresses, and the clocks and machine facts
// its link supervisor decides by. The connection manager is the one host of
// the running program; tests give their own.
class IPeerHost
{
public:
    static constexpr qint64 DefaultLinkSilenceLimitMs = 120000;

    virtual ~IPeerHost() = default;

    // Parent of the peer's endpoints, file-system client and server; lives
    // on the io thread.
    virtual QObject* ioParent() const = 0;
    // The machine's own interface addresses; empty when it has no network.
    virtual QList<QHostAddress> localAddresses() const = 0;

    // Seconds since the epoch.
    virtual qint64 currentSecsSinceEpoch() const;
    // A monotonic clock in milliseconds, for the time since the last message.
    virtual qint64 monotonicMs() const;
    // The machine class as the machine classifier reports it.
    virtual quint32 machineClass() const;
    virtual bool systemSleeping() const;
    // How long an up link may stay silent before the supervisor takes it
    // down (DefaultLinkSilenceLimitMs unless the host says otherwise).
    virtual qint64 linkSilenceLimitMs() const;
    // Appends the own transports under which the other side can reach this
    // machine (none by default).
    virtual void getTransportHosts(const TransportDto& dto, std::vector<TransportDto>& hosts);
};

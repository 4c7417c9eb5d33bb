#pragma once

#include "peer/ipeerhost.h"

#include <QObject>

#include <atomic>

// A host with hand-set clocks, machine facts and addresses; the io parent is
// a plain object on the thread that made the host.
class FakePeerHost : public IPeerHost
{
public:
    QObject* ioParent() const override { return const_cast<QObject*>(&io); }
    QList<QHostAddress> localAddresses() const override
    {
        return hasNetwork ? QList<QHostAddress>{QHostAddress(QStringLiteral("192.0.2.10"))} : QList<QHostAddress>{};
    }
    qint64 currentSecsSinceEpoch() const override { return seconds.load(); }
    qint64 monotonicMs() const override { return milliseconds.load(); }
    quint32 machineClass() const override { return machine; }
    bool systemSleeping() const override { return sleeping; }
    qint64 linkSilenceLimitMs() const override { return silenceLimitMs.load(); }

    QObject io;
    std::atomic<qint64> seconds{1700000000};
    std::atomic<qint64> milliseconds{1000000};
    std::atomic<qint64> silenceLimitMs{DefaultLinkSilenceLimitMs};
    quint32 machine = 2; // desktop
    bool sleeping = false;
    bool hasNetwork = true;
};

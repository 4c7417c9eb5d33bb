#include "peer/ipeerhost.h"
#include "core/machineclassifier.h"

#include <QDateTime>

#include <chrono>

qint64 IPeerHost::currentSecsSinceEpoch() const
{
    return QDateTime::currentSecsSinceEpoch();
}

qint64 IPeerHost::monotonicMs() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

quint32 IPeerHost::machineClass() const
{
    MachineClassifier* classifier = MachineClassifier::instance();
    return classifier ? classifier->detect() : quint32(MachineClassifier::Undetected);
}

bool IPeerHost::systemSleeping() const
{
    MachineClassifier* classifier = MachineClassifier::instance();
    return classifier && classifier->isSystemSleeping();
}

qint64 IPeerHost::linkSilenceLimitMs() const
{
    return DefaultLinkSilenceLimitMs;
}

void IPeerHost::getTransportHosts(const TransportDto&, std::vector<TransportDto>&) {}

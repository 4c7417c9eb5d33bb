#include "com/transport/subnetdiscovery.h"

#include "core/appsettings.h"

#include <QDebug>
#include <QTcpSocket>
#include <QTimer>

SubnetDiscovery::SubnetDiscovery(QObject* parent) : QObject(parent)
{
    AppSettings settings;
    for (const QString& text : settings.subnetProbes()) {
        const QHostAddress address(text.trimmed());
        if (!address.isNull())
            m_candidates << address;
    }
    m_port = settings.subnetProbePort();
    init();
}

SubnetDiscovery::SubnetDiscovery(const QList<QHostAddress>& candidates, quint16 port, QObject* parent)
    : QObject(parent), m_candidates(candidates), m_port(port)
{
    init();
}

SubnetDiscovery::~SubnetDiscovery()
{
    m_probing = false;
}

void SubnetDiscovery::init()
{
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &SubnetDiscovery::timerFired);
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QAbstractSocket::stateChanged, this, &SubnetDiscovery::tcpStateChanged);
    m_index = int(m_candidates.size());
    QTimer::singleShot(StartDelayMs, this, &SubnetDiscovery::startDiscovery);
}

QList<QHostAddress> SubnetDiscovery::candidates() const
{
    return m_candidates;
}

quint16 SubnetDiscovery::port() const
{
    return m_port;
}

bool SubnetDiscovery::isRunning() const
{
    return m_index < m_candidates.size();
}

void SubnetDiscovery::startDiscovery()
{
    ++m_run;
    probe(0);
}

void SubnetDiscovery::probeNextLater(quint64 run, int next)
{
    // Queued: the socket is inside its own state change here. A restart
    // meanwhile (also by a receiver of discoveredSubnet) makes this step stale.
    QMetaObject::invokeMethod(this, [this, run, next] {
        if (run == m_run)
            probe(next);
    }, Qt::QueuedConnection);
}

void SubnetDiscovery::probe(int index)
{
    m_index = index;
    m_probing = false;
    m_timer->stop();
    m_socket->abort();
    if (index >= m_candidates.size())
        return;
    m_probing = true;
    m_timer->start(ProbeTimeoutMs);
    m_socket->connectToHost(m_candidates.at(index), m_port);
}

void SubnetDiscovery::timerFired()
{
    if (!m_probing)
        return;
    qDebug() << "timout subnet" << m_socket->localAddress() << m_index + 1;
    m_probing = false;
    probeNextLater(m_run, m_index + 1);
}

void SubnetDiscovery::tcpStateChanged()
{
    if (!m_probing)
        return;
    const QHostAddress candidate = m_candidates.at(m_index);
    const quint64 run = m_run;
    const int next = m_index + 1;
    const QAbstractSocket::SocketState state = m_socket->state();
    qDebug() << candidate << "state:" << state;
    if (state == QAbstractSocket::ConnectedState) {
        m_timer->stop();
        m_probing = false;
        emit discoveredSubnet(candidate);
        qDebug() << "found subnet" << candidate;
        probeNextLater(run, next);
    } else if (state == QAbstractSocket::UnconnectedState) {
        m_timer->stop();
        m_probing = false;
        qDebug() << candidate << m_socket->errorString();
        probeNextLater(run, next);
    }
}

#pragma once

#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QObject>

class QTcpSocket;
class QTimer;

// Finds which of a list of common gateway addresses accept a TCP connection,
// as a hint to the local subnet. Probes one candidate at a time, each for at
// most 100 ms, and reports every one that answers, in list order.
class SubnetDiscovery : public QObject
{
    Q_OBJECT
public:
    static constexpr int ProbeTimeoutMs = 100;
    static constexpr int StartDelayMs = 500;

    // The candidates and port from the settings; starts 500 ms later.
    explicit SubnetDiscovery(QObject* parent = nullptr);
    SubnetDiscovery(const QList<QHostAddress>& candidates, quint16 port, QObject* parent = nullptr);
    ~SubnetDiscovery() override;

    QList<QHostAddress> candidates() const;
    quint16 port() const;
    // True while a run goes through the list.
    bool isRunning() const;

public slots:
    // Aborts a probe in progress and starts again from the first candidate.
    void startDiscovery();
    void timerFired();
    void tcpStateChanged();

signals:
    void discoveredSubnet(QHostAddress address);

private:
    void init();
    void probe(int index);
    void probeNextLater(quint64 run, int next);

    QTimer* m_timer = nullptr;
    QTcpSocket* m_socket = nullptr;
    QList<QHostAddress> m_candidates;
    quint16 m_port = 0;
    int m_index = 0;
    bool m_probing = false;
    quint64 m_run = 0;
};

Q_DECLARE_METATYPE(QHostAddress)

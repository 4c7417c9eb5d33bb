#pragma once

#include <QElapsedTimer>
#include <QObject>

#include <cstdint>
#include <vector>

class Endpoint;
class QTimer;

// Measures the throughput of a peer link: sends a large request on the
// control channel, waits up to 2 s for the peer's small acknowledgement,
// logs the time and rate, pauses 5 s and repeats. Answers the requests of
// the other side whenever it is not pausing. Lives on the io thread with its
// endpoints.
class PeerSpeedTest : public QObject
{
    Q_OBJECT
public:
    enum State { Idle = 0, Pause = 1, Waiting = 2 };
    enum Event { TimerEvent = 0, RequestEvent = 1, AckEvent = 2, StartEvent = 3, StopEvent = 4 };

    static constexpr quint8 Channel = 64;
    static constexpr quint8 RequestType = 3;
    static constexpr quint8 AckType = 4;
    static constexpr std::size_t BufferSize = 64400;
    static constexpr std::size_t RequestSize = BufferSize - 100;
    static constexpr std::size_t AckSize = 32;
    static constexpr int WaitMs = 2000;
    static constexpr int PauseMs = 5000;

    PeerSpeedTest(Endpoint* receiveEndpoint, Endpoint* sendEndpoint, QObject* parent = nullptr);
    ~PeerSpeedTest() override;

    // KB/s for one request that took dtMs to be acknowledged; an elapsed
    // time below 1 ms counts as 1 ms.
    static quint64 rateKBps(qint64 dtMs);

    int state() const;
    bool isTimerActive() const;
    int timerInterval() const;
    // The sequence number of the last own request.
    quint32 seq() const;
    // The sequence number of the last request of the peer, which the next
    // acknowledgement carries.
    quint32 ackSeq() const;

    void handleEvent(int event);

public slots:
    void start();
    void stop();
    void timerFired();
    void sendMessage();
    void sendAck();
    void onReceivedMessage(const std::vector<uint8_t>& data);

signals:
    // An own request was acknowledged after dtMs.
    void measured(quint32 seq, qint64 dtMs, quint64 kbps);

private:
    std::size_t writeHeader(quint32 length, quint8 type, quint32 seq);

    int m_state = Idle;
    Endpoint* m_receiveEndpoint;
    Endpoint* m_sendEndpoint;
    QTimer* m_timer;
    QElapsedTimer m_stopwatch;
    quint32 m_seq = 0;
    quint32 m_ackSeq = 0;
    std::vector<uint8_t> m_buffer;
};

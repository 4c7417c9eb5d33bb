#include "peer/peerspeedtest.h"

#include "com/link/endpoint.h"
#include "com/wire/termstreamreader.h"
#include "com/wire/termstreamwriter.h"
#include "core/logger.h"

#include <QTimer>

#include <algorithm>

PeerSpeedTest::PeerSpeedTest(Endpoint* receiveEndpoint, Endpoint* sendEndpoint, QObject* parent)
    : QObject(parent)
    , m_receiveEndpoint(receiveEndpoint)
    , m_sendEndpoint(sendEndpoint)
    , m_timer(new QTimer(this))
    , m_buffer(BufferSize, 0)
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &PeerSpeedTest::timerFired);
    if (m_receiveEndpoint)
        connect(m_receiveEndpoint, &Endpoint::receivedMessage, this, &PeerSpeedTest::onReceivedMessage);
    if (m_sendEndpoint && m_sendEndpoint != m_receiveEndpoint)
        connect(m_sendEndpoint, &Endpoint::receivedMessage, this, &PeerSpeedTest::onReceivedMessage);
}

PeerSpeedTest::~PeerSpeedTest() = default;

quint64 PeerSpeedTest::rateKBps(qint64 dtMs)
{
    const quint64 dt = quint64(std::max<qint64>(dtMs, 1));
    return ((1000 / dt) * RequestSize) / 1000;
}

int PeerSpeedTest::state() const
{
    return m_state;
}

bool PeerSpeedTest::isTimerActive() const
{
    return m_timer->isActive();
}

int PeerSpeedTest::timerInterval() const
{
    return m_timer->interval();
}

quint32 PeerSpeedTest::seq() const
{
    return m_seq;
}

quint32 PeerSpeedTest::ackSeq() const
{
    return m_ackSeq;
}

void PeerSpeedTest::start()
{
    handleEvent(StartEvent);
}

void PeerSpeedTest::stop()
{
    handleEvent(StopEvent);
}

void PeerSpeedTest::timerFired()
{
    handleEvent(TimerEvent);
}

void PeerSpeedTest::handleEvent(int event)
{
    if (event == StopEvent) {
        m_timer->stop();
        m_state = Idle;
        return;
    }
    if (event == RequestEvent) {
        sendAck();
        return;
    }
    switch (m_state) {
    case Idle:
        if (event == StartEvent) {
            m_timer->start(0);
            m_state = Pause;
        }
        break;
    case Pause:
        if (event == TimerEvent) {
            m_timer->start(WaitMs);
            sendMessage();
            m_state = Waiting;
        }
        break;
    case Waiting:
        if (event == TimerEvent) {
            Logger::log(Logger::DBG1, "ST timeout seq: %u", m_seq);
            m_timer->start(PauseMs);
            m_state = Pause;
        } else if (event == AckEvent) {
            m_timer->start(PauseMs);
            m_state = Pause;
        }
        break;
    default:
        break;
    }
}

std::size_t PeerSpeedTest::writeHeader(quint32 length, quint8 type, quint32 seq)
{
    std::fill(m_buffer.begin(), m_buffer.begin() + std::ptrdiff_t(length), uint8_t(0));
    com::TermStreamWriter writer(m_buffer.data(), m_buffer.size());
    writer.writeU32(length);
    writer.writeU8(Channel);
    writer.writeU8(type);
    writer.writeU32(seq);
    return length;
}

void PeerSpeedTest::sendMessage()
{
    ++m_seq;
    const std::size_t length = writeHeader(quint32(RequestSize), RequestType, m_seq);
    Logger::log(Logger::DBG1, "ST send msg seq: %u", m_seq);
    m_stopwatch.start();
    if (m_sendEndpoint)
        m_sendEndpoint->send(m_buffer.data(), length);
}

void PeerSpeedTest::sendAck()
{
    const std::size_t length = writeHeader(quint32(AckSize), AckType, m_ackSeq);
    Logger::log(Logger::DBG1, "ST send ACK seq: %u", m_ackSeq);
    if (m_sendEndpoint)
        m_sendEndpoint->send(m_buffer.data(), length);
}

void PeerSpeedTest::onReceivedMessage(const std::vector<uint8_t>& data)
{
    if (m_state == Pause)
        return;
    com::TermStreamReader reader(data.data(), data.size());
    quint32 length = 0;
    quint8 channel = 0;
    quint8 type = 0;
    quint32 seq = 0;
    reader.readU32(length);
    reader.readU8(channel);
    reader.readU8(type);
    if (reader.hasError() || (type != RequestType && type != AckType))
        return;
    reader.readU32(seq);
    if (reader.hasError() || channel != Channel)
        return;
    if (type == RequestType) {
        // The peer's numbering is kept apart from the own: answering it must
        // not move the number the own acknowledgement is matched against.
        m_ackSeq = seq;
        Logger::log(Logger::DBG1, "ST REQ, seq: %u, len: %llu", seq, static_cast<unsigned long long>(data.size()));
        handleEvent(RequestEvent);
        return;
    }
    if (m_state != Waiting || seq != m_seq)
        return;
    const qint64 dt = m_stopwatch.elapsed();
    const quint64 rate = rateKBps(dt);
    Logger::log(Logger::DBG1, "ST ACK, seq: %u, dt: %lld (%llu KB/s)", seq, static_cast<long long>(dt),
                static_cast<unsigned long long>(rate));
    emit measured(seq, dt, rate);
    handleEvent(AckEvent);
}

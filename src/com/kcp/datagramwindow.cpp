#include "com/kcp/datagramwindow.h"

#include <algorithm>

namespace {

constexpr int kMinRoundMs = 10;
constexpr int kMaxRoundMs = 1000;
constexpr int kMinQueueDelayMs = 15;

qint32 since(quint32 now, quint32 then)
{
    return qint32(now - then);
}

int lowest(int a, int b)
{
    if (a <= 0)
        return b;
    if (b <= 0)
        return a;
    return std::min(a, b);
}

} // namespace

int DatagramWindow::minRtt() const
{
    return lowest(m_periodMin, m_previousPeriodMin);
}

int DatagramWindow::allowedQueueDelay() const
{
    return std::max(kMinQueueDelayMs, minRtt() / 2);
}

int DatagramWindow::update(const Sample& sample)
{
    if (!m_started) {
        m_started = true;
        m_roundStart = sample.now;
        m_periodStart = sample.now;
        m_timeoutsAtRoundStart = sample.timeouts;
    }
    if (sample.srtt > 0)
        m_periodMin = lowest(m_periodMin, sample.srtt);
    if (since(sample.now, m_periodStart) >= qint32(MinRttPeriodMs) || since(sample.now, m_periodStart) < 0) {
        m_previousPeriodMin = m_periodMin;
        m_periodMin = sample.srtt > 0 ? sample.srtt : 0;
        m_periodStart = sample.now;
    }
    m_limited = m_limited || sample.limited;

    const int round = std::clamp(sample.srtt, kMinRoundMs, kMaxRoundMs);
    const qint32 elapsed = since(sample.now, m_roundStart);
    if (elapsed >= 0 && elapsed < round)
        return m_window;

    const quint32 timeouts = sample.timeouts - m_timeoutsAtRoundStart;
    const bool queueing = sample.srtt > 0 && minRtt() > 0 && sample.srtt - minRtt() > allowedQueueDelay();
    if (queueing || timeouts > quint32(m_window / 8))
        m_window = std::max(Floor, m_window - m_window / 5);
    else if (m_limited)
        m_window = std::min(Ceiling, m_window + std::max(8, m_window / 4));

    m_roundStart = sample.now;
    m_timeoutsAtRoundStart = sample.timeouts;
    m_limited = false;
    return m_window;
}

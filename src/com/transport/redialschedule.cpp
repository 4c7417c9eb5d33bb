#include "com/transport/redialschedule.h"

#include <algorithm>

RedialSchedule::RedialSchedule(int delayMs, int fastIntervalMs, int fastWindowMs)
    : m_delayMs(std::max(0, delayMs))
    , m_fastIntervalMs(std::max(0, fastIntervalMs))
    , m_fastWindowMs(std::max(0, fastWindowMs))
{
}

bool RedialSchedule::isFast(const Situation& situation) const
{
    if (situation.heardElsewhere || situation.sinceLostMs < 0)
        return false;
    return situation.sinceLostMs < m_fastWindowMs && m_fastIntervalMs < m_delayMs;
}

int RedialSchedule::nextDelayMs(const Situation& situation) const
{
    if (!isFast(situation))
        return m_delayMs;
    if (situation.sinceDialMs < 0)
        return 0;
    const qint64 left = qint64(m_fastIntervalMs) - situation.sinceDialMs;
    return int(std::clamp<qint64>(left, 0, m_fastIntervalMs));
}

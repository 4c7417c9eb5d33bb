#include "com/transport/redialschedule.h"

#include <algorithm>

RedialSchedule::RedialSchedule(int delayMs, int fastIntervalMs, int fastWindowMs)
    : m_delayMs(std::max(0, delayMs))
    , m_fastIntervalMs(std::max(1, fastIntervalMs))
    , m_fastWindowMs(std::max(0, fastWindowMs))
{
}

bool RedialSchedule::inFastWindow(const Situation& situation) const
{
    return situation.sinceLostMs >= 0 && situation.sinceLostMs < m_fastWindowMs && m_fastIntervalMs < m_delayMs;
}

int RedialSchedule::waitMs(const Situation& situation) const
{
    const qint64 plainLeft = std::max<qint64>(0, qint64(m_delayMs) - situation.sinceFailureMs);
    if (plainLeft == 0 || !inFastWindow(situation))
        return int(plainLeft);
    if (situation.heardElsewhere)
        return int(std::min<qint64>(plainLeft, m_fastIntervalMs));
    const qint64 fastLeft =
        situation.sinceDialMs < 0 ? 0 : std::clamp<qint64>(m_fastIntervalMs - situation.sinceDialMs, 0, m_fastIntervalMs);
    return int(std::min(plainLeft, fastLeft));
}

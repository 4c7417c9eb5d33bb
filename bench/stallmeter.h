#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

// The lateness of a 1 ms timer, its largest value kept.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const double now = m_clock.nsecsElapsed() / 1e6;
            longest = std::max(longest, now - m_last - 1.0);
            m_last = now;
        });
    }
    void start()
    {
        longest = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    double longest = 0;

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_last = 0;
};

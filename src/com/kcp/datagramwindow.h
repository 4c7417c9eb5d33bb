#pragma once

#include <QtGlobal>

// The send window of a session whose datagrams may be lost, sized to what
// the path carries instead of a fixed count. It grows by a quarter a round
// trip while the window is what holds the session back and the round trip
// stays near the lowest seen; it shrinks by a fifth when the round trip
// climbs more than the allowed queueing delay above that lowest (a queue is
// building at a bottleneck, the link's or the receiver's) or when many
// segments of a round time out. Scattered losses alone, which a resend
// mends, leave it as it is. It never goes below Floor, the fixed window a
// session always had, nor above Ceiling. What the peer offers still bounds
// the session; this only decides how much of it to use.
//
// Nothing of it shows on the wire: it only decides how many segments this
// side keeps in flight.
class DatagramWindow
{
public:
    static constexpr int Floor = 64;
    static constexpr int Ceiling = 1024;
    // The lowest round trip is the least of this and the previous period.
    static constexpr quint32 MinRttPeriodMs = 10000;

    // One look at the session, made about every 10 ms.
    struct Sample
    {
        quint32 now = 0;     // milliseconds, wrapping
        int srtt = 0;        // smoothed round trip, ms; 0 while unknown
        bool limited = false; // segments waited because the window was full
        quint32 timeouts = 0; // resends after a time-out so far, a running count
    };

    // Takes one sample and returns the window to use from now on.
    int update(const Sample& sample);
    int window() const { return m_window; }
    // The lowest round trip of the last one or two periods; 0 while unknown.
    int minRtt() const;
    // The round trip may exceed minRtt() by this much before the window
    // shrinks: half the lowest round trip, at least 15 ms.
    int allowedQueueDelay() const;

private:
    int m_window = Floor;
    bool m_started = false;
    quint32 m_roundStart = 0;
    quint32 m_timeoutsAtRoundStart = 0;
    bool m_limited = false;
    quint32 m_periodStart = 0;
    int m_periodMin = 0;
    int m_previousPeriodMin = 0;
};

#pragma once

#include <QtGlobal>

// When a dialling TCP transport dials again after its connection failed or
// closed. Pure arithmetic on the times it is given, so that it can be tested
// without waiting.
//
// Normally the next dial comes a fixed delay (30 s) after the failure. After
// a connection that carried the peer's link has been lost, and while the
// peer is not heard on any other transport, that delay would keep the link
// down for up to the whole delay after the network has come back. For a
// while after such a loss the transport therefore dials every few seconds:
// the dial itself is the probe, and the first one after the network's
// return brings the link back. Dials are counted from the start of the
// previous one, so a far end that refuses at once is asked no more often
// than that interval, and only one dial is ever outstanding. Whether the
// peer is heard elsewhere is asked again at every interval while the
// transport waits: at the moment a connection closes the other ways have
// usually not fallen silent yet. Once the loss is older than the fast
// window the plain delay applies again; a way that never carried the link
// is never dialled fast.
class RedialSchedule
{
public:
    static constexpr int DefaultDelayMs = 30000;
    static constexpr int DefaultFastIntervalMs = 3000;
    static constexpr int DefaultFastWindowMs = 600000;

    // What the waiting transport knows.
    struct Situation
    {
        // Since the connection failed or closed: since the wait began.
        qint64 sinceFailureMs = 0;
        // Since the last dial started; -1 when it never dialled.
        qint64 sinceDialMs = -1;
        // Since a connection that carried the peer's link (one it had
        // authenticated) was lost; -1 when none ever did.
        qint64 sinceLostMs = -1;
        // The peer is heard on another transport right now.
        bool heardElsewhere = false;
    };

    RedialSchedule() = default;
    RedialSchedule(int delayMs, int fastIntervalMs, int fastWindowMs);

    int delayMs() const { return m_delayMs; }
    int fastIntervalMs() const { return m_fastIntervalMs; }
    int fastWindowMs() const { return m_fastWindowMs; }

    // Whether the loss is recent enough for the few-second schedule (the
    // peer may still be heard elsewhere).
    bool inFastWindow(const Situation& situation) const;
    // 0: dial now. Otherwise the milliseconds after which to ask again: at
    // most the fast interval within the fast window, and never beyond the
    // plain delay after the failure.
    int waitMs(const Situation& situation) const;

private:
    int m_delayMs = DefaultDelayMs;
    int m_fastIntervalMs = DefaultFastIntervalMs;
    int m_fastWindowMs = DefaultFastWindowMs;
};

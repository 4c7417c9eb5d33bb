#pragma once

// Helpers for the KCP tests: segment encoding and a seeded lossy channel on a
// virtual clock.

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace kcptest {

struct WireSegment
{
    quint32 conv = 0;
    int cmd = 0;
    int frg = 0;
    int wnd = 0;
    quint32 ts = 0;
    quint32 sn = 0;
    quint32 una = 0;
    quint32 len = 0;
    QByteArray data;
};

inline void put32(QByteArray& out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

inline quint32 get32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return quint32(u[0]) | (quint32(u[1]) << 8) | (quint32(u[2]) << 16) | (quint32(u[3]) << 24);
}

// One segment on the wire; len defaults to the data's size.
inline QByteArray segment(quint32 conv, int cmd, int frg, int wnd, quint32 ts, quint32 sn,
                          quint32 una, const QByteArray& data = QByteArray(), qint64 len = -1)
{
    QByteArray out;
    put32(out, conv);
    out.append(char(cmd));
    out.append(char(frg));
    out.append(char(wnd & 0xFF));
    out.append(char((wnd >> 8) & 0xFF));
    put32(out, ts);
    put32(out, sn);
    put32(out, una);
    put32(out, len < 0 ? quint32(data.size()) : quint32(len));
    out.append(data);
    return out;
}

// Splits a datagram into its segments; stops at anything malformed.
inline std::vector<WireSegment> parseDatagram(const QByteArray& datagram)
{
    std::vector<WireSegment> out;
    int pos = 0;
    while (datagram.size() - pos >= 24) {
        const char* p = datagram.constData() + pos;
        WireSegment s;
        s.conv = get32(p);
        s.cmd = quint8(p[4]);
        s.frg = quint8(p[5]);
        s.wnd = quint8(p[6]) | (quint8(p[7]) << 8);
        s.ts = get32(p + 8);
        s.sn = get32(p + 12);
        s.una = get32(p + 16);
        s.len = get32(p + 20);
        pos += 24;
        if (s.len > quint32(datagram.size() - pos))
            break;
        s.data = datagram.mid(pos, int(s.len));
        pos += int(s.len);
        out.push_back(s);
    }
    return out;
}

// A message whose bytes depend on its index, so that swaps and damage show.
inline QByteArray patternMessage(int index, int size)
{
    QByteArray m(size, Qt::Uninitialized);
    quint32 x = 2166136261u ^ quint32(index);
    for (int i = 0; i < size; ++i) {
        x = x * 16777619u + 0x9E37u;
        m[i] = char(x >> 24);
    }
    return m;
}

struct ChannelConfig
{
    double loss = 0.0;      // probability that a datagram disappears
    double duplicate = 0.0; // probability that a datagram arrives twice
    double reorder = 0.0;   // probability of an extra random delay
    quint32 delayMs = 0;    // one-way delay
    quint32 reorderMs = 30; // largest extra delay of a reordered datagram
    // A bottleneck before the delay: bytes it passes a millisecond (0: no
    // limit) and the longest it lets a datagram queue before dropping it.
    quint32 bytesPerMs = 0;
    quint32 queueLimitMs = 0;
};

// Two directions (0: a to b, 1: b to a) of datagrams on a virtual clock. A
// datagram sent at t arrives at t + delay (+ a random extra delay when
// reordered); datagrams due at the same time keep their sending order. With
// a bottleneck, a datagram first waits for those sent before it to pass, and
// is dropped when that wait would exceed the queue's limit.
class LossyChannel
{
public:
    struct Datagram
    {
        quint32 due;
        quint64 seq;
        int direction;
        QByteArray bytes;
    };

    LossyChannel(const ChannelConfig& config, quint32 seed)
        : m_config(config)
        , m_rng(seed)
    {
    }

    void send(int direction, const char* data, int len, quint32 now)
    {
        ++m_sent;
        quint32 departs = now;
        if (m_config.bytesPerMs > 0) {
            double& free = m_bottleneckFree[direction];
            const double start = std::max(free, double(now));
            if (start - now > m_config.queueLimitMs) {
                ++m_overflowed;
                return;
            }
            free = start + double(len) / m_config.bytesPerMs;
            departs = quint32(free);
        }
        if (chance(m_config.loss)) {
            ++m_lost;
            return;
        }
        const int copies = chance(m_config.duplicate) ? 2 : 1;
        m_duplicated += copies - 1;
        for (int i = 0; i < copies; ++i) {
            quint32 due = departs + m_config.delayMs;
            if (chance(m_config.reorder))
                due += 1 + quint32(m_rng() % m_config.reorderMs);
            m_queue.push_back({due, m_seq++, direction, QByteArray(data, len)});
        }
    }

    // Takes every datagram due at or before now, in arrival order.
    std::vector<Datagram> takeDue(quint32 now)
    {
        std::vector<Datagram> due;
        auto split = std::stable_partition(m_queue.begin(), m_queue.end(), [now](const Datagram& d) {
            return qint32(now - d.due) < 0;
        });
        due.assign(std::make_move_iterator(split), std::make_move_iterator(m_queue.end()));
        m_queue.erase(split, m_queue.end());
        std::sort(due.begin(), due.end(), [](const Datagram& a, const Datagram& b) {
            return a.due != b.due ? qint32(a.due - b.due) < 0 : a.seq < b.seq;
        });
        return due;
    }

    bool idle() const { return m_queue.empty(); }
    quint64 sent() const { return m_sent; }
    quint64 lost() const { return m_lost; }
    quint64 duplicated() const { return m_duplicated; }
    quint64 overflowed() const { return m_overflowed; }

private:
    bool chance(double p)
    {
        if (p <= 0.0)
            return false;
        return std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) < p;
    }

    ChannelConfig m_config;
    std::mt19937 m_rng;
    std::vector<Datagram> m_queue;
    quint64 m_seq = 0;
    quint64 m_sent = 0;
    quint64 m_lost = 0;
    quint64 m_duplicated = 0;
    quint64 m_overflowed = 0;
    double m_bottleneckFree[2] = {0.0, 0.0};
};

} // namespace kcptest

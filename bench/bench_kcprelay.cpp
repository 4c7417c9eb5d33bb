// Bulk copies through a relay of our own that delays and drops UDP datagrams
// on loopback, the way a link to another machine does. Four sessions share a
// link, as the endpoints of one peer do; each runs between a sending and a
// receiving thread, and the relay runs in a third one.
//   - session: bare KCP sessions, their datagrams sent as they are;
//   - sealed:  endpoints, whose KCP datagrams are sealed and opened.
// For every one-way delay and loss it prints the payload MB/s, the ceiling
// that the send window allows (64 segments of 1376 bytes per round trip per
// session) and their ratio. At 0 ms the window sets no bound; the figure is
// what the processor manages.
// Options: --seconds=N measured per case (default 4), --warmup-ms=N (default
// 1000, at least 20 round trips), --seed=N, --sessions=N (default 4),
// --delays=0,1,20,50, --losses=0,1 (percent), --modes=session,sealed.
#include "com/link/endpoint.h"
#include "com/kcp/kcp.h"
#include "crypto/crypto.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kFrame = 64400;
constexpr int kQueuedFragments = 512;
constexpr int kWindow = 64;
constexpr int kSegmentPayload = 1376;
constexpr int kMaxDatagram = 2048;

qint64 monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int udpSocket(quint16* port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int size = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

bool connectTo(int fd, quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

// Forwards datagrams between pairs of sockets after a fixed delay, dropping
// each with the given probability. Socket 2i faces the sender of session i,
// socket 2i + 1 its receiver; each is connected to the end it faces.
class Relay
{
public:
    Relay(std::vector<int> fds, int delayMs, double loss, quint32 seed)
        : m_fds(std::move(fds))
        , m_delayNs(qint64(delayMs) * 1000000)
        , m_loss(loss)
        , m_rng(seed)
    {
    }
    ~Relay()
    {
        stop();
        for (int fd : m_fds)
            ::close(fd);
    }
    void start()
    {
        m_thread = std::thread([this] { run(); });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    quint64 forwarded() const { return m_forwarded; }
    quint64 dropped() const { return m_dropped; }

private:
    struct Packet
    {
        qint64 due;
        int out;
        int len;
        char data[kMaxDatagram];
    };

    void run()
    {
        std::vector<pollfd> polls;
        for (int fd : m_fds)
            polls.push_back({fd, POLLIN, 0});
        std::uniform_real_distribution<double> coin(0.0, 1.0);
        while (!m_stop) {
            int timeoutMs = 50;
            if (!m_queue.empty()) {
                const qint64 wait = m_queue.front().due - monotonicNs();
                timeoutMs = wait <= 0 ? 0 : int(std::min<qint64>(50, (wait + 999999) / 1000000));
            }
            if (timeoutMs > 0) {
                // A precise wait: poll's resolution is a millisecond.
                timespec ts{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
                if (!m_queue.empty()) {
                    const qint64 wait = std::max<qint64>(0, m_queue.front().due - monotonicNs());
                    ts = {time_t(wait / 1000000000), long(wait % 1000000000)};
                }
                ::ppoll(polls.data(), polls.size(), &ts, nullptr);
            }
            const qint64 now = monotonicNs();
            for (size_t i = 0; i < m_fds.size(); ++i) {
                for (int n = 0; n < 512; ++n) {
                    Packet p;
                    const ssize_t len = ::recv(m_fds[i], p.data, sizeof p.data, MSG_DONTWAIT);
                    if (len <= 0)
                        break;
                    if (m_loss > 0 && coin(m_rng) < m_loss) {
                        ++m_dropped;
                        continue;
                    }
                    p.len = int(len);
                    p.out = int(i ^ 1);
                    p.due = now + m_delayNs;
                    m_queue.push_back(p);
                }
            }
            const qint64 sendTime = monotonicNs();
            while (!m_queue.empty() && m_queue.front().due <= sendTime) {
                const Packet& p = m_queue.front();
                if (::send(m_fds[size_t(p.out)], p.data, size_t(p.len), MSG_DONTWAIT) == p.len)
                    ++m_forwarded;
                else
                    ++m_dropped;
                m_queue.pop_front();
            }
        }
    }

    std::vector<int> m_fds;
    qint64 m_delayNs;
    double m_loss;
    std::mt19937 m_rng;
    std::deque<Packet> m_queue;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<quint64> m_forwarded{0};
    std::atomic<quint64> m_dropped{0};
};

std::vector<quint8> makeFrame()
{
    std::vector<quint8> f(size_t(kFrame), 0x5A);
    f[0] = 7;
    for (int i = 0; i < 4; ++i)
        f[size_t(1 + i)] = quint8(quint32(kFrame) >> (8 * i));
    return f;
}

enum class Mode { Session, Sealed };

struct Keys
{
    quint8 key[32];
    crypto::KeyId id;
};

// One side of one session: a KCP session or an endpoint on a UDP socket
// connected to the relay. The sender keeps its queue full; the receiver
// counts payload bytes.
class End : public QObject
{
public:
    End(Mode mode, bool sender, int fd, quint32 conv, const Keys& tx, const Keys& rx, std::atomic<quint64>* counter)
        : m_sender(sender)
        , m_fd(fd)
        , m_counter(counter)
        , m_notifier(fd, QSocketNotifier::Read)
        , m_frame(makeFrame())
    {
        m_via.uuid = QStringLiteral("{00000000-0000-4000-8000-00000000beef}");
        m_via.type = QStringLiteral("udp");
        m_via.host = QStringLiteral("127.0.0.1");
        if (mode == Mode::Session) {
            m_kcp.reset(new Kcp);
            m_kcp->setSession(conv);
            connect(m_kcp.get(), &Kcp::output, this,
                    [this](const char* buf, int len, int, int) { ::send(m_fd, buf, size_t(len), MSG_DONTWAIT); });
            connect(m_kcp.get(), &Kcp::received, this, [this] { readSession(); });
            m_kcp->setPath(Kcp::PathDatagram);
        } else {
            m_endpoint.reset(new Endpoint);
            m_endpoint->setTxKey(tx.id, tx.key);
            m_endpoint->setRxKey(rx.id, rx.key);
            m_endpoint->setKcpSession(conv);
            m_endpoint->kcp()->setPath(Kcp::PathDatagram);
            connect(m_endpoint.get(), &Endpoint::transmit, this,
                    [this](TransportFilter, const quint8* buf, size_t len, int, int) {
                        ::send(m_fd, buf, len, MSG_DONTWAIT);
                    });
            connect(m_endpoint.get(), &Endpoint::receivedMessage, this,
                    [this](const std::vector<unsigned char>& m) { *m_counter += m.size(); });
        }
        m_buffer.resize(Endpoint::FrameBufferCapacity);
        connect(&m_notifier, &QSocketNotifier::activated, this, [this] { readSocket(); });
        if (m_sender)
            QTimer::singleShot(0, this, [this] { topUp(); });
    }

private:
    Kcp* kcp() const { return m_kcp ? m_kcp.get() : m_endpoint->kcp(); }

    void readSocket()
    {
        char buf[kMaxDatagram];
        for (int n = 0; n < 1024; ++n) {
            const ssize_t len = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
            if (len <= 0)
                break;
            if (m_kcp) {
                m_kcp->input(buf, int(len));
                continue;
            }
            crypto::KeyId keyId = 0;
            unsigned long long stated = 0;
            const auto* c = reinterpret_cast<const quint8*>(buf);
            if (crypto::checkEncryptedMessage(c, size_t(len), &keyId, &stated) == crypto::CheckMsgOk)
                m_endpoint->receivedEncryptedMessage(m_via, keyId, c, size_t(len));
        }
        if (m_sender)
            topUp();
    }

    void readSession()
    {
        int peek = 0;
        const int n = m_kcp->read(m_buffer.data(), m_buffer.size(), &peek);
        if (n > 0)
            *m_counter += quint64(n);
    }

    void topUp()
    {
        while (kcp()->waitSend() < kQueuedFragments) {
            const int r = m_kcp ? m_kcp->send(reinterpret_cast<const char*>(m_frame.data()), kFrame)
                                : m_endpoint->send(m_frame.data(), m_frame.size());
            if (r != 0)
                break;
        }
    }

    bool m_sender;
    int m_fd;
    std::atomic<quint64>* m_counter;
    QSocketNotifier m_notifier;
    std::vector<quint8> m_frame;
    std::vector<unsigned char> m_buffer;
    std::unique_ptr<Kcp> m_kcp;
    std::unique_ptr<Endpoint> m_endpoint;
    TransportDto m_via;
};

// A thread with an event loop that owns the ends built in it.
class Side
{
public:
    template <class Build>
    explicit Side(Build build)
    {
        m_thread.reset(QThread::create([this, build] {
            std::vector<std::unique_ptr<End>> ends = build();
            QEventLoop loop;
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
                if (m_stop)
                    loop.quit();
            });
            poll.start(20);
            m_ready = true;
            loop.exec();
        }));
        m_thread->start();
        while (!m_ready)
            QThread::msleep(1);
    }
    ~Side()
    {
        m_stop = true;
        m_thread->wait();
    }

private:
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ready{false};
};

struct Result
{
    double mbPerSecond = 0;
    double relayLoss = 0;
};

Result runCase(Mode mode, int sessions, int delayMs, double loss, quint32 seed, int warmupMs, int seconds)
{
    std::vector<int> relayFds, senderFds, receiverFds;
    std::vector<Keys> toReceiver(static_cast<size_t>(sessions));
    std::vector<Keys> toSender(static_cast<size_t>(sessions));
    for (int i = 0; i < sessions; ++i) {
        quint16 rs = 0, rr = 0, s = 0, r = 0;
        const int relayS = udpSocket(&rs), relayR = udpSocket(&rr), fs = udpSocket(&s), fr = udpSocket(&r);
        if (relayS < 0 || relayR < 0 || fs < 0 || fr < 0)
            return {};
        connectTo(relayS, s);
        connectTo(relayR, r);
        connectTo(fs, rs);
        connectTo(fr, rr);
        relayFds.push_back(relayS);
        relayFds.push_back(relayR);
        senderFds.push_back(fs);
        receiverFds.push_back(fr);
        crypto::generateSessionKey(toReceiver[size_t(i)].key);
        crypto::generateSessionKey(toSender[size_t(i)].key);
        toReceiver[size_t(i)].id = crypto::KeyId(20 + i);
        toSender[size_t(i)].id = crypto::KeyId(60 + i);
    }
    Relay relay(relayFds, delayMs, loss, seed);
    relay.start();
    std::atomic<quint64> received{0};
    Result r;
    {
        Side receivers([&] {
            std::vector<std::unique_ptr<End>> ends;
            for (int i = 0; i < sessions; ++i)
                ends.emplace_back(new End(mode, false, receiverFds[size_t(i)], quint32(0xC0DE00 + i),
                                          toSender[size_t(i)], toReceiver[size_t(i)], &received));
            return ends;
        });
        Side senders([&] {
            std::vector<std::unique_ptr<End>> ends;
            for (int i = 0; i < sessions; ++i)
                ends.emplace_back(new End(mode, true, senderFds[size_t(i)], quint32(0xC0DE00 + i),
                                          toReceiver[size_t(i)], toSender[size_t(i)], &received));
            return ends;
        });
        QThread::msleep(std::max(warmupMs, 40 * delayMs));
        const quint64 forwarded0 = relay.forwarded(), dropped0 = relay.dropped();
        const quint64 bytes0 = received;
        const qint64 t0 = monotonicNs();
        QThread::msleep(unsigned(seconds) * 1000);
        const quint64 bytes = received - bytes0;
        const double wall = double(monotonicNs() - t0) / 1e9;
        const quint64 f = relay.forwarded() - forwarded0, dr = relay.dropped() - dropped0;
        relay.stop();
        r.mbPerSecond = double(bytes) / 1e6 / wall;
        r.relayLoss = f + dr ? double(dr) / double(f + dr) : 0;
    }
    // The sides have stopped: their sockets can go.
    for (int fd : senderFds)
        ::close(fd);
    for (int fd : receiverFds)
        ::close(fd);
    return r;
}

QString option(const QStringList& args, const QString& name, const QString& fallback)
{
    for (const QString& a : args)
        if (a.startsWith(name + QLatin1Char('=')))
            return a.mid(name.size() + 1);
    return fallback;
}

std::vector<int> intList(const QString& text)
{
    std::vector<int> out;
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        out.push_back(part.toInt());
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Crypto cryptoLibrary;
    const QStringList args = app.arguments();
    const int seconds = std::max(1, option(args, QStringLiteral("--seconds"), QStringLiteral("4")).toInt());
    const int warmupMs = std::max(0, option(args, QStringLiteral("--warmup-ms"), QStringLiteral("1000")).toInt());
    const quint32 seed = option(args, QStringLiteral("--seed"), QStringLiteral("1")).toUInt();
    const int sessions = std::max(1, option(args, QStringLiteral("--sessions"), QStringLiteral("4")).toInt());
    const std::vector<int> delays = intList(option(args, QStringLiteral("--delays"), QStringLiteral("0,1,20,50")));
    const std::vector<int> losses = intList(option(args, QStringLiteral("--losses"), QStringLiteral("0,1")));
    const QStringList modes =
        option(args, QStringLiteral("--modes"), QStringLiteral("session,sealed")).split(QLatin1Char(','));

    std::printf("%d sessions of %d-byte frames through a loopback UDP relay that delays and drops;\n"
                "ceiling: %d segments of %d bytes per round trip per session. %d s measured after the warm-up.\n\n",
                sessions, kFrame, kWindow, kSegmentPayload, seconds);
    std::printf("%-8s %8s %6s | %12s %12s %7s | %10s\n", "path", "delay ms", "loss", "payload MB/s", "ceiling MB/s",
                "ratio", "relay drop");
    for (const QString& m : modes) {
        const Mode mode = m == QLatin1String("sealed") ? Mode::Sealed : Mode::Session;
        for (int delay : delays) {
            for (int lossPercent : losses) {
                const double loss = lossPercent / 100.0;
                const Result r = runCase(mode, sessions, delay, loss, seed, warmupMs, seconds);
                if (delay > 0) {
                    const double ceiling = double(sessions) * kWindow * kSegmentPayload / (2.0 * delay / 1000.0) / 1e6;
                    std::printf("%-8s %8d %5d%% | %12.2f %12.2f %7.3f | %9.2f%%\n", qPrintable(m), delay, lossPercent,
                                r.mbPerSecond, ceiling, r.mbPerSecond / ceiling, r.relayLoss * 100);
                } else {
                    std::printf("%-8s %8d %5d%% | %12.2f %12s %7s | %9.2f%%\n", qPrintable(m), delay, lossPercent,
                                r.mbPerSecond, "-", "-", r.relayLoss * 100);
                }
                std::fflush(stdout);
            }
        }
    }
    return 0;
}

// Moves 1 GiB of 64400-byte frames from one process to another over
// loopback TCP, three times in the same run:
//   - plain TCP: the bytes written to a QTcpSocket and read from the other
//     end, nothing else;
//   - sealed only: each frame sealed whole with the session key, written to a
//     QTcpSocket, cut from the stream and opened at the other end;
//   - endpoints: each frame given to Endpoint::send, carried by KCP, sealed,
//     routed by com::Com over a TransportTcp, cut, opened and reassembled
//     into frames by the receiving endpoint.
// The sender keeps its queue full: it tops up with every datagram that comes
// back. The two processes are pinned to different processors.
// Prints MB/s and CPU seconds of each side, and the endpoints' ratios to the
// other two. Everything listens and dials on 127.0.0.1 only.
// Options: --mib=N (default 1024), --queued=N fragments the sender keeps
// queued in KCP (default 1024), --cpus=A,B (sender, receiver; default the
// last two processors this process may use), --endpoints-only (skips the
// two copies to compare with, for profiling), --idle-endpoints=N more
// endpoints of other key ids mounted on the receiving transport, as the other
// endpoints of a peer link are (default 0).
#include "com/link/com.h"
#include "com/link/endpoint.h"
#include "com/kcp/kcp.h"
#include "com/transport/transport.h"
#include "crypto/crypto.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sched.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <memory>
#include <vector>

namespace {

constexpr int kFrame = 64400;
constexpr quint32 kConv = 0x7C0DE64;
constexpr crypto::KeyId kKeyToReceiver = 40;
constexpr crypto::KeyId kKeyToSender = 41;

double cpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

QString option(const QStringList& args, const QString& name, const QString& fallback = QString())
{
    for (const QString& a : args)
        if (a.startsWith(name + QLatin1Char('=')))
            return a.mid(name.size() + 1);
    return fallback;
}

std::vector<quint8> makeFrame(quint64 seq)
{
    std::vector<quint8> f(size_t(kFrame), 0x5A);
    f[0] = 7;
    for (int i = 0; i < 4; ++i)
        f[size_t(1 + i)] = quint8(quint32(kFrame) >> (8 * i));
    std::memcpy(f.data() + 5, &seq, 8);
    return f;
}

void setKeys(Endpoint& e, const QByteArray& rxHex, crypto::KeyId rxId, const QByteArray& txHex, crypto::KeyId txId)
{
    const QByteArray rx = QByteArray::fromHex(rxHex);
    const QByteArray tx = QByteArray::fromHex(txHex);
    e.setRxKey(rxId, reinterpret_cast<const quint8*>(rx.constData()));
    e.setTxKey(txId, reinterpret_cast<const quint8*>(tx.constData()));
    e.setKcpSession(kConv);
}

// Runs this process on one processor only; false when that is not allowed.
bool pinTo(int cpu)
{
    if (cpu < 0)
        return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

// The last two processors this process may run on, or -1.
std::pair<int, int> defaultCpus()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return {-1, -1};
    std::vector<int> cpus;
    for (int i = 0; i < CPU_SETSIZE; ++i)
        if (CPU_ISSET(i, &set))
            cpus.push_back(i);
    if (cpus.size() < 2)
        return {-1, -1};
    return {cpus[cpus.size() - 2], cpus.back()};
}

void say(const char* format, unsigned long long a, double b = 0)
{
    std::printf(format, a, b);
    std::fflush(stdout);
}

// The receiving process: a plain listener and a registry with one endpoint.
// Reports "PORTS <plain> <com>", then "PLAIN <cpu s>" and "COM <cpu s>
// <frames out of order>" when the expected bytes have arrived; quits when
// its input closes.
int runReceiver(QCoreApplication& app)
{
    const QStringList args = app.arguments();
    const qint64 total = option(args, QStringLiteral("--bytes")).toLongLong();
    Crypto cryptoLibrary;

    QTcpServer plain;
    if (!plain.listen(QHostAddress::LocalHost, 0))
        return 2;
    qint64 plainReceived = 0;
    double plainCpu0 = 0;
    std::vector<char> sink(1 << 20);
    QTcpSocket* plainSocket = nullptr;
    QObject::connect(&plain, &QTcpServer::newConnection, &plain, [&] {
        plainSocket = plain.nextPendingConnection();
        plainSocket->setReadBufferSize(0);
        QObject::connect(plainSocket, &QTcpSocket::readyRead, plainSocket, [&] {
            if (plainReceived == 0)
                plainCpu0 = cpuSeconds();
            const bool before = plainReceived >= total;
            qint64 n;
            while ((n = plainSocket->read(sink.data(), qint64(sink.size()))) > 0)
                plainReceived += n;
            if (!before && plainReceived >= total)
                say("PLAIN %llu %f\n", 0, cpuSeconds() - plainCpu0);
        });
    });

    // Sealed only: whole sealed frames back to back on the stream.
    const QByteArray rxKey = QByteArray::fromHex(option(args, QStringLiteral("--rx-key")).toLatin1());
    QTcpServer sealed;
    if (!sealed.listen(QHostAddress::LocalHost, 0))
        return 2;
    qint64 sealedReceived = 0;
    double sealedCpu0 = 0;
    std::vector<quint8> sealedIn(4 * 65536);
    std::vector<quint8> opened(65536);
    size_t sealedFill = 0;
    QTcpSocket* sealedSocket = nullptr;
    QObject::connect(&sealed, &QTcpServer::newConnection, &sealed, [&] {
        sealedSocket = sealed.nextPendingConnection();
        sealedSocket->setReadBufferSize(0);
        QObject::connect(sealedSocket, &QTcpSocket::readyRead, sealedSocket, [&] {
            if (sealedReceived == 0)
                sealedCpu0 = cpuSeconds();
            const bool before = sealedReceived >= total;
            for (;;) {
                const qint64 n = sealedSocket->read(reinterpret_cast<char*>(sealedIn.data()) + sealedFill,
                                                    qint64(sealedIn.size() - sealedFill));
                if (n <= 0)
                    break;
                sealedFill += size_t(n);
                size_t at = 0;
                crypto::KeyId keyId = 0;
                unsigned long long len = 0;
                while (crypto::checkEncryptedMessage(sealedIn.data() + at, sealedFill - at, &keyId, &len)
                       == crypto::CheckMsgOk) {
                    unsigned long long mlen = 0;
                    if (crypto::decryptMessage(reinterpret_cast<const quint8*>(rxKey.constData()), sealedIn.data() + at,
                                               len, opened.data(), &mlen)
                        == crypto::DecryptMsgOk)
                        sealedReceived += qint64(mlen);
                    at += size_t(len);
                }
                std::memmove(sealedIn.data(), sealedIn.data() + at, sealedFill - at);
                sealedFill -= at;
            }
            if (!before && sealedReceived >= total)
                say("SEALED %llu %f\n", 0, cpuSeconds() - sealedCpu0);
        });
    });

    com::Com registry;
    Endpoint endpoint;
    setKeys(endpoint, option(args, QStringLiteral("--rx-key")).toLatin1(), kKeyToReceiver,
            option(args, QStringLiteral("--tx-key")).toLatin1(), kKeyToSender);
    // The other endpoints of a peer link share its transports: each is
    // offered every datagram and ignores those of other key ids.
    std::vector<std::unique_ptr<Endpoint>> idle;
    const int idleCount = option(args, QStringLiteral("--idle-endpoints"), QStringLiteral("0")).toInt();
    for (int i = 0; i < idleCount; ++i) {
        idle.emplace_back(new Endpoint);
        setKeys(*idle.back(), option(args, QStringLiteral("--tx-key")).toLatin1(), crypto::KeyId(60 + i),
                option(args, QStringLiteral("--tx-key")).toLatin1(), crypto::KeyId(60 + i));
    }
    QObject::connect(&registry, &com::Com::newIncomingTransport, &registry, [&](TransportDto dto) {
        registry.mountTransport(dto, &endpoint);
        for (auto& e : idle)
            registry.mountTransport(dto, e.get());
    });
    qint64 comReceived = 0;
    quint64 nextSeq = 0;
    quint64 outOfOrder = 0;
    double comCpu0 = 0;
    QObject::connect(&endpoint, &Endpoint::receivedMessage, &endpoint, [&](const std::vector<unsigned char>& frame) {
        if (comReceived == 0)
            comCpu0 = cpuSeconds();
        quint64 seq = ~0ull;
        if (frame.size() == size_t(kFrame))
            std::memcpy(&seq, frame.data() + 5, 8);
        if (seq != nextSeq)
            ++outOfOrder;
        nextSeq = seq + 1;
        comReceived += qint64(frame.size());
        if (comReceived >= total && comReceived - qint64(frame.size()) < total) // the last one
            say("COM %llu %f\n", outOfOrder, cpuSeconds() - comCpu0);
    });
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    if (!registry.isListening())
        return 2;
    std::printf("PORTS %u %u %u\n", unsigned(plain.serverPort()), unsigned(registry.listenPort()),
                unsigned(sealed.serverPort()));
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buf[64];
        if (::read(STDIN_FILENO, buf, sizeof buf) <= 0)
            app.quit();
    });
    return app.exec();
}

// Waits for a line from the receiver that starts with prefix.
QByteArray waitForLine(QProcess& receiver, const QByteArray& prefix)
{
    for (;;) {
        while (receiver.canReadLine()) {
            const QByteArray line = receiver.readLine().trimmed();
            if (line.startsWith(prefix))
                return line;
        }
        if (receiver.state() != QProcess::Running)
            return QByteArray();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
}

struct Figures
{
    double seconds = 0;
    double senderCpu = 0;
    double receiverCpu = 0;
    quint64 outOfOrder = 0;
};

Figures plainCopy(QProcess& receiver, quint16 port, qint64 total)
{
    Figures f;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return f;
    const std::vector<quint8> frame = makeFrame(0);
    qint64 written = 0;
    QElapsedTimer clock;
    const double cpu0 = cpuSeconds();
    clock.start();
    auto feed = [&] {
        while (written < total && socket.bytesToWrite() < 4 * kFrame) {
            const qint64 n = std::min<qint64>(kFrame, total - written);
            socket.write(reinterpret_cast<const char*>(frame.data()), n);
            written += n;
        }
    };
    QObject::connect(&socket, &QTcpSocket::bytesWritten, &socket, feed);
    feed();
    const QByteArray line = waitForLine(receiver, "PLAIN ");
    f.seconds = double(clock.nsecsElapsed()) / 1e9;
    f.senderCpu = cpuSeconds() - cpu0;
    f.receiverCpu = line.split(' ').value(2).toDouble();
    return f;
}

Figures sealedCopy(QProcess& receiver, quint16 port, qint64 total, const QByteArray& toReceiverHex)
{
    Figures f;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return f;
    const QByteArray key = QByteArray::fromHex(toReceiverHex);
    const std::vector<quint8> frame = makeFrame(0);
    std::vector<quint8> sealedFrame(size_t(kFrame) + 1024);
    qint64 written = 0;
    QElapsedTimer clock;
    const double cpu0 = cpuSeconds();
    clock.start();
    auto feed = [&] {
        while (written < total && socket.bytesToWrite() < 4 * kFrame) {
            const qint64 n = std::min<qint64>(kFrame, total - written);
            unsigned long long clen = sealedFrame.size();
            if (crypto::encryptMessage(kKeyToReceiver, reinterpret_cast<const quint8*>(key.constData()), frame.data(),
                                       (unsigned long long)n, sealedFrame.data(), &clen)
                != crypto::EncryptMsgOk)
                return;
            socket.write(reinterpret_cast<const char*>(sealedFrame.data()), qint64(clen));
            written += n;
        }
    };
    QObject::connect(&socket, &QTcpSocket::bytesWritten, &socket, feed);
    feed();
    const QByteArray line = waitForLine(receiver, "SEALED ");
    f.seconds = double(clock.nsecsElapsed()) / 1e9;
    f.senderCpu = cpuSeconds() - cpu0;
    f.receiverCpu = line.split(' ').value(2).toDouble();
    return f;
}

Figures endpointCopy(QProcess& receiver, quint16 port, qint64 total, const QByteArray& toReceiver,
                     const QByteArray& toSender, int queued)
{
    Figures f;
    com::Com registry;
    Endpoint endpoint;
    setKeys(endpoint, toSender, kKeyToSender, toReceiver, kKeyToReceiver);
    registry.startTcpServer(QHostAddress::LocalHost, 0);
    TransportDto dto;
    dto.uuid = QStringLiteral("{b0b0b0b0-0000-4000-8000-000000000001}");
    dto.type = QStringLiteral("tcp");
    dto.host = QStringLiteral("127.0.0.1");
    dto.port = port;
    dto.stream = true;
    registry.mountTransport(dto, &endpoint);
    Transport* transport = registry.findTransport(dto.uuid);
    QElapsedTimer wait;
    wait.start();
    while (transport->state() != Transport::StateUp && wait.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);

    quint64 seq = 0;
    qint64 sent = 0;
    auto feed = [&] {
        while (sent < total && endpoint.kcp()->waitSend() < queued) {
            const std::vector<quint8> frame = makeFrame(seq++);
            if (endpoint.send(frame.data(), frame.size()) != Endpoint::SendOk)
                break;
            sent += kFrame;
        }
    };
    // Top up with every datagram that comes in: acknowledgements make room.
    QObject::connect(&endpoint, &Endpoint::openedDatagram, &endpoint, feed);
    QElapsedTimer clock;
    const double cpu0 = cpuSeconds();
    clock.start();
    feed();
    const QByteArray line = waitForLine(receiver, "COM ");
    f.seconds = double(clock.nsecsElapsed()) / 1e9;
    f.senderCpu = cpuSeconds() - cpu0;
    const QList<QByteArray> parts = line.split(' ');
    f.outOfOrder = parts.value(1).toULongLong();
    f.receiverCpu = parts.value(2).toDouble();
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--receiver"))) {
        pinTo(option(args, QStringLiteral("--cpu"), QStringLiteral("-1")).toInt());
        return runReceiver(app);
    }

    Crypto cryptoLibrary;
    const int mib = option(args, QStringLiteral("--mib"), QStringLiteral("1024")).toInt();
    const int queued = option(args, QStringLiteral("--queued"), QStringLiteral("1024")).toInt();
    std::pair<int, int> cpus = defaultCpus();
    const QStringList cpuOption = option(args, QStringLiteral("--cpus")).split(QLatin1Char(','));
    if (cpuOption.size() == 2)
        cpus = {cpuOption[0].toInt(), cpuOption[1].toInt()};
    // Whole frames: the endpoints carry frames, not a byte count.
    const qint64 frames = (qint64(mib) * 1024 * 1024 + kFrame - 1) / kFrame;
    const qint64 total = frames * kFrame;

    quint8 toReceiver[32], toSender[32];
    crypto::generateSessionKey(toReceiver);
    crypto::generateSessionKey(toSender);
    const QByteArray toReceiverHex = QByteArray(reinterpret_cast<const char*>(toReceiver), 32).toHex();
    const QByteArray toSenderHex = QByteArray(reinterpret_cast<const char*>(toSender), 32).toHex();

    QProcess receiver;
    receiver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    receiver.start(QCoreApplication::applicationFilePath(),
                   {QStringLiteral("--receiver"), QStringLiteral("--bytes=%1").arg(total),
                    QStringLiteral("--rx-key=") + QString::fromLatin1(toReceiverHex),
                    QStringLiteral("--tx-key=") + QString::fromLatin1(toSenderHex),
                    QStringLiteral("--cpu=%1").arg(cpus.second),
                    QStringLiteral("--idle-endpoints=") + option(args, QStringLiteral("--idle-endpoints"),
                                                                 QStringLiteral("0"))});
    const bool pinned = pinTo(cpus.first);
    if (!receiver.waitForStarted(10000))
        return 1;
    const QList<QByteArray> ports = waitForLine(receiver, "PORTS ").split(' ');
    if (ports.size() != 4)
        return 1;

    std::printf("%lld frames of %d bytes (%.1f MiB) from one process to another over loopback TCP\n"
                "(sender keeps %d KCP fragments queued; sender on processor %d, receiver on %d%s)\n\n",
                frames, kFrame, double(total) / 1048576.0, queued, cpus.first, cpus.second,
                pinned ? "" : ", pinning failed");
    std::fflush(stdout);
    const bool endpointsOnly = args.contains(QStringLiteral("--endpoints-only"));
    const Figures plainFigures = endpointsOnly ? Figures() : plainCopy(receiver, quint16(ports[1].toUInt()), total);
    const Figures sealedFigures =
        endpointsOnly ? Figures() : sealedCopy(receiver, quint16(ports[3].toUInt()), total, toReceiverHex);
    const Figures comFigures = endpointCopy(receiver, quint16(ports[2].toUInt()), total, toReceiverHex, toSenderHex,
                                            queued);
    receiver.closeWriteChannel();
    receiver.waitForFinished(10000);

    auto mbps = [total](const Figures& f) { return f.seconds > 0 ? double(total) / 1e6 / f.seconds : 0.0; };
    std::printf("%-22s %10s %9s %16s %18s\n", "", "MB/s", "seconds", "CPU s sender", "CPU s receiver");
    std::printf("%-22s %10.1f %9.2f %16.2f %18.2f\n", "plain TCP copy", mbps(plainFigures), plainFigures.seconds,
                plainFigures.senderCpu, plainFigures.receiverCpu);
    std::printf("%-22s %10.1f %9.2f %16.2f %18.2f\n", "sealed only", mbps(sealedFigures), sealedFigures.seconds,
                sealedFigures.senderCpu, sealedFigures.receiverCpu);
    std::printf("%-22s %10.1f %9.2f %16.2f %18.2f\n", "endpoints over TCP", mbps(comFigures), comFigures.seconds,
                comFigures.senderCpu, comFigures.receiverCpu);
    auto ratio = [&](const Figures& base) { return mbps(base) > 0 ? mbps(comFigures) / mbps(base) : 0.0; };
    std::printf("\nratio endpoints / plain: throughput %.3f, CPU sender %.1fx, CPU receiver %.1fx\n",
                ratio(plainFigures), plainFigures.senderCpu > 0 ? comFigures.senderCpu / plainFigures.senderCpu : 0.0,
                plainFigures.receiverCpu > 0 ? comFigures.receiverCpu / plainFigures.receiverCpu : 0.0);
    std::printf("ratio endpoints / sealed only: throughput %.3f\n", ratio(sealedFigures));
    if (comFigures.outOfOrder)
        std::printf("warning: %llu frames arrived out of order\n", comFigures.outOfOrder);
    return 0;
}

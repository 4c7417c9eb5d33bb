#include "com/transport/transporttcp.h"

#include "com/transport/datagramstream.h"
#include "core/logger.h"

#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

// Datagrams of one run are written once this many bytes have gathered.
constexpr std::size_t kTxRunBytes = 256 * 1024;

// Copies of at most 63 characters for log lines.
QByteArray logText(const QString& text)
{
    return text.left(63).toUtf8();
}

// Options of a connection once it is up. Nagle's algorithm stays off: the
// sessions above write whole datagrams, a flush's worth in one call, and
// wait for the answer; held back until the peer's delayed acknowledgement,
// every request and reply would lose up to 40 ms.
void tuneConnectedSocket(QTcpSocket* socket)
{
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    if (socket->socketOption(QAbstractSocket::SendBufferSizeSocketOption).toInt() < TransportTcp::SocketBufferSize)
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, TransportTcp::SocketBufferSize);
    if (socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt() < TransportTcp::SocketBufferSize)
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, TransportTcp::SocketBufferSize);
}

} // namespace

class TransportTcpPrivate
{
public:
    int rtt = TransportTcp::UnmeasuredRtt;
    int reconnectDelayMs = TransportTcp::DefaultRedialDelayMs;
    int silenceWarningMs = TransportTcp::DefaultSilenceWarningMs;
    int silenceTimeoutMs = TransportTcp::DefaultSilenceTimeoutMs;
    QTcpSocket* socket = nullptr;
    QTimer* redialTimer = nullptr;
    QElapsedTimer lastDial; // since the last connectToHost
    // Since a connection that had been authenticated was lost.
    QElapsedTimer lostSince;
    // Since the connection failed or closed and the wait for a redial began.
    QElapsedTimer waitingSince;
    int fastRedialIntervalMs = 0;
    int fastRedialWindowMs = 0;
    std::function<bool()> heardElsewhere; // empty: no fast redial
    int connectTimeoutMs = 0;
    QTimer* connectTimer = nullptr;
    int authenticationGraceMs = 0;
    QTimer* authenticationTimer = nullptr;
    std::unique_ptr<quint8[]> rxBuffer;
    std::size_t rxFill = 0;
    // Changes whenever the held bytes are thrown away or the socket is
    // replaced, so that the read loop notices a receiver that closed the
    // connection while a datagram was being delivered.
    quint64 generation = 0;
    bool readScheduled = false;
    // Since when the current connection is up; silence is counted from here
    // until the first datagram arrives.
    QElapsedTimer connectedSince;
    quint64 receivedDatagrams = 0;
    quint64 brokenStreams = 0;
    quint64 droppedDatagrams = 0;
    // Since when transmit() has been dropping datagrams with nothing leaving.
    QElapsedTimer backedUpSince;
    QByteArray uuidText;
    QByteArray hostText;
    // Datagrams announced with more to follow wait here and go to the socket
    // in one write with the one that ends the run; the buffer keeps its
    // capacity, so steady traffic allocates nothing. A run that never ends
    // is written in the next pass of the event loop.
    std::vector<char> txPending;
    QTimer* txTimer = nullptr;
};

TransportTcp::TransportTcp(const TransportDto& dto, int reconnectDelayMs, QObject* parent)
    : Transport(dto, parent)
    , d(new TransportTcpPrivate)
{
    d->reconnectDelayMs = reconnectDelayMs;
    d->uuidText = logText(dto.uuid);
    d->hostText = logText(dto.host);
    d->txTimer = new QTimer(this);
    d->txTimer->setSingleShot(true);
    d->txTimer->setInterval(0);
    connect(d->txTimer, &QTimer::timeout, this, [this] { writePending(); });
    d->redialTimer = new QTimer(this);
    d->redialTimer->setSingleShot(true);
    connect(d->redialTimer, &QTimer::timeout, this, &TransportTcp::onRedialTimer);
    d->connectTimer = new QTimer(this);
    d->connectTimer->setSingleShot(true);
    connect(d->connectTimer, &QTimer::timeout, this, &TransportTcp::onConnectTimeout);
    d->authenticationTimer = new QTimer(this);
    d->authenticationTimer->setSingleShot(true);
    // Never early: the grace is what the remote end is promised.
    d->authenticationTimer->setTimerType(Qt::PreciseTimer);
    connect(d->authenticationTimer, &QTimer::timeout, this, &TransportTcp::onAuthenticationGraceOver);
    Logger::log(Logger::TCP1, "new transport %s, %s : %u", d->uuidText.constData(), d->hostText.constData(),
                unsigned(dto.port));
}

TransportTcp::~TransportTcp()
{
    if (d->socket) {
        // The socket must not call back into a half-destroyed transport.
        disconnect(d->socket, nullptr, this, nullptr);
        delete d->socket;
        d->socket = nullptr;
    }
    releaseRxBuffer();
}

void TransportTcp::setSocket(QTcpSocket* socket)
{
    if (socket == d->socket)
        return;
    if (d->socket) {
        QTcpSocket* old = d->socket;
        disconnect(old, nullptr, this, nullptr);
        d->socket = nullptr;
        old->abort();
        if (old->parent() == this)
            old->deleteLater();
    }
    releaseRxBuffer();
    d->connectedSince.invalidate();
    clearAuthenticated();
    d->authenticationTimer->stop();
    if (!socket)
        return;

    d->socket = socket;
    socket->setParent(this);
    socket->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    // Without a limit the socket takes everything the kernel holds on every
    // pass, however far behind the receivers are: a sender could fill this
    // process's memory. Limited, a fast sender is held back by TCP itself.
    socket->setReadBufferSize(RxBufferSize);
    connect(socket, &QObject::destroyed, this, &TransportTcp::onSocketDestroyed);
    connect(socket, &QAbstractSocket::stateChanged, this, &TransportTcp::onSocketStateChanged);
    connect(socket, &QIODevice::readyRead, this, &TransportTcp::onSocketReadyRead);
    connect(socket, &QAbstractSocket::errorOccurred, this, &TransportTcp::onError);
    connect(socket, &QIODevice::bytesWritten, this, [this] { d->backedUpSince.invalidate(); });
    d->backedUpSince.invalidate();

    if (socket->state() == QAbstractSocket::ConnectedState) {
        // An accepted connection arrives connected: no state change will
        // announce it, and bytes may already be waiting unannounced.
        d->connectedSince.start();
        tuneConnectedSocket(socket);
        if (socket->bytesAvailable() > 0 && !d->readScheduled) {
            d->readScheduled = true;
            QMetaObject::invokeMethod(this, &TransportTcp::onSocketReadyRead, Qt::QueuedConnection);
        }
        armAuthenticationTimer();
    }
}

QTcpSocket* TransportTcp::socket() const
{
    return d->socket;
}

bool TransportTcp::isAccepted() const
{
    return d->reconnectDelayMs < 0;
}

int TransportTcp::reconnectDelayMs() const
{
    return d->reconnectDelayMs;
}

void TransportTcp::setFastRedial(int intervalMs, int windowMs, std::function<bool()> heardElsewhere)
{
    d->fastRedialIntervalMs = intervalMs;
    d->fastRedialWindowMs = windowMs;
    d->heardElsewhere = std::move(heardElsewhere);
}

void TransportTcp::setConnectTimeout(int ms)
{
    d->connectTimeoutMs = ms;
}

int TransportTcp::redialInMs() const
{
    return d->redialTimer->isActive() ? std::max(0, d->redialTimer->remainingTime()) : -1;
}

RedialSchedule::Situation TransportTcp::redialSituation() const
{
    RedialSchedule::Situation situation;
    situation.sinceFailureMs = d->waitingSince.isValid() ? d->waitingSince.elapsed() : 0;
    situation.sinceDialMs = d->lastDial.isValid() ? d->lastDial.elapsed() : -1;
    situation.sinceLostMs = d->lostSince.isValid() ? d->lostSince.elapsed() : -1;
    return situation;
}

int TransportTcp::redialWaitMs() const
{
    if (!d->heardElsewhere)
        return std::max(0, d->reconnectDelayMs - int(redialSituation().sinceFailureMs));
    const RedialSchedule schedule(d->reconnectDelayMs, d->fastRedialIntervalMs, d->fastRedialWindowMs);
    RedialSchedule::Situation situation = redialSituation();
    // Asked only when it matters: the answer walks the registry's lists.
    situation.heardElsewhere = schedule.inFastWindow(situation) && d->heardElsewhere();
    return schedule.waitMs(situation);
}

void TransportTcp::onRedialTimer()
{
    const int wait = redialWaitMs();
    if (wait > 0) {
        d->redialTimer->start(wait);
        return;
    }
    const RedialSchedule::Situation situation = redialSituation();
    if (situation.sinceFailureMs < d->reconnectDelayMs)
        Logger::log(Logger::TCP1, "redial transport %s, %s : %u early, link lost %lld s ago, peer heard nowhere",
                    d->uuidText.constData(), d->hostText.constData(), unsigned(dto().port),
                    situation.sinceLostMs / 1000);
    connectToRemote();
}

void TransportTcp::onConnectTimeout()
{
    if (!d->socket)
        return;
    const QAbstractSocket::SocketState state = d->socket->state();
    if (state != QAbstractSocket::HostLookupState && state != QAbstractSocket::ConnectingState)
        return;
    Logger::log(Logger::TCP1, "connect timed out after %d ms, %s %s : %u", d->connectTimeoutMs,
                d->uuidText.constData(), d->hostText.constData(), unsigned(dto().port));
    // The state change to unconnected schedules the next dial.
    d->socket->abort();
}

void TransportTcp::setSilenceLimits(int warningMs, int timeoutMs)
{
    d->silenceWarningMs = warningMs;
    d->silenceTimeoutMs = timeoutMs;
}

void TransportTcp::setAuthenticationGrace(int ms)
{
    d->authenticationGraceMs = ms;
    armAuthenticationTimer();
}

int TransportTcp::authenticationGrace() const
{
    return d->authenticationGraceMs;
}

void TransportTcp::dropConnection(const char* reason)
{
    if (!d->socket || d->socket->state() == QAbstractSocket::UnconnectedState)
        return;
    Logger::log(Logger::TCP1, "drop connection (%s), %s %s : %u", reason, d->uuidText.constData(),
                d->hostText.constData(), unsigned(dto().port));
    d->authenticationTimer->stop();
    d->socket->abort();
}

void TransportTcp::armAuthenticationTimer()
{
    if (d->authenticationGraceMs <= 0 || !isAccepted() || isAuthenticated() || !d->connectedSince.isValid()) {
        d->authenticationTimer->stop();
        return;
    }
    const qint64 left = qint64(d->authenticationGraceMs) - d->connectedSince.elapsed();
    d->authenticationTimer->start(int(qMax<qint64>(0, left)));
}

void TransportTcp::onAuthenticationGraceOver()
{
    if (isAuthenticated() || !isAccepted())
        return;
    dropConnection("not authenticated in time");
}

quint64 TransportTcp::receivedDatagrams() const
{
    return d->receivedDatagrams;
}

quint64 TransportTcp::brokenStreams() const
{
    return d->brokenStreams;
}

std::size_t TransportTcp::heldBytes() const
{
    return d->rxBuffer ? d->rxFill : 0;
}

qint64 TransportTcp::unsentBytes() const
{
    return d->socket ? d->socket->bytesToWrite() : 0;
}

quint64 TransportTcp::droppedDatagrams() const
{
    return d->droppedDatagrams;
}

int TransportTcp::state() const
{
    if (!d->socket)
        return StateDown;
    switch (d->socket->state()) {
    case QAbstractSocket::ConnectedState:
        return StateUp;
    case QAbstractSocket::ConnectingState:
        return StateConnecting;
    default:
        return StateDown;
    }
}

int TransportTcp::rtt() const
{
    if (!isMounted() || state() != StateUp)
        return UnusableRtt;
    return d->rtt;
}

void TransportTcp::setRtt(int rtt)
{
    d->rtt = rtt;
}

void TransportTcp::mount()
{
    if (isMounted())
        return;
    setMounted(true);
    // An accepted connection only gets marked: it is never dialled, neither
    // now nor after it has closed.
    if (isAccepted())
        return;
    if (!d->socket)
        setSocket(new QTcpSocket(this));
    if (d->socket->state() == QAbstractSocket::UnconnectedState)
        connectToRemote();
}

void TransportTcp::unmount()
{
    setMounted(false);
    d->redialTimer->stop();
    if (d->socket) {
        d->socket->disconnectFromHost();
        d->rxFill = 0;
        ++d->generation;
    }
}

void TransportTcp::connectToRemote()
{
    if (!d->socket || !isMounted() || isAccepted())
        return;
    if (d->socket->state() != QAbstractSocket::UnconnectedState)
        return;
    Logger::log(Logger::TCP1, "connect transport %s, %s : %u", d->uuidText.constData(), d->hostText.constData(),
                unsigned(dto().port));
    d->redialTimer->stop();
    d->lastDial.start();
    if (d->connectTimeoutMs > 0)
        d->connectTimer->start(d->connectTimeoutMs);
    d->socket->connectToHost(dto().host, dto().port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

bool TransportTcp::redialNow(int minIntervalMs)
{
    if (!d->socket || !isMounted() || isAccepted() || d->reconnectDelayMs <= 0)
        return false;
    if (d->socket->state() != QAbstractSocket::UnconnectedState)
        return false;
    if (d->lastDial.isValid() && d->lastDial.elapsed() < minIntervalMs)
        return false;
    Logger::log(Logger::TCP1, "redial transport %s, %s : %u before its time", d->uuidText.constData(),
                d->hostText.constData(), unsigned(dto().port));
    connectToRemote();
    return true;
}

void TransportTcp::onSocketDestroyed(QObject* object)
{
    if (object != d->socket)
        return;
    Logger::log(Logger::TCP1, "socket destroyed");
    d->socket = nullptr;
    d->connectedSince.invalidate();
    clearAuthenticated();
    d->authenticationTimer->stop();
    releaseRxBuffer();
    // Whatever connection the socket held is gone with it.
    emit stateChanged();
    emit connectionClosed();
}

void TransportTcp::onSocketStateChanged(QAbstractSocket::SocketState state)
{
    invalidateLastRx();
    d->rtt = UnmeasuredRtt;
    if (state == QAbstractSocket::ConnectedState) {
        Logger::log(Logger::TCP1, "connected transport %s, %s : %u", d->uuidText.constData(),
                    d->hostText.constData(), unsigned(dto().port));
        d->connectedSince.start();
        clearAuthenticated();
        armAuthenticationTimer();
        QTcpSocket* socket = d->socket;
        if (socket) {
            tuneConnectedSocket(socket);
        }
    } else {
        // A connection that carried the link is lost: what the fast redial
        // counts from.
        if (d->connectedSince.isValid() && isAuthenticated())
            d->lostSince.start();
        d->connectedSince.invalidate();
        clearAuthenticated();
        d->authenticationTimer->stop();
        releaseRxBuffer();
        if (state == QAbstractSocket::UnconnectedState && d->reconnectDelayMs > 0 && isMounted()) {
            d->waitingSince.start();
            d->redialTimer->start(redialWaitMs());
        }
    }
    if (state == QAbstractSocket::ConnectedState || state == QAbstractSocket::UnconnectedState)
        d->connectTimer->stop();
    QPointer<TransportTcp> guard(this);
    emit stateChanged();
    if (guard && state == QAbstractSocket::UnconnectedState)
        emit connectionClosed();
}

void TransportTcp::onSocketReadyRead()
{
    d->readScheduled = false;
    QTcpSocket* socket = d->socket;
    if (!socket)
        return;
    if (socket->state() != QAbstractSocket::ConnectedState) {
        // A closing connection (a broken stream among them) delivers nothing.
        socket->skip(socket->bytesAvailable());
        return;
    }
    if (!d->rxBuffer) {
        d->rxBuffer.reset(new quint8[RxBufferSize]);
        d->rxFill = 0;
    }

    QPointer<TransportTcp> guard(this);
    const quint64 generation = d->generation;
    int handled = 0;
    for (;;) {
        quint8* buffer = d->rxBuffer.get();
        qint64 avail = socket->bytesAvailable();
        if (avail > 0 && d->rxFill < std::size_t(RxBufferSize)) {
            const qint64 count = socket->read(reinterpret_cast<char*>(buffer + d->rxFill),
                                              qint64(RxBufferSize) - qint64(d->rxFill));
            if (count < 1) {
                Logger::log(Logger::TCP1, "read failed, result %lld, %s %s : %u", count, d->uuidText.constData(),
                            d->hostText.constData(), unsigned(dto().port));
                return;
            }
            d->rxFill += std::size_t(count);
            avail = socket->bytesAvailable();
        }

        const TransportDto& from = dto();
        const com::DatagramCut cut = com::cutSealedDatagrams(
            buffer, d->rxFill, MaxDatagramsPerPass - handled,
            [&](crypto::KeyId keyId, const unsigned char* datagram, std::size_t length) {
                restartLastRx();
                ++d->receivedDatagrams;
                if (keyId == crypto::MsgPublicKeyId)
                    emit receivedPubkeyEncryptedMessage(from, datagram, length);
                else
                    emit receivedEncryptedMessage(from, keyId, datagram, length);
                // A receiver may have closed the connection or even deleted
                // this transport; then the held bytes are gone.
                return !guard.isNull() && d->generation == generation;
            });
        if (cut.status == com::DatagramCut::Stopped)
            return;
        handled += cut.datagrams;
        if (cut.status == com::DatagramCut::Broken) {
            closeBrokenStream(cut.checkResult);
            return;
        }
        if (cut.consumed > 0) {
            const std::size_t rest = d->rxFill - cut.consumed;
            if (rest > 0)
                std::memmove(buffer, buffer + cut.consumed, rest);
            d->rxFill = rest;
        }
        if (handled >= MaxDatagramsPerPass) {
            // The rest waits for the next pass of the event loop; no new
            // readyRead may come for bytes that have already arrived.
            if (!d->readScheduled && (d->rxFill > 0 || socket->bytesAvailable() > 0)) {
                d->readScheduled = true;
                QMetaObject::invokeMethod(this, &TransportTcp::onSocketReadyRead, Qt::QueuedConnection);
            }
            return;
        }
        if (avail == 0)
            return;
    }
}

void TransportTcp::onError(QAbstractSocket::SocketError socketError)
{
    if (!d->socket || d->socket->state() == QAbstractSocket::UnconnectedState)
        return;
    Logger::log(Logger::TCP1, "socket error: %d in state: %d, %s %s : %u", int(socketError),
                int(d->socket->state()), d->uuidText.constData(), d->hostText.constData(), unsigned(dto().port));
}

void TransportTcp::transmit(const quint8* buf, size_t length, int waitSend)
{
    QTcpSocket* socket = d->socket;
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;

    // Silence counts from the last datagram, or from the connection's start
    // when none has arrived on it yet.
    const QElapsedTimer& since = lastRx().isValid() ? lastRx() : d->connectedSince;
    if (since.isValid()) {
        const qint64 silentMs = since.elapsed();
        if (silentMs > d->silenceWarningMs)
            Logger::log(Logger::TCP1, "warning: last rx was before %lld seconds, %s %s : %u", silentMs / 1000,
                        d->uuidText.constData(), d->hostText.constData(), unsigned(dto().port));
        if (silentMs > d->silenceTimeoutMs) {
            Logger::log(Logger::TCP1, "timeout: force disconnect, %s %s : %u", d->uuidText.constData(),
                        d->hostText.constData(), unsigned(dto().port));
            socket->disconnectFromHost();
            return;
        }
    }

    if (!buf || length == 0 || length > std::size_t(RxBufferSize))
        return;

    // Silence is no help against a peer that keeps sending but never reads:
    // what it is sent would pile up here without bound.
    if (bytesToWrite() + qint64(length) > MaxUnsentBytes) {
        ++d->droppedDatagrams;
        if (!d->backedUpSince.isValid()) {
            Logger::log(Logger::TCP1, "peer takes nothing, dropping datagrams, %s %s : %u", d->uuidText.constData(),
                        d->hostText.constData(), unsigned(dto().port));
            d->backedUpSince.start();
        } else if (d->backedUpSince.elapsed() > d->silenceTimeoutMs) {
            dropConnection("peer took nothing for too long");
        }
        return;
    }

    d->txPending.insert(d->txPending.end(), buf, buf + length);
    if (waitSend <= 1 || d->txPending.size() >= kTxRunBytes)
        writePending();
    else if (!d->txTimer->isActive())
        d->txTimer->start();
}

qint64 TransportTcp::bytesToWrite() const
{
    return qint64(d->txPending.size()) + (d->socket ? d->socket->bytesToWrite() : 0);
}

void TransportTcp::writePending()
{
    d->txTimer->stop();
    if (d->txPending.empty())
        return;
    QTcpSocket* socket = d->socket;
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
        d->txPending.clear();
        return;
    }
    const char* data = d->txPending.data();
    qint64 left = qint64(d->txPending.size());
    // Nothing waits in the socket's own buffer: the run goes to the kernel
    // straight away, without being copied into memory that the socket
    // allocates and frees for every write. A proxied socket speaks through
    // its proxy's engine and always takes the socket's way.
    if (socket->bytesToWrite() == 0 && socket->proxy().type() == QNetworkProxy::NoProxy) {
        const qintptr fd = socket->socketDescriptor();
        if (fd >= 0) {
            const ssize_t n = ::send(int(fd), data, size_t(left), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                left -= n;
                d->backedUpSince.invalidate(); // the peer takes what it is sent
            }
        }
    }
    if (left > 0) {
        // The rest waits in the socket until the kernel takes more; a failed
        // write shows up as a socket error.
        const qint64 written = socket->write(data, left);
        if (written < left)
            Logger::log(Logger::ERR1, "TCP write of %u bytes failed, result %d", unsigned(left), int(written));
    }
    d->txPending.clear();
}

void TransportTcp::releaseRxBuffer()
{
    // Bytes for a connection that is gone or going would only confuse the next.
    d->txPending.clear();
    d->txTimer->stop();
    d->rxBuffer.reset();
    d->rxFill = 0;
    ++d->generation;
}

void TransportTcp::closeBrokenStream(int checkResult)
{
    Logger::log(Logger::TCP1, "close socket after invalid message check: %d", checkResult);
    ++d->brokenStreams;
    releaseRxBuffer();
    if (d->socket)
        d->socket->disconnectFromHost();
}

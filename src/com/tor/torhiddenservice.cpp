#include "com/tor/torhiddenservice.h"
#include "com/tor/isystemproxy.h"
#include "core/appsettings.h"
#include "core/logger.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTimer>

namespace {

const QByteArray kKeyType = QByteArrayLiteral("ED25519-V3");
const QByteArray kHidden = QByteArrayLiteral("[hidden]");
// Longest key text accepted; Tor's ED25519-V3 keys are 88 characters.
constexpr int MaxKeyLength = 256;

QByteArray lines(const QStringList& list)
{
    QByteArray text;
    for (const QString& line : list)
        text += line.toUtf8() + "\r\n";
    return text;
}

void appendProxyLines(QStringList& list, const QNetworkProxy& proxy)
{
    if (proxy.type() == QNetworkProxy::HttpProxy) {
        list << QStringLiteral("HTTPSProxy %1:%2").arg(proxy.hostName()).arg(proxy.port())
             << QStringLiteral("FascistFirewall 1");
    } else if (proxy.type() == QNetworkProxy::Socks5Proxy) {
        list << QStringLiteral("Socks5Proxy %1:%2").arg(proxy.hostName()).arg(proxy.port());
    }
}

// A line of a reply without its line end.
QList<QByteArray> replyLines(const QByteArray& reply)
{
    QList<QByteArray> result;
    for (QByteArray line : reply.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.isEmpty())
            result << line;
    }
    return result;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

class TorHiddenServicePrivate
{
public:
    bool enabled = false;
    quint16 controlPort = TorHiddenService::DefaultControlPort;
    quint16 onionPort = 0;
    quint16 socksPort = TorHiddenService::DefaultSocksPort;
    QTcpSocket* socket = nullptr;
    int state = TorHiddenService::StateIdle;
    QTimer* timer = nullptr;
    QProcess* proxyProcess = nullptr;
    QProcess* serviceProcess = nullptr;
    // Processes told to stop that have not finished yet.
    QList<QPointer<QProcess>> stopping;
    ISystemProxy* proxy = nullptr;
    QString torPath;
    QString configDirectory;
    QString cookieFilePath;
    QString key;
    QByteArray rx;
    TorHiddenService::Delays delays;

    mutable QMutex mutex;
    QString torVersion;
    QString onionAddress;

    QString serviceDataDirectory() const { return configDirectory + QStringLiteral("/tor"); }
    QString proxyDataDirectory() const { return configDirectory + QStringLiteral("/torproxy"); }
    QNetworkProxy systemProxy() const { return proxy ? proxy->systemProxy() : QNetworkProxy(); }
    bool anyStopping()
    {
        for (int i = stopping.size() - 1; i >= 0; --i)
            if (!stopping.at(i))
                stopping.removeAt(i);
        return !stopping.isEmpty();
    }
};

TorHiddenService::TorHiddenService(quint16 controlPort, quint16 onionPort, const QString& key, ISystemProxy* proxy,
                                   QObject* parent)
    : QObject(parent), d(new TorHiddenServicePrivate)
{
    d->controlPort = controlPort;
    d->onionPort = onionPort;
    d->proxy = proxy;
    d->configDirectory = AppSettings::configDirectory(0);
    if (!key.isEmpty() && !isValidKey(key))
        Logger::log(Logger::TOR1, "the stored onion key is not usable, a new one is made");
    else
        d->key = key;

    d->socket = new QTcpSocket(this);
    d->socket->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    connect(d->socket, &QAbstractSocket::stateChanged, this, &TorHiddenService::onSocketStateChanged);
    connect(d->socket, &QIODevice::readyRead, this, &TorHiddenService::onReadyRead);

    d->timer = new QTimer(this);
    d->timer->setSingleShot(true);
    connect(d->timer, &QTimer::timeout, this, &TorHiddenService::onTimerFired);
    d->timer->start(d->delays.firstTick);

    // Looked up without starting a program: the path is searched here.
    const QString bundled = QCoreApplication::applicationDirPath() + QStringLiteral("/tor/tor");
    if (QFileInfo(bundled).isFile())
        d->torPath = bundled;
    else
        d->torPath = QStandardPaths::findExecutable(QStringLiteral("tor"));
    Logger::log(Logger::TOR1, "tor binary: %s", qUtf8Printable(d->torPath));
}

TorHiddenService::~TorHiddenService()
{
    // The program is ending: say goodbye on the control port, ask the
    // processes to end, give them a second together, then kill what is
    // left. The only wait of this class, and a short one.
    disconnect(d->socket, nullptr, this, nullptr);
    if (d->socket->state() == QAbstractSocket::ConnectedState) {
        sendCommand(QByteArrayLiteral("SIGNAL SHUTDOWN"));
        d->socket->flush();
    }
    d->socket->abort();
    QList<QProcess*> processes;
    for (QProcess* p : {d->proxyProcess, d->serviceProcess})
        if (p)
            processes << p;
    for (const QPointer<QProcess>& p : qAsConst(d->stopping))
        if (p)
            processes << p.data();
    for (QProcess* p : processes) {
        disconnect(p, nullptr, this, nullptr);
        if (p->state() != QProcess::NotRunning)
            p->terminate();
    }
    QElapsedTimer waited;
    waited.start();
    for (QProcess* p : processes) {
        if (p->state() != QProcess::NotRunning)
            p->waitForFinished(int(qMax<qint64>(1, 1000 - waited.elapsed())));
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(500);
        }
        delete p;
    }
}

QString TorHiddenService::onionAddress() const
{
    QMutexLocker lock(&d->mutex);
    return d->onionAddress;
}

QString TorHiddenService::torVersion() const
{
    QMutexLocker lock(&d->mutex);
    return d->torVersion;
}

QString TorHiddenService::torPath() const
{
    return d->torPath;
}

bool TorHiddenService::isEnabled() const
{
    return d->enabled;
}

int TorHiddenService::controlState() const
{
    return d->state;
}

bool TorHiddenService::hasRunningProcesses() const
{
    return d->proxyProcess || d->serviceProcess || d->anyStopping();
}

void TorHiddenService::setSocksPort(quint16 port)
{
    d->socksPort = port;
}

quint16 TorHiddenService::socksPort() const
{
    return d->socksPort;
}

quint16 TorHiddenService::controlPort() const
{
    return d->controlPort;
}

void TorHiddenService::setConfigDirectory(const QString& directory)
{
    d->configDirectory = directory;
}

QString TorHiddenService::configDirectory() const
{
    return d->configDirectory;
}

void TorHiddenService::setDelays(const Delays& delays)
{
    d->delays = delays;
    if (d->timer->isActive())
        d->timer->start(qMin(d->timer->remainingTime(), d->delays.firstTick));
}

QByteArray TorHiddenService::proxyConfig(const QString& dataDirectory, quint16 socksPort, const QNetworkProxy& proxy)
{
    QStringList list{QStringLiteral("DataDirectory %1").arg(dataDirectory),
                     QStringLiteral("SocksPort 127.0.0.1:%1").arg(socksPort),
                     QStringLiteral("SocksPolicy accept 127.0.0.0/16"), QStringLiteral("SocksPolicy reject *"),
                     QStringLiteral("Log notice stdout")};
    appendProxyLines(list, proxy);
    return lines(list);
}

QByteArray TorHiddenService::serviceConfig(const QString& dataDirectory, quint16 controlPort,
                                           const QNetworkProxy& proxy)
{
    QStringList list{QStringLiteral("DataDirectory %1").arg(dataDirectory),
                     QStringLiteral("SocksPort %1").arg(0),
                     QStringLiteral("NATDPort 0"),
                     QStringLiteral("TransPort 0"),
                     QStringLiteral("DNSPort 0"),
                     QStringLiteral("SocksPolicy accept 127.0.0.0/16"),
                     QStringLiteral("SocksPolicy reject *"),
                     QStringLiteral("Log notice stdout"),
                     QStringLiteral("ControlPort %1").arg(controlPort),
                     QStringLiteral("CookieAuthentication 1"),
                     QStringLiteral("HiddenServiceSingleHopMode 0"),
                     QStringLiteral("HiddenServiceNonAnonymousMode 0")};
    appendProxyLines(list, proxy);
    return lines(list);
}

QString TorHiddenService::parseQuotedValue(const QString& line, const QString& key)
{
    if (key.isEmpty())
        return QString();
    const int at = line.indexOf(key + QLatin1Char('='));
    if (at < 0)
        return QString();
    const int start = at + key.size() + 1;
    if (start < line.size() && line.at(start) == QLatin1Char('"')) {
        const int end = line.indexOf(QLatin1Char('"'), start + 1);
        return end < 0 ? QString() : line.mid(start + 1, end - start - 1);
    }
    const int end = line.indexOf(QLatin1Char(' '), start);
    return end < 0 ? line.mid(start) : line.mid(start, end - start);
}

int TorHiddenService::replyLength(const QByteArray& buf)
{
    int pos = 0;
    bool inData = false;
    while (true) {
        const int eol = buf.indexOf("\r\n", pos);
        if (eol < 0)
            return buf.size() > MaxReplyBytes ? -1 : 0;
        if (eol + 2 > MaxReplyBytes)
            return -1;
        const QByteArray line = buf.mid(pos, eol - pos);
        pos = eol + 2;
        if (inData) {
            // A data block ends with a line holding one dot.
            if (line == ".")
                inData = false;
            continue;
        }
        if (line.size() < 4 || !isDigit(line[0]) || !isDigit(line[1]) || !isDigit(line[2]))
            return -1;
        switch (line[3]) {
        case ' ':
            return pos;
        case '-':
            break;
        case '+':
            inData = true;
            break;
        default:
            return -1;
        }
    }
}

QByteArray TorHiddenService::loggableLine(const QByteArray& line)
{
    if (line.startsWith("AUTHENTICATE "))
        return QByteArrayLiteral("AUTHENTICATE ") + kHidden;
    // Wherever a key follows its type: in commands and in replies.
    QByteArray out = line;
    const QByteArray marker = kKeyType + ':';
    int at = 0;
    while ((at = out.indexOf(marker, at)) >= 0) {
        const int start = at + marker.size();
        int end = start;
        while (end < out.size() && out[end] != ' ' && out[end] != '\r' && out[end] != '\n')
            ++end;
        out.replace(start, end - start, kHidden);
        at = start + kHidden.size();
    }
    const QByteArray privateKey = QByteArrayLiteral("PrivateKey=");
    const int pk = out.indexOf(privateKey);
    if (pk >= 0 && out.indexOf(kHidden, pk) < 0)
        out = out.left(pk + privateKey.size()) + kHidden;
    return out;
}

bool TorHiddenService::isValidServiceId(const QString& id)
{
    if (id.size() != 56)
        return false;
    for (QChar c : id) {
        const ushort u = c.unicode();
        if (!((u >= 'a' && u <= 'z') || (u >= '2' && u <= '7')))
            return false;
    }
    return true;
}

bool TorHiddenService::isValidKey(const QString& key)
{
    if (key.isEmpty() || key.size() > MaxKeyLength)
        return false;
    for (QChar c : key) {
        const ushort u = c.unicode();
        if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '+' || u == '/'
              || u == '='))
            return false;
    }
    return true;
}

void TorHiddenService::startService()
{
    d->enabled = true;
    d->timer->start(d->delays.switched);
}

void TorHiddenService::stopService()
{
    d->enabled = false;
    d->timer->start(d->delays.switched);
}

void TorHiddenService::sendCommand(const QByteArray& command)
{
    Logger::log(Logger::TOR1, "C: %s", loggableLine(command).constData());
    d->socket->write(command + "\r\n");
}

void TorHiddenService::cookieFileRequest()
{
    d->state = StateProtocolInfoSent;
    d->rx.clear();
    sendCommand(QByteArrayLiteral("PROTOCOLINFO"));
}

bool TorHiddenService::cookieFileResponse(const QByteArray& reply)
{
    QString cookieFile;
    for (const QByteArray& raw : replyLines(reply)) {
        const QString line = QString::fromUtf8(raw);
        if (line.startsWith(QLatin1String("250-AUTH"))) {
            cookieFile = parseQuotedValue(line, QStringLiteral("COOKIEFILE"));
        } else if (line.startsWith(QLatin1String("250-VERSION"))) {
            const QString version = parseQuotedValue(line, QStringLiteral("Tor"));
            QMutexLocker lock(&d->mutex);
            d->torVersion = version;
        }
    }
    d->cookieFilePath = cookieFile;
    return !cookieFile.isEmpty();
}

void TorHiddenService::authenticateRequest()
{
    // Whatever answers on the control port names the file whose bytes we
    // send back: only Tor's own cookie in the data directory we gave it may
    // be read, so that a stranger listening on the port learns nothing.
    const QString dataDirectory = QFileInfo(d->serviceDataDirectory()).canonicalFilePath();
    const QFileInfo cookieInfo(d->cookieFilePath);
    const QString cookiePath = cookieInfo.canonicalFilePath();
    QFile file(cookiePath);
    const bool inside = !dataDirectory.isEmpty() && !cookiePath.isEmpty()
                        && QFileInfo(cookiePath).absolutePath() == dataDirectory;
    if (!inside || !cookieInfo.isFile() || cookieInfo.size() != CookieBytes || !file.open(QIODevice::ReadOnly)) {
        Logger::log(Logger::TOR1, "failed to read cookie file");
        restartService();
        return;
    }
    const QByteArray cookie = file.read(CookieBytes + 1);
    if (cookie.size() != CookieBytes) {
        Logger::log(Logger::TOR1, "failed to read cookie file");
        restartService();
        return;
    }
    d->state = StateAuthenticateSent;
    sendCommand(QByteArrayLiteral("AUTHENTICATE ") + cookie.toHex());
}

bool TorHiddenService::authenticateResponse(const QByteArray& reply)
{
    return reply.startsWith("250 OK");
}

void TorHiddenService::addNewOnionRequest()
{
    d->state = StateAddNewOnionSent;
    sendCommand(QStringLiteral("ADD_ONION NEW:%1 Port=%2")
                    .arg(QString::fromLatin1(kKeyType))
                    .arg(d->onionPort)
                    .toUtf8());
}

void TorHiddenService::addOnionRequest()
{
    d->state = StateAddOnionSent;
    sendCommand(QStringLiteral("ADD_ONION %1:%2 Port=%3")
                    .arg(QString::fromLatin1(kKeyType), d->key)
                    .arg(d->onionPort)
                    .toUtf8());
}

bool TorHiddenService::publish(const QByteArray& reply, bool expectKey)
{
    QString serviceId;
    QString key;
    bool ok = false;
    for (const QByteArray& raw : replyLines(reply)) {
        const QString line = QString::fromUtf8(raw);
        if (line.startsWith(QLatin1String("250-ServiceID"))) {
            serviceId = parseQuotedValue(line, QStringLiteral("ServiceID"));
        } else if (line.startsWith(QLatin1String("250-PrivateKey"))) {
            const QString value = parseQuotedValue(line, QStringLiteral("PrivateKey"));
            const int colon = value.indexOf(QLatin1Char(':'));
            key = colon < 0 ? QString() : value.mid(colon + 1);
        } else if (line.startsWith(QLatin1String("250 "))) {
            ok = true;
        }
    }
    if (!ok || !isValidServiceId(serviceId) || (expectKey && !isValidKey(key)))
        return false;
    const QString address = serviceId + QStringLiteral(".onion");
    {
        QMutexLocker lock(&d->mutex);
        d->onionAddress = address;
    }
    d->state = StatePublished;
    Logger::log(Logger::TOR1, "connected");
    if (expectKey) {
        d->key = key;
        emit createdEd25519v3Key(key);
    }
    emit hiddenServiceOnline(address);
    return true;
}

bool TorHiddenService::addNewOnionResponse(const QByteArray& reply)
{
    return publish(reply, true);
}

bool TorHiddenService::addOnionResponse(const QByteArray& reply)
{
    return publish(reply, false);
}

void TorHiddenService::restartService()
{
    d->state = StateIdle;
    d->rx.clear();
    if (d->socket->state() == QAbstractSocket::UnconnectedState) {
        if (d->enabled)
            d->timer->start(d->delays.retry);
        return;
    }
    // The state change to unconnected arms the supervisor.
    d->socket->disconnectFromHost();
}

void TorHiddenService::retireProcess(QProcess* process)
{
    if (!process)
        return;
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    d->stopping << QPointer<QProcess>(process);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), process, &QObject::deleteLater);
    // A process that never started also counts as finished.
    connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            process->deleteLater();
    });
    process->terminate();
    QTimer::singleShot(ProcessStopLimitMs, process, [process] {
        if (process->state() != QProcess::NotRunning) {
            Logger::log(Logger::TOR1, "tor did not stop, killed");
            process->kill();
        }
    });
}

void TorHiddenService::shutdownTor()
{
    if (d->socket->state() == QAbstractSocket::ConnectedState) {
        sendCommand(QByteArrayLiteral("SIGNAL SHUTDOWN"));
        // Closes once what was written has gone out.
        d->socket->disconnectFromHost();
    } else if (d->socket->state() != QAbstractSocket::UnconnectedState) {
        d->socket->abort();
    }
    retireProcess(d->proxyProcess);
    d->proxyProcess = nullptr;
    retireProcess(d->serviceProcess);
    d->serviceProcess = nullptr;
}

QProcess* TorHiddenService::startTorProcess(const QString& configPath, const QByteArray& text, const char* label)
{
    QSaveFile file(configPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        Logger::log(Logger::TOR1, "[%s] cannot write %s", label, qUtf8Printable(configPath));
        return nullptr;
    }
    auto* process = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), QFileInfo(d->torPath).absolutePath());
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::MergedChannels);
    const QByteArray tag(label);
    connect(process, &QProcess::readyReadStandardOutput, process, [process, tag] {
        while (process->canReadLine())
            Logger::log(Logger::TOR1, "[%s] %s", tag.constData(), process->readLine().trimmed().constData());
        // A line without its end that fills the buffer is logged as it is.
        if (process->bytesAvailable() > 4096)
            Logger::log(Logger::TOR1, "[%s] %s", tag.constData(), process->readAll().constData());
    });
    connect(process, &QProcess::started, process, [tag, text] {
        Logger::log(Logger::TOR1, "[%s] started with:\n%s", tag.constData(), text.constData());
    });
    connect(process, &QProcess::errorOccurred, process, [tag](QProcess::ProcessError error) {
        Logger::log(Logger::TOR1, "[%s] process error %d", tag.constData(), int(error));
    });
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), process,
            [tag](int code, QProcess::ExitStatus status) {
                Logger::log(Logger::TOR1, "[%s] exited with %d (%d)", tag.constData(), code, int(status));
            });
    process->start(d->torPath, {QStringLiteral("-f"), configPath});
    return process;
}

void TorHiddenService::startTorSocks5ProxyProcess()
{
    const QString dataDirectory = d->proxyDataDirectory();
    QDir().mkpath(dataDirectory);
    QFile::setPermissions(dataDirectory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray text =
        proxyConfig(QFileInfo(dataDirectory).absoluteFilePath(), d->socksPort, d->systemProxy());
    d->proxyProcess = startTorProcess(d->configDirectory + QStringLiteral("/torrc_proxy"), text, "proxy");
}

void TorHiddenService::startTorHiddenServiceProcess()
{
    const QString dataDirectory = d->serviceDataDirectory();
    QDir().mkpath(dataDirectory);
    QFile::setPermissions(dataDirectory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray text =
        serviceConfig(QFileInfo(dataDirectory).absoluteFilePath(), d->controlPort, d->systemProxy());
    d->serviceProcess = startTorProcess(d->configDirectory + QStringLiteral("/torrc"), text, "service");
}

void TorHiddenService::onTimerFired()
{
    if (d->enabled) {
        if (d->torPath.isEmpty()) {
            Logger::log(Logger::TOR1, "no tor binary found");
            return;
        }
        if (d->anyStopping() && !d->proxyProcess && !d->serviceProcess) {
            // The processes of the last run still hold their ports.
            d->timer->start(d->delays.switched);
            return;
        }
        if (!d->proxyProcess) {
            startTorSocks5ProxyProcess();
            d->timer->start(d->delays.proxyStarted);
            return;
        }
        if (d->serviceProcess) {
            if (d->state != StateIdle)
                return;
            if (d->serviceProcess->state() == QProcess::Starting) {
                d->timer->start(d->delays.serviceStarted);
                return;
            }
            Logger::log(Logger::TOR1, "connect to %u", unsigned(d->controlPort));
            d->state = StateConnecting;
            d->rx.clear();
            d->socket->connectToHost(QStringLiteral("127.0.0.1"), d->controlPort);
            return;
        }
        startTorHiddenServiceProcess();
        d->timer->start(d->delays.serviceStarted);
        return;
    }
    if (d->proxyProcess || d->serviceProcess)
        shutdownTor();
    if (d->state != StateIdle) {
        d->state = StateIdle;
        Logger::log(Logger::TOR1, "offline");
    }
    d->timer->start(d->delays.idle);
}

void TorHiddenService::onSocketStateChanged(QAbstractSocket::SocketState state)
{
    Logger::log(Logger::TOR1, "state changed to %d", int(state));
    if (state == QAbstractSocket::ConnectedState) {
        Logger::log(Logger::TOR1, "connected to %u", unsigned(d->controlPort));
        cookieFileRequest();
    } else if (state == QAbstractSocket::UnconnectedState) {
        Logger::log(Logger::TOR1, "disconnected");
        d->rx.clear();
        if (d->enabled) {
            d->state = StateIdle;
            d->timer->start(d->delays.retry);
        }
    }
}

void TorHiddenService::onReadyRead()
{
    d->rx += d->socket->readAll();
    while (d->socket->state() == QAbstractSocket::ConnectedState) {
        const int length = replyLength(d->rx);
        if (length == 0)
            return;
        if (length < 0) {
            Logger::log(Logger::TOR1, "broken control reply");
            restartService();
            return;
        }
        const QByteArray reply = d->rx.left(length);
        d->rx.remove(0, length);
        handleReply(reply);
    }
}

void TorHiddenService::handleReply(const QByteArray& reply)
{
    for (const QByteArray& line : replyLines(reply))
        Logger::log(Logger::TOR1, "S: %s", loggableLine(line).constData());
    switch (d->state) {
    case StateProtocolInfoSent:
        if (cookieFileResponse(reply))
            authenticateRequest();
        else
            restartService();
        break;
    case StateAuthenticateSent:
        if (!authenticateResponse(reply))
            restartService();
        else if (d->key.isEmpty())
            addNewOnionRequest();
        else
            addOnionRequest();
        break;
    case StateAddNewOnionSent:
        if (!addNewOnionResponse(reply))
            restartService();
        break;
    case StateAddOnionSent:
        if (!addOnionResponse(reply))
            restartService();
        break;
    default:
        break;
    }
}

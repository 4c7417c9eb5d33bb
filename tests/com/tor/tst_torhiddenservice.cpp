#include "com/tor/isystemproxy.h"
#include "com/tor/torhiddenservice.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <signal.h>

namespace {

class FixedProxy : public ISystemProxy
{
public:
    QNetworkProxy proxy;
    QNetworkProxy systemProxy() const override { return proxy; }
};

quint16 freePort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Lines the stand-in logged, with one prefix ("control: ", "socks: ").
QStringList logged(const QString& path, const QString& prefix)
{
    QStringList result;
    for (const QString& line : QString::fromUtf8(readFile(path)).split(QLatin1Char('\n')))
        if (line.startsWith(prefix))
            result << line.mid(prefix.size());
    return result;
}

// Whether every stand-in process that logged its pid is gone (ended or
// killed, and reaped).
bool allEnded(const QStringList& pids)
{
    for (const QString& pid : pids)
        if (::kill(pid.toInt(), 0) == 0 || errno != ESRCH)
            return false;
    return !pids.isEmpty();
}

QByteArray crlf(const QStringList& lines)
{
    return (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

const QString kNoKey;

} // namespace

class TstTorHiddenService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void parseQuotedValue_data();
    void parseQuotedValue();
    void replyLength_data();
    void replyLength();
    void loggableLine_data();
    void loggableLine();
    void configFiles_data();
    void configFiles();

    void publishesNewServiceThenStoredKey();
    void repliesInPiecesRestartNothing();
    void foreignCookieFileIsNeverRead();
    void stopDuringExchangeShutsDown();
    void hangingTorIsKilledWithoutBlocking();
    void noTorFoundStaysQuiet();
    void onionNameReachesServiceThroughSocks();

private:
    TorHiddenService* makeService(const QString& key, ISystemProxy* proxy = nullptr);

    QTemporaryDir m_bin;
    QByteArray m_path;
    std::unique_ptr<QTemporaryDir> m_work;
    QString m_log;
    quint16 m_controlPort = 0;
    quint16 m_socksPort = 0;
    quint16 m_onionPort = 0;
};

void TstTorHiddenService::initTestCase()
{
    QVERIFY(m_bin.isValid());
    QVERIFY(QFile::link(QStringLiteral(FAKE_TOR_SCRIPT), m_bin.filePath(QStringLiteral("tor"))));
    m_path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(m_bin.path()) + ':' + m_path);
}

void TstTorHiddenService::init()
{
    m_work.reset(new QTemporaryDir);
    QVERIFY(m_work->isValid());
    m_log = m_work->filePath(QStringLiteral("fake_tor.log"));
    qputenv("FAKE_TOR_LOG", QFile::encodeName(m_log));
    qputenv("FAKE_TOR_REGISTRY", QFile::encodeName(m_work->filePath(QStringLiteral("registry"))));
    qunsetenv("FAKE_TOR_SPLIT");
    qunsetenv("FAKE_TOR_COOKIEFILE");
    qunsetenv("FAKE_TOR_IGNORE_TERM");
    m_controlPort = freePort();
    m_socksPort = freePort();
    m_onionPort = freePort();
    QVERIFY(m_controlPort && m_socksPort && m_onionPort);
}

void TstTorHiddenService::cleanup()
{
    m_work.reset();
}

TorHiddenService* TstTorHiddenService::makeService(const QString& key, ISystemProxy* proxy)
{
    auto* service = new TorHiddenService(m_controlPort, m_onionPort, key, proxy, this);
    service->setSocksPort(m_socksPort);
    service->setConfigDirectory(m_work->path());
    TorHiddenService::Delays delays;
    delays.firstTick = 10;
    delays.switched = 10;
    delays.proxyStarted = 50;
    delays.serviceStarted = 50;
    delays.idle = 100;
    delays.retry = 200;
    service->setDelays(delays);
    return service;
}

void TstTorHiddenService::parseQuotedValue_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("quoted path") << QStringLiteral("250-AUTH METHODS=COOKIE COOKIEFILE=\"/a b/cookie\"")
                                 << QStringLiteral("COOKIEFILE") << QStringLiteral("/a b/cookie");
    QTest::newRow("unterminated quote") << QStringLiteral("250-AUTH METHODS=COOKIE COOKIEFILE=\"/a/cookie")
                                        << QStringLiteral("COOKIEFILE") << QString();
    QTest::newRow("to the next space") << QStringLiteral("250-AUTH METHODS=COOKIE,SAFECOOKIE COOKIEFILE=x")
                                       << QStringLiteral("METHODS") << QStringLiteral("COOKIE,SAFECOOKIE");
    QTest::newRow("to the end") << QStringLiteral("250-ServiceID=abcdef") << QStringLiteral("ServiceID")
                                << QStringLiteral("abcdef");
    QTest::newRow("version") << QStringLiteral("250-VERSION Tor=\"0.4.8.9\"") << QStringLiteral("Tor")
                             << QStringLiteral("0.4.8.9");
    QTest::newRow("key type kept") << QStringLiteral("250-PrivateKey=ED25519-V3:abc+/=")
                                   << QStringLiteral("PrivateKey") << QStringLiteral("ED25519-V3:abc+/=");
    QTest::newRow("missing key") << QStringLiteral("250-AUTH METHODS=NULL") << QStringLiteral("COOKIEFILE")
                                 << QString();
    QTest::newRow("key without value") << QStringLiteral("250-AUTH COOKIEFILE") << QStringLiteral("COOKIEFILE")
                                       << QString();
    QTest::newRow("empty value at end") << QStringLiteral("250-AUTH COOKIEFILE=") << QStringLiteral("COOKIEFILE")
                                        << QString();
    QTest::newRow("empty quoted") << QStringLiteral("250-AUTH COOKIEFILE=\"\" X=1") << QStringLiteral("COOKIEFILE")
                                  << QString();
}

void TstTorHiddenService::parseQuotedValue()
{
    QFETCH(QString, line);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QCOMPARE(TorHiddenService::parseQuotedValue(line, key), value);
}

void TstTorHiddenService::replyLength_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("length");
    const QByteArray info = "250-PROTOCOLINFO 1\r\n250-AUTH METHODS=COOKIE COOKIEFILE=\"/c\"\r\n250 OK\r\n";
    QTest::newRow("one line") << QByteArray("250 OK\r\n") << 8;
    QTest::newRow("multi-line") << info << info.size();
    QTest::newRow("two replies") << QByteArray("250 OK\r\n515 Bad\r\n") << 8;
    QTest::newRow("cut in the final line") << info.left(info.size() - 3) << 0;
    QTest::newRow("cut before the line end") << QByteArray("250 OK\r") << 0;
    QTest::newRow("only middle lines") << QByteArray("250-ServiceID=x\r\n") << 0;
    QTest::newRow("empty") << QByteArray() << 0;
    const QByteArray block = "250+info=\r\n250 OK inside\r\n.\r\n250 OK\r\n";
    QTest::newRow("data block") << block + "250 next\r\n" << block.size();
    QTest::newRow("data block open") << QByteArray("250+info=\r\n250 OK inside\r\n") << 0;
    QTest::newRow("no status code") << QByteArray("hello\r\n") << -1;
    QTest::newRow("bad separator") << QByteArray("250=OK\r\n") << -1;
    QTest::newRow("too short") << QByteArray("25\r\n") << -1;
    QTest::newRow("endless line") << QByteArray(TorHiddenService::MaxReplyBytes + 1, 'x') << -1;
    QByteArray many;
    while (many.size() <= TorHiddenService::MaxReplyBytes)
        many += "250-x\r\n";
    QTest::newRow("endless reply") << many << -1;
}

void TstTorHiddenService::replyLength()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, length);
    QCOMPARE(TorHiddenService::replyLength(bytes), length);
}

void TstTorHiddenService::loggableLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("add onion with key") << QByteArray("ADD_ONION ED25519-V3:c2VjcmV0a2V5+/= Port=4000")
                                        << QByteArray("ADD_ONION ED25519-V3:[hidden] Port=4000");
    QTest::newRow("new onion") << QByteArray("ADD_ONION NEW:ED25519-V3 Port=4000")
                               << QByteArray("ADD_ONION NEW:ED25519-V3 Port=4000");
    QTest::newRow("private key reply") << QByteArray("250-PrivateKey=ED25519-V3:c2VjcmV0a2V5")
                                       << QByteArray("250-PrivateKey=ED25519-V3:[hidden]");
    QTest::newRow("other key type") << QByteArray("250-PrivateKey=RSA1024:c2VjcmV0")
                                    << QByteArray("250-PrivateKey=[hidden]");
    QTest::newRow("cookie") << QByteArray("AUTHENTICATE 00ff11") << QByteArray("AUTHENTICATE [hidden]");
    QTest::newRow("service id") << QByteArray("250-ServiceID=abc") << QByteArray("250-ServiceID=abc");
}

void TstTorHiddenService::loggableLine()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, logged);
    QCOMPARE(TorHiddenService::loggableLine(line), logged);
}

void TstTorHiddenService::configFiles_data()
{
    QTest::addColumn<int>("proxyType");
    QTest::addColumn<QStringList>("extra");
    QTest::newRow("no proxy") << int(QNetworkProxy::DefaultProxy) << QStringList();
    QTest::newRow("http") << int(QNetworkProxy::HttpProxy)
                          << QStringList{QStringLiteral("HTTPSProxy proxy.example:3128"),
                                         QStringLiteral("FascistFirewall 1")};
    QTest::newRow("socks5") << int(QNetworkProxy::Socks5Proxy)
                            << QStringList{QStringLiteral("Socks5Proxy proxy.example:3128")};
    QTest::newRow("ftp is none") << int(QNetworkProxy::FtpCachingProxy) << QStringList();
}

// The files written before each start, byte for byte, with the system
// proxy's lines in both.
void TstTorHiddenService::configFiles()
{
    QFETCH(int, proxyType);
    QFETCH(QStringList, extra);
    FixedProxy proxy;
    proxy.proxy = QNetworkProxy(QNetworkProxy::ProxyType(proxyType), QStringLiteral("proxy.example"), 3128);

    const QString dir = m_work->path();
    const QByteArray expectProxy =
        crlf(QStringList{QStringLiteral("DataDirectory %1/torproxy").arg(dir),
                         QStringLiteral("SocksPort 127.0.0.1:%1").arg(m_socksPort),
                         QStringLiteral("SocksPolicy accept 127.0.0.0/16"), QStringLiteral("SocksPolicy reject *"),
                         QStringLiteral("Log notice stdout")}
             + extra);
    const QByteArray expectService =
        crlf(QStringList{QStringLiteral("DataDirectory %1/tor").arg(dir), QStringLiteral("SocksPort 0"),
                         QStringLiteral("NATDPort 0"), QStringLiteral("TransPort 0"), QStringLiteral("DNSPort 0"),
                         QStringLiteral("SocksPolicy accept 127.0.0.0/16"), QStringLiteral("SocksPolicy reject *"),
                         QStringLiteral("Log notice stdout"), QStringLiteral("ControlPort %1").arg(m_controlPort),
                         QStringLiteral("CookieAuthentication 1"), QStringLiteral("HiddenServiceSingleHopMode 0"),
                         QStringLiteral("HiddenServiceNonAnonymousMode 0")}
             + extra);
    QCOMPARE(TorHiddenService::proxyConfig(dir + QStringLiteral("/torproxy"), m_socksPort, proxy.proxy),
             expectProxy);

    // The stand-in cannot reach a proxy: the files are what counts here.
    TorHiddenService* service = makeService(kNoKey, &proxy);
    service->startService();
    QTRY_COMPARE_WITH_TIMEOUT(readFile(dir + QStringLiteral("/torrc_proxy")), expectProxy, 30000);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(dir + QStringLiteral("/torrc")), expectService, 30000);
    QVERIFY(QFileInfo(dir + QStringLiteral("/tor")).isDir());
    QVERIFY(QFileInfo(dir + QStringLiteral("/torproxy")).isDir());
    QCOMPARE(QFileInfo(dir + QStringLiteral("/tor")).permissions() & (QFile::ReadGroup | QFile::ReadOther),
             QFile::Permissions());
    service->stopService();
    QTRY_VERIFY_WITH_TIMEOUT(!service->hasRunningProcesses(), 30000);
    delete service;
}

// Without a stored key Tor makes one: the key is handed out before the
// address. The next run sends that key back and gets the same address, and
// no new key is announced. Stopping sends SIGNAL SHUTDOWN and the processes
// go without the thread waiting for them.
void TstTorHiddenService::publishesNewServiceThenStoredKey()
{
    QString key;
    QString address;
    {
        TorHiddenService* service = makeService(kNoKey);
        QStringList order;
        connect(service, &TorHiddenService::createdEd25519v3Key, this, [&](const QString& k) {
            order << QStringLiteral("key");
            key = k;
        });
        connect(service, &TorHiddenService::hiddenServiceOnline, this, [&](const QString& a) {
            order << QStringLiteral("online");
            address = a;
        });
        service->startService();
        QTRY_COMPARE_WITH_TIMEOUT(service->controlState(), int(TorHiddenService::StatePublished), 60000);
        QCOMPARE(order, (QStringList{QStringLiteral("key"), QStringLiteral("online")}));
        QVERIFY(TorHiddenService::isValidKey(key));
        QVERIFY(address.endsWith(QLatin1String(".onion")));
        QVERIFY(TorHiddenService::isValidServiceId(address.chopped(6)));
        QCOMPARE(service->onionAddress(), address);
        QCOMPARE(service->torVersion(), QStringLiteral("0.4.8.99-stand-in"));

        const QByteArray cookie = readFile(m_work->filePath(QStringLiteral("tor/control_auth_cookie")));
        QCOMPARE(cookie.size(), TorHiddenService::CookieBytes);
        QCOMPARE(logged(m_log, QStringLiteral("control: ")),
                 (QStringList{QStringLiteral("PROTOCOLINFO"),
                              QStringLiteral("AUTHENTICATE ") + QString::fromLatin1(cookie.toHex()),
                              QStringLiteral("ADD_ONION NEW:ED25519-V3 Port=%1").arg(m_onionPort)}));

        QTRY_COMPARE_WITH_TIMEOUT(logged(m_log, QStringLiteral("start: ")).size(), 2, 30000);
        service->stopService();
        QTRY_VERIFY_WITH_TIMEOUT(!service->hasRunningProcesses(), 30000);
        QCOMPARE(service->controlState(), int(TorHiddenService::StateIdle));
        QVERIFY(logged(m_log, QStringLiteral("control: ")).contains(QStringLiteral("SIGNAL SHUTDOWN")));
        QTRY_VERIFY_WITH_TIMEOUT(allEnded(logged(m_log, QStringLiteral("pid: "))), 30000);
        delete service;
    }
    QFile::remove(m_log);
    {
        TorHiddenService* service = makeService(key);
        QSignalSpy keys(service, &TorHiddenService::createdEd25519v3Key);
        QSignalSpy online(service, &TorHiddenService::hiddenServiceOnline);
        service->startService();
        QTRY_COMPARE_WITH_TIMEOUT(online.count(), 1, 60000);
        QCOMPARE(online.at(0).at(0).toString(), address);
        QCOMPARE(keys.count(), 0);
        const QStringList commands = logged(m_log, QStringLiteral("control: "));
        QCOMPARE(commands.size(), 3);
        QCOMPARE(commands.at(0), QStringLiteral("PROTOCOLINFO"));
        QVERIFY(commands.at(1).startsWith(QLatin1String("AUTHENTICATE ")));
        QCOMPARE(commands.at(2), QStringLiteral("ADD_ONION ED25519-V3:%1 Port=%2").arg(key).arg(m_onionPort));
        delete service;
    }
}

// Replies that come a few bytes at a time are collected: the exchange runs
// once, without starting over.
void TstTorHiddenService::repliesInPiecesRestartNothing()
{
    qputenv("FAKE_TOR_SPLIT", "1");
    TorHiddenService* service = makeService(kNoKey);
    QSignalSpy online(service, &TorHiddenService::hiddenServiceOnline);
    service->startService();
    QTRY_COMPARE_WITH_TIMEOUT(online.count(), 1, 60000);
    const QStringList commands = logged(m_log, QStringLiteral("control: "));
    QCOMPARE(commands.count(QStringLiteral("PROTOCOLINFO")), 1);
    QCOMPARE(commands.size(), 3);
    delete service;
}

// Whatever answers on the control port names the file to send back: a file
// outside Tor's data directory is never read, the exchange starts over.
void TstTorHiddenService::foreignCookieFileIsNeverRead()
{
    const QString foreign = m_work->filePath(QStringLiteral("secret"));
    QFile file(foreign);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(TorHiddenService::CookieBytes, 's'));
    file.close();
    qputenv("FAKE_TOR_COOKIEFILE", QFile::encodeName(foreign));
    TorHiddenService* service = makeService(kNoKey);
    service->startService();
    QTRY_VERIFY_WITH_TIMEOUT(logged(m_log, QStringLiteral("control: ")).count(QStringLiteral("PROTOCOLINFO")) >= 2,
                             60000);
    for (const QString& command : logged(m_log, QStringLiteral("control: ")))
        QVERIFY2(!command.startsWith(QLatin1String("AUTHENTICATE")), qPrintable(command));
    QVERIFY(service->onionAddress().isEmpty());
    delete service;
}

// Switching off while the processes start or the exchange runs stops them
// and goes back to idle; switching on again starts fresh processes.
void TstTorHiddenService::stopDuringExchangeShutsDown()
{
    TorHiddenService* service = makeService(kNoKey);
    service->startService();
    QTRY_VERIFY_WITH_TIMEOUT(service->controlState() != TorHiddenService::StateIdle, 60000);
    service->stopService();
    QTRY_VERIFY_WITH_TIMEOUT(!service->hasRunningProcesses(), 30000);
    QCOMPARE(service->controlState(), int(TorHiddenService::StateIdle));

    QFile::remove(m_log);
    QSignalSpy online(service, &TorHiddenService::hiddenServiceOnline);
    service->startService();
    QTRY_COMPARE_WITH_TIMEOUT(online.count(), 1, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(logged(m_log, QStringLiteral("pid: ")).size(), 2, 30000);
    delete service;
    // Deleting a running service ends its processes: asked to, or killed when
    // they take longer than the second it allows.
    QVERIFY(allEnded(logged(m_log, QStringLiteral("pid: "))));
}

// A tor that does not end when asked is killed later; meanwhile the thread
// goes on with its work: the service is seen idle while the old process is
// still there.
void TstTorHiddenService::hangingTorIsKilledWithoutBlocking()
{
    qputenv("FAKE_TOR_IGNORE_TERM", "1");
    TorHiddenService* service = makeService(kNoKey);
    QSignalSpy online(service, &TorHiddenService::hiddenServiceOnline);
    service->startService();
    QTRY_COMPARE_WITH_TIMEOUT(online.count(), 1, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(logged(m_log, QStringLiteral("start: ")).size(), 2, 30000);
    service->stopService();
    QTRY_VERIFY_WITH_TIMEOUT(!service->isEnabled() && service->controlState() == TorHiddenService::StateIdle
                                 && service->hasRunningProcesses(),
                             30000);
    QTRY_VERIFY_WITH_TIMEOUT(!service->hasRunningProcesses(), 60000);
    // The service process was asked by SIGNAL SHUTDOWN, the proxy was killed;
    // both are gone.
    QVERIFY(logged(m_log, QStringLiteral("control: ")).contains(QStringLiteral("SIGNAL SHUTDOWN")));
    QVERIFY(allEnded(logged(m_log, QStringLiteral("pid: "))));

    // Started again, it makes fresh processes only once the old ones are gone.
    service->startService();
    QTRY_COMPARE_WITH_TIMEOUT(online.count(), 2, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(logged(m_log, QStringLiteral("start: ")).size(), 4, 30000);
    delete service;
}

void TstTorHiddenService::noTorFoundStaysQuiet()
{
    qputenv("PATH", m_work->path().toUtf8());
    TorHiddenService* service = makeService(kNoKey);
    qputenv("PATH", QFile::encodeName(m_bin.path()) + ':' + m_path);
    QVERIFY(service->torPath().isEmpty());
    service->startService();
    QTest::qWait(300);
    QVERIFY(!service->hasRunningProcesses());
    QVERIFY(!QFile::exists(m_work->filePath(QStringLiteral("torrc_proxy"))));
    delete service;
}

// The stand-in's SOCKS port leads "<id>.onion" at the service's port to the
// listener behind it, and nowhere else.
void TstTorHiddenService::onionNameReachesServiceThroughSocks()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, m_onionPort));
    TorHiddenService* service = makeService(kNoKey);
    QSignalSpy online(service, &TorHiddenService::hiddenServiceOnline);
    service->startService();
    QTRY_COMPARE_WITH_TIMEOUT(online.count(), 1, 60000);

    QTcpSocket socket;
    socket.setProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("127.0.0.1"), m_socksPort));
    // The proxy process may still be coming up.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            if (socket.state() == QAbstractSocket::UnconnectedState)
                socket.connectToHost(service->onionAddress(), m_onionPort);
            return socket.state() == QAbstractSocket::ConnectedState;
        }(),
        60000);
    QTRY_VERIFY_WITH_TIMEOUT(listener.hasPendingConnections(), 30000);
    QTcpSocket* accepted = listener.nextPendingConnection();
    socket.write("ping");
    QTRY_COMPARE_WITH_TIMEOUT(accepted->bytesAvailable(), qint64(4), 30000);

    QTcpSocket stranger;
    stranger.setProxy(socket.proxy());
    QSignalSpy failed(&stranger, &QAbstractSocket::errorOccurred);
    stranger.connectToHost(QStringLiteral("example.org"), 80);
    QVERIFY(failed.wait(30000));
    QVERIFY(stranger.state() != QAbstractSocket::ConnectedState);
    delete service;
}

QTEST_GUILESS_MAIN(TstTorHiddenService)
#include "tst_torhiddenservice.moc"

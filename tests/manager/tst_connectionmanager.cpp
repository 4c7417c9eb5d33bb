#include "com/link/com.h"
#include "core/appsettings.h"
#include "core/databasesqlite.h"
#include "com/link/com.h"
#include "com/tor/torhiddenservice.h"
#include "manager/connectionmanager.h"
#include "com/link/endpoint.h"
#include "peer/peerloadervelm.h"
#include "peer/peerauthenticator.h"
#include "manager/proxy.h"
#include "peer/peerfactory.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <QTcpServer>
#include <QtTest>

#include <memory>

class TestConnectionManager : public QObject
{
    Q_OBJECT
private slots:
    void listenPort_data();
    void listenPort();
    void firstStartMakesIdentity();
    void listenerFollowsThePort();
    void twoKeyPairsOneChoice();
    void takenPortOffersNoTransport();
    void proxyChoice();
    void startBuildsTheOwnPeer();
    void storedOnionKey();
    void torServiceWiring();
    void turnRelayFromSettings();
    void stunServersSetting_data();
    void stunServersSetting();
    void linkSilenceLimitSetting_data();
    void linkSilenceLimitSetting();
};

void TestConnectionManager::listenPort_data()
{
    QTest::addColumn<int>("option");
    QTest::addColumn<int>("port");
    QTest::newRow("absent") << -1 << 60391;
    QTest::newRow("0") << 0 << 60391;
    QTest::newRow("1") << 1 << 1;
    QTest::newRow("4000") << 4000 << 4000;
    QTest::newRow("65534") << 65534 << 65534;
    QTest::newRow("65535") << 65535 << 60391;
}

void TestConnectionManager::listenPort()
{
    QFETCH(int, option);
    QFETCH(int, port);
    QCOMPARE(int(ConnectionManager::listenPortFor(option)), port);
}

// A first start stores the own peer, its key pair and public key, its name
// and its listener; a second start stores nothing new.
void TestConnectionManager::firstStartMakesIdentity()
{
    QTemporaryDir dir;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    QVERIFY(db.init());
    const QString own = ownPeerUuid();
    ConnectionManager::ensureOwnIdentity(&db, 60391);
    QCOMPARE(int(db.getPeers(QStringLiteral("velm")).size()), 1);
    const std::vector<CryptoKeyDto> keys = db.getCryptoKeys(own);
    QCOMPARE(int(keys.size()), 2);
    QByteArray pksk, pk;
    for (const CryptoKeyDto& k : keys)
        (k.type == QLatin1String("pksk") ? pksk : pk) = k.key;
    QCOMPARE(pksk.size(), 64);
    QCOMPARE(pk, pksk.left(32));
    const auto names = db.getPeerAttributes(own, {QStringLiteral("name")});
    QCOMPARE(int(names.size()), 1);
    QVERIFY(!names.front().value.contains(QLatin1String(".local")));
    const auto transports = db.getTransports(own);
    QCOMPARE(int(transports.size()), 1);
    QCOMPARE(transports.front().host, QStringLiteral("127.0.0.1"));
    QCOMPARE(int(transports.front().port), 60391);

    QSignalSpy keysAdded(&db, &IDatabase::addedPeerCryptoKey);
    QSignalSpy transportsAdded(&db, &IDatabase::addedPeerTransport);
    QSignalSpy attributes(&db, &IDatabase::peerAttributesChanged);
    ConnectionManager::ensureOwnIdentity(&db, 60391);
    QCOMPARE(keysAdded.count() + transportsAdded.count() + attributes.count(), 0);
    QCOMPARE(int(db.getCryptoKeys(own).size()), 2);
}

// A database holding two own key pairs (written by an older version): every
// reader takes the one stored first, whatever order the rows come in, and
// the count is told.
void TestConnectionManager::twoKeyPairsOneChoice()
{
    QTemporaryDir dir;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    QVERIFY(db.init());
    const QString own = ownPeerUuid();
    QVERIFY(db.putPeer(PeerDto{own, QStringLiteral("velm"), QDateTime::fromSecsSinceEpoch(1600000000)}));
    const QByteArray later(64, 'L');
    const QByteArray first(64, 'F');
    QVERIFY(db.putCryptoKey(own, CryptoKeyDto{QStringLiteral("{00000000-0000-4000-8000-000000000001}"), later,
                                              QStringLiteral("pksk"), QDateTime::fromSecsSinceEpoch(1600000900)}));
    QVERIFY(db.putCryptoKey(own, CryptoKeyDto{QStringLiteral("{ffffffff-0000-4000-8000-000000000002}"), first,
                                              QStringLiteral("pksk"), QDateTime::fromSecsSinceEpoch(1600000000)}));
    QCOMPARE(ConnectionManager::ensureOwnIdentity(&db, 60391), 2);
    QCOMPARE(PeerLoaderVelm::ownKeyPair(&db).key, first);
    PeerAuthenticator authenticator(&db);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(authenticator.endpoint()->ownPublicKey()), 32), first.left(32));
}

// A listening port held by another socket: the failure is reported with the
// port, the status knows it, and no TCP transport is offered.
void TestConnectionManager::takenPortOffersNoTransport()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    QTemporaryDir dir;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    PeerModel model;
    QThread io;
    auto* manager = new ConnectionManager(&db);
    manager->setTorEnabled(false);
    manager->moveToThread(&io);
    connect(&io, &QThread::started, manager, &ConnectionManager::start);
    QSignalSpy started(manager, &ConnectionManager::started);
    QSignalSpy problems(manager, &ConnectionManager::problemReported);
    QSignalSpy status(manager, &ConnectionManager::networkStatusChanged);
    io.start();
    QVERIFY(started.wait(20000) || started.count() == 1);
    com::Com* com = manager->com();
    const quint16 port = holder.serverPort();
    QMetaObject::invokeMethod(com, [com, port] { com->startTcpServer(QHostAddress::Any, port); },
                              Qt::BlockingQueuedConnection);
    QTRY_VERIFY(status.count() >= 1);
    QVERIFY(!manager->isListening());
    QVERIFY2(manager->networkStatus().contains(QString::number(port)), qPrintable(manager->networkStatus()));
    QTRY_VERIFY(problems.count() >= 1);
    QVERIFY(problems.last().at(0).toString().contains(QStringLiteral("TCP port %1").arg(port)));
    std::vector<TransportDto> offered;
    QMetaObject::invokeMethod(manager, [manager, &offered] { offered = manager->localTransports(); },
                              Qt::BlockingQueuedConnection);
    for (const TransportDto& t : offered)
        QVERIFY2(t.type != QLatin1String("tcp") || t.port != port, qPrintable(t.host));

    // Free again, the next start listens and offers it.
    holder.close();
    QMetaObject::invokeMethod(com, [com, port] { com->startTcpServer(QHostAddress::LocalHost, port); },
                              Qt::BlockingQueuedConnection);
    QTRY_VERIFY(manager->isListening());
    QVERIFY(manager->networkStatus().isEmpty());

    QMetaObject::invokeMethod(manager, [manager] { delete manager; }, Qt::BlockingQueuedConnection);
    io.quit();
    QVERIFY(io.wait(20000));
}

// The stored listener is the port this run listens on, not a fixed one.
void TestConnectionManager::listenerFollowsThePort()
{
    QTemporaryDir dir;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    QVERIFY(db.init());
    ConnectionManager::ensureOwnIdentity(&db, 60391);
    ConnectionManager::ensureOwnIdentity(&db, 4000);
    const auto transports = db.getTransports(ownPeerUuid());
    QCOMPARE(int(transports.size()), 1);
    QCOMPARE(int(transports.front().port), 4000);
}

void TestConnectionManager::proxyChoice()
{
    const QNetworkProxy ftp(QNetworkProxy::FtpCachingProxy, QStringLiteral("ftp.invalid"), 21);
    const QNetworkProxy socks(QNetworkProxy::Socks5Proxy, QStringLiteral("socks.invalid"), 1080);
    const QNetworkProxy http(QNetworkProxy::HttpProxy, QStringLiteral("http.invalid"), 3128);
    QCOMPARE(Proxy::pickProxy({ftp, socks, http}).hostName(), QStringLiteral("socks.invalid"));
    QCOMPARE(Proxy::pickProxy({ftp}).type(), QNetworkProxy().type());
    QCOMPARE(Proxy::pickProxy({}).hostName(), QString());
}

// Started on its own thread, the manager builds the own peer, which reaches
// the peer model on the main thread.
void TestConnectionManager::startBuildsTheOwnPeer()
{
    QTemporaryDir dir;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    QVERIFY(db.init());
    PeerModel model;
    QThread io;
    auto* manager = new ConnectionManager(&db);
    manager->moveToThread(&io);
    connect(&io, &QThread::started, manager, &ConnectionManager::start);
    QSignalSpy started(manager, &ConnectionManager::started);
    io.start();
    QVERIFY(started.wait(20000) || started.count() == 1);
    QTRY_VERIFY_WITH_TIMEOUT(model.getPeerForUuid(ownPeerUuid()), 20000);
    IPeer* own = model.getPeerForUuid(ownPeerUuid());
    QCOMPARE(own->thread(), QThread::currentThread());
    QCOMPARE(own->linkState(), IPeer::LinkUp);
    QVERIFY(manager->peerFactory()->findPeer(ownPeerUuid()));
    QMetaObject::invokeMethod(manager, [manager] { delete manager; }, Qt::BlockingQueuedConnection);
    io.quit();
    QVERIFY(io.wait(20000));
}

// The first usable stored key is the one sent back to Tor: a key that is
// not base64 text (it would go into a control command) is passed over, and
// the bytes count up to the first NUL.
void TestConnectionManager::storedOnionKey()
{
    QTemporaryDir dir;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    QVERIFY(db.init());
    const QString own = ownPeerUuid();
    ConnectionManager::ensureOwnIdentity(&db, 60391);
    QCOMPARE(ConnectionManager::storedOnionKey(&db), QString());
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QVERIFY(db.putCryptoKey(own, CryptoKeyDto{QUuid::createUuid().toString(), QByteArray("k\r\nSIGNAL SHUTDOWN"),
                                              QStringLiteral("ED25519-V3"), now}));
    QCOMPARE(ConnectionManager::storedOnionKey(&db), QString());
    db.putCryptoKey(own, CryptoKeyDto{QUuid::createUuid().toString(), QByteArray("QUJD+/=\0\0rest", 13),
                                      QStringLiteral("ED25519-V3"), now.addSecs(1)});
    db.putCryptoKey(own, CryptoKeyDto{QUuid::createUuid().toString(), QByteArray("T1RIRVI="),
                                      QStringLiteral("pk"), now});
    QCOMPARE(ConnectionManager::storedOnionKey(&db), QStringLiteral("QUJD+/="));
}

// The manager builds the Tor service with its ports, the registry dials
// onion transports through the same SOCKS port, a new key is stored for the
// own peer, and a published address is offered as an "onion" transport.
void TestConnectionManager::torServiceWiring()
{
    QTemporaryDir dir;
    DatabaseSqlite db(dir.filePath(QStringLiteral("velm.db")));
    QVERIFY(db.init());
    {
        PeerModel model;
        QThread io;
        auto* manager = new ConnectionManager(&db);
        manager->setTorPorts(19451, 19350);
        manager->moveToThread(&io);
        connect(&io, &QThread::started, manager, &ConnectionManager::start);
        QSignalSpy started(manager, &ConnectionManager::started);
        io.start();
        QVERIFY(started.wait(20000) || started.count() == 1);
        TorHiddenService* tor = manager->torService();
        QVERIFY(tor);
        QCOMPARE(int(tor->controlPort()), 19451);
        QCOMPARE(int(tor->socksPort()), 19350);
        QCOMPARE(int(manager->com()->socksProxyPort()), 19350);

        const QString id(56, QLatin1Char('a'));
        QMetaObject::invokeMethod(tor, [tor, id] {
            emit tor->createdEd25519v3Key(QStringLiteral("TkVXS0VZ"));
            tor->addOnionResponse(QStringLiteral("250-ServiceID=%1\r\n250 OK\r\n").arg(id).toUtf8());
        }, Qt::BlockingQueuedConnection);
        QCOMPARE(ConnectionManager::storedOnionKey(&db), QStringLiteral("TkVXS0VZ"));
        // The onion service leads to the TCP server: offered only while it listens.
        const auto onionOffered = [manager, id] {
            bool offered = false;
            for (const TransportDto& t : manager->localTransports())
                offered |= t.type == QLatin1String("onion") && t.host == id + QStringLiteral(".onion") && t.stream;
            return offered;
        };
        QVERIFY(!onionOffered());
        com::Com* com = manager->com();
        QMetaObject::invokeMethod(com, [com] { com->startTcpServer(QHostAddress::LocalHost, 0); },
                                  Qt::BlockingQueuedConnection);
        QVERIFY(onionOffered());
        bool offered = false;
        for (const TransportDto& t : manager->localTransports())
            offered |= t.type == QLatin1String("onion") && t.host == id + QStringLiteral(".onion") && t.stream;
        QVERIFY(offered);

        QMetaObject::invokeMethod(manager, [manager] { delete manager; }, Qt::BlockingQueuedConnection);
        io.quit();
        QVERIFY(io.wait(20000));
    }

    // Switched off, nothing of Tor is made.
    PeerModel model2;
    QThread io2;
    auto* plain = new ConnectionManager(&db);
    plain->setTorEnabled(false);
    plain->moveToThread(&io2);
    connect(&io2, &QThread::started, plain, &ConnectionManager::start);
    QSignalSpy started2(plain, &ConnectionManager::started);
    io2.start();
    QVERIFY(started2.wait(20000) || started2.count() == 1);
    QVERIFY(!plain->torService());
    QCOMPARE(plain->torVersion(), QString());
    QMetaObject::invokeMethod(plain, [plain] { delete plain; }, Qt::BlockingQueuedConnection);
    io2.quit();
    QVERIFY(io2.wait(20000));
}

// A config.ini with the given text in dir; returns its path.
static QString writeIni(const QTemporaryDir& dir, const QString& ini)
{
    const QString path = dir.filePath(QStringLiteral("config.ini"));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(ini.toUtf8());
    return path;
}

void TestConnectionManager::stunServersSetting_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QStringList>("servers");
    QTest::newRow("missing key: the built-in six") << "[Logger]\nERR1=true\n" << QStringList{QStringLiteral("*")};
    QTest::newRow("empty: none") << "[Network]\nstunServers=\n" << QStringList{};
    QTest::newRow("one") << "[Network]\nstunServers=127.0.0.1:3478\n" << QStringList{QStringLiteral("127.0.0.1:3478")};
    QTest::newRow("two") << "[Network]\nstunServers=10.0.0.1:3478, 10.0.0.2\n"
                         << QStringList{QStringLiteral("10.0.0.1:3478"), QStringLiteral("10.0.0.2")};
}

void TestConnectionManager::stunServersSetting()
{
    QFETCH(QString, ini);
    QFETCH(QStringList, servers);
    QTemporaryDir dir;
    QSettings settings(writeIni(dir, ini), QSettings::IniFormat);
    const QStringList got = ConnectionManager::configuredStunServers(&settings);
    if (servers == QStringList{QStringLiteral("*")}) {
        QCOMPARE(got.size(), 6);
        // The fifth listens on 19302, the others on the usual port.
        for (int i = 0; i < got.size(); ++i)
            QVERIFY2(got[i].endsWith(i == 4 ? QLatin1String(":19302") : QLatin1String(":3478")), qPrintable(got[i]));
    } else {
        QCOMPARE(got, servers);
    }
}

void TestConnectionManager::linkSilenceLimitSetting_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<qint64>("limitMs");
    const qint64 standard = IPeerHost::DefaultLinkSilenceLimitMs;
    QTest::newRow("missing key: the default") << "[Logger]\nERR1=true\n" << standard;
    QTest::newRow("30 s") << "[Network]\nlinkSilenceLimitSecs=30\n" << qint64(30000);
    QTest::newRow("lowest") << "[Network]\nlinkSilenceLimitSecs=10\n" << qint64(10000);
    QTest::newRow("highest") << "[Network]\nlinkSilenceLimitSecs=3600\n" << qint64(3600000);
    QTest::newRow("too short") << "[Network]\nlinkSilenceLimitSecs=9\n" << standard;
    QTest::newRow("too long") << "[Network]\nlinkSilenceLimitSecs=3601\n" << standard;
    QTest::newRow("not a number") << "[Network]\nlinkSilenceLimitSecs=soon\n" << standard;
    QTest::newRow("empty") << "[Network]\nlinkSilenceLimitSecs=\n" << standard;
}

void TestConnectionManager::linkSilenceLimitSetting()
{
    QFETCH(QString, ini);
    QFETCH(qint64, limitMs);
    QTemporaryDir dir;
    QSettings settings(writeIni(dir, ini), QSettings::IniFormat);
    QCOMPARE(ConnectionManager::configuredLinkSilenceLimitMs(&settings), limitMs);
}

// No relay is named unless config.ini names one; a named relay and a file of
// authorities for its certificate reach the registry.
void TestConnectionManager::turnRelayFromSettings()
{
    {
        AppSettings appSettings;
        appSettings.settings()->remove(QStringLiteral("Network/turnRelayHost"));
        appSettings.settings()->remove(QStringLiteral("Network/turnTrustedCertificates"));
    }
    com::Com plain;
    plain.setTurnRelayHost(QStringLiteral("stale.invalid"));
    ConnectionManager::applyTurnSettings(&plain);
    QCOMPARE(plain.turnRelayHost(), QString());

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString pem = dir.filePath(QStringLiteral("none.pem"));
    {
        QFile file(pem);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a certificate\n");
    }
    {
        AppSettings appSettings;
        appSettings.settings()->setValue(QStringLiteral("Network/turnRelayHost"),
                                         QStringLiteral(" relay.example.test "));
        appSettings.settings()->setValue(QStringLiteral("Network/turnTrustedCertificates"), pem);
    }
    com::Com named;
    ConnectionManager::applyTurnSettings(&named);
    QCOMPARE(named.turnRelayHost(), QStringLiteral("relay.example.test"));
    {
        AppSettings appSettings;
        appSettings.settings()->remove(QStringLiteral("Network/turnRelayHost"));
        appSettings.settings()->remove(QStringLiteral("Network/turnTrustedCertificates"));
    }
}

QTEST_GUILESS_MAIN(TestConnectionManager)
#include "tst_connectionmanager.moc"

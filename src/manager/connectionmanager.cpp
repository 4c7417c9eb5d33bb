#include "manager/connectionmanager.h"
#include "com/link/com.h"
#include "com/link/endpoint.h"
#include "com/tor/torhiddenservice.h"
#include "com/transport/transportudp.h"
#include "core/appsettings.h"
#include "core/databasetransaction.h"
#include "core/idatabase.h"
#include "core/logger.h"
#include "crypto/crypto.h"
#include "manager/proxy.h"
#include "peer/lan/upnp.h"
#include "peer/peerauthenticator.h"
#include "peer/peerfactory.h"
#include "peer/peerloadervelm.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "jobs/vfsjobmodel.h"
#include "models/vfsmodelfactory.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHostInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QSettings>
#include <QSslCertificate>
#include <QUuid>

#include <atomic>

#include <sodium.h>

namespace {
ConnectionManager* s_instance = nullptr;

bool sameTransport(const TransportDto& a, const TransportDto& b)
{
    return a.type == b.type && a.host == b.host && a.port == b.port;
}
} // namespace

class ConnectionManagerPrivate
{
public:
    std::unique_ptr<Crypto> crypto;
    IDatabase* db = nullptr;
    PeerModel* peerModel = nullptr;
    Proxy* proxy = nullptr;
    com::Com* com = nullptr;
    PeerFactory* factory = nullptr;
    PeerLoaderVelm* loader = nullptr;
    PeerAuthenticator* authenticator = nullptr;
    TorHiddenService* tor = nullptr;
    mutable QMutex statusMutex; // the three below, read from any thread
    bool listening = false;
    QString networkStatus;
    QString onionAddress;
    bool torEnabled = true;
    quint16 torControlPort = TorHiddenService::DefaultControlPort;
    quint16 torSocksPort = TorHiddenService::DefaultSocksPort;
    Upnp* upnp = nullptr;
    // Read by peers on the main thread.
    std::atomic<qint64> linkSilenceLimitMs{IPeerHost::DefaultLinkSilenceLimitMs};
};

ConnectionManager::ConnectionManager(IDatabase* db, QObject* parent)
    : QObject(parent), d(new ConnectionManagerPrivate)
{
    d->db = db;
    s_instance = this;
    // Every peer built from now on gets the real drive and file-system models.
    VfsModelFactory::install();
}

ConnectionManager::~ConnectionManager()
{
    if (s_instance == this)
        s_instance = nullptr;
    // The children (registry, factory, authenticator, every endpoint) go
    // before the library holder.
    const QObjectList children = this->children();
    qDeleteAll(children);
    d->crypto.reset();
}

ConnectionManager* ConnectionManager::instance()
{
    return s_instance;
}

PeerModel* ConnectionManager::peerModel() const
{
    return d->peerModel;
}

com::Com* ConnectionManager::com() const
{
    return d->com;
}

PeerFactory* ConnectionManager::peerFactory() const
{
    return d->factory;
}

PeerAuthenticator* ConnectionManager::authenticator() const
{
    return d->authenticator;
}

Upnp* ConnectionManager::upnp() const
{
    return d->upnp;
}

quint16 ConnectionManager::configuredListenPort(QString* problem)
{
    const QString name = QStringLiteral("--com-listen-port");
    const QString text = appArgument(name, QString());
    bool ok = false;
    const int option = text.toInt(&ok, 10);
    const quint16 port = listenPortFor(ok ? option : -1);
    if (problem) {
        problem->clear();
        // Given but empty reads like absent; say so too.
        bool given = !text.isEmpty();
        for (const QString& arg : QCoreApplication::arguments())
            given |= arg == name || arg == name + QLatin1Char('=');
        if (given && (!ok || port != option))
            *problem = QStringLiteral("%1=%2 is not a port number from 1 to 65534; listening on %3 instead")
                           .arg(name, text)
                           .arg(port);
    }
    return port;
}

quint16 ConnectionManager::listenPortFor(int option)
{
    return option >= 1 && option <= 65534 ? quint16(option) : DefaultListenPort;
}

QStringList ConnectionManager::configuredStunServers(QSettings* settings)
{
    const QString key = QStringLiteral("Network/stunServers");
    if (!settings || !settings->contains(key))
        return TransportUdp::defaultStunServers();
    QStringList servers;
    // An ini list reads back as a string when it holds one entry or none.
    const QVariant value = settings->value(key);
    const QStringList entries =
        value.type() == QVariant::StringList ? value.toStringList() : value.toString().split(QLatin1Char(','));
    for (const QString& entry : entries) {
        if (!entry.trimmed().isEmpty())
            servers.append(entry.trimmed());
    }
    return servers;
}

void ConnectionManager::start()
{
    // Every peer makes its session key at once: the library comes first.
    d->crypto.reset(new Crypto);
    d->peerModel = PeerModel::instance();
    // The announcer of invitations; it talks only once the network is on.
    d->upnp = new Upnp(d->db, this);
    d->upnp->setLocalTransports([this] { return localTransports(); });
    d->proxy = new Proxy(this);
    d->com = new com::Com(this);
    d->com->setTurnEnabled(appArgumentInt(QStringLiteral("--turn"), 1) >= 1);
    d->com->setSocksProxyPort(d->torSocksPort);
    applyTurnSettings(d->com);
    {
        AppSettings settings;
        d->com->setStunServers(configuredStunServers(settings.settings()));
        d->linkSilenceLimitMs = configuredLinkSilenceLimitMs(settings.settings());
    }

    QString portProblem;
    const quint16 port = configuredListenPort(&portProblem);
    if (!portProblem.isEmpty())
        reportProblem(portProblem);
    connect(d->com, &com::Com::listenStateChanged, this, [this] { updateNetworkStatus(); });
    connect(d->com, &com::Com::listenFailed, this, [this](quint16 port, const QString& reason) {
        reportProblem(QStringLiteral("cannot listen on TCP port %1: %2; invitations carry no TCP transport "
                                     "until the port is free and the network is switched on again")
                          .arg(port)
                          .arg(reason));
    });
    if (d->torEnabled) {
        d->tor = new TorHiddenService(d->torControlPort, port, storedOnionKey(d->db), d->proxy, this);
        d->tor->setSocksPort(d->torSocksPort);
        IDatabase* db = d->db;
        connect(
            d->tor, &TorHiddenService::createdEd25519v3Key, this,
            [db](const QString& key) {
                db->putCryptoKey(ownPeerUuid(), CryptoKeyDto{QUuid::createUuid().toString(), key.toUtf8(),
                                                             QStringLiteral("ED25519-V3"),
                                                             QDateTime::currentDateTimeUtc()});
            },
            Qt::DirectConnection);
        connect(d->tor, &TorHiddenService::hiddenServiceOnline, this,
                [this](const QString& address) { publishOnionAddress(address); }, Qt::DirectConnection);
    }
    d->factory = new PeerFactory(d->db, this);
    if (d->peerModel)
        connect(d->factory, &PeerFactory::createdPeer, d->peerModel, &PeerModel::addPeer);
    d->loader = new PeerLoaderVelm(d->com, this, d->factory);
    // The identity first, so that the own peer and its listener exist when
    // the stored peers are built.
    const int keyPairs = ensureOwnIdentity(d->db, port);
    if (keyPairs > 1)
        reportProblem(QStringLiteral("the database holds %1 key pairs of this machine; the one stored first "
                                     "(%2) is used")
                          .arg(keyPairs)
                          .arg(PeerLoaderVelm::ownKeyPair(d->db).keyUuid));
    else if (keyPairs < 1)
        reportProblem(QStringLiteral("no key pair of this machine could be stored; it cannot pair with others"));
    d->factory->addPeerLoader(d->loader);

    d->authenticator = new PeerAuthenticator(d->db, this);
    connect(d->com, &com::Com::receivedPubkeyEncryptedMessage, d->authenticator->endpoint(),
            &Endpoint::receivedPubkeyEncryptedMessage);
    // An accepted handshake vouches for the connection it came in on, which
    // the registry then keeps open. Direct: the registry knows that
    // connection only while the message is being delivered.
    com::Com* com = d->com;
    connect(
        d->authenticator, &PeerAuthenticator::receivedHandshakeRequest, com, [com] { com->acceptPubkeyMessage(); },
        Qt::DirectConnection);
    connect(d->authenticator, &PeerAuthenticator::receivedHandshakeRequest, this,
            &ConnectionManager::forwardHandshakeRequestToPeer);
    // The list of running jobs lives here, beside the copy jobs.
    new VfsJobModel(this);
    Logger::log(Logger::NFO1, "connection manager started");
    emit started();
}

void ConnectionManager::setTorEnabled(bool enabled)
{
    d->torEnabled = enabled;
}

void ConnectionManager::setTorPorts(quint16 controlPort, quint16 socksPort)
{
    d->torControlPort = controlPort;
    d->torSocksPort = socksPort;
}

TorHiddenService* ConnectionManager::torService() const
{
    return d->tor;
}

QString ConnectionManager::storedOnionKey(IDatabase* db)
{
    for (const CryptoKeyDto& key : db->getCryptoKeys(ownPeerUuid())) {
        if (key.type != QLatin1String("ED25519-V3") || key.key.isNull())
            continue;
        const int nul = key.key.indexOf('\0');
        const QString text = QString::fromUtf8(nul < 0 ? key.key : key.key.left(nul));
        if (TorHiddenService::isValidKey(text))
            return text;
    }
    return QString();
}

qint64 ConnectionManager::configuredLinkSilenceLimitMs(QSettings* settings)
{
    const QVariant value = settings->value(QStringLiteral("Network/linkSilenceLimitSecs"));
    if (!value.isValid())
        return DefaultLinkSilenceLimitMs;
    bool ok = false;
    const int secs = value.toString().trimmed().toInt(&ok);
    if (!ok || secs < 10 || secs > 3600) {
        Logger::log(Logger::NFO1, "ignore Network/linkSilenceLimitSecs=%s: not a number of seconds from 10 to 3600",
                    qUtf8Printable(value.toString()));
        return DefaultLinkSilenceLimitMs;
    }
    return qint64(secs) * 1000;
}

qint64 ConnectionManager::linkSilenceLimitMs() const
{
    return d->linkSilenceLimitMs.load();
}

void ConnectionManager::applyTurnSettings(com::Com* com)
{
    // No relay unless one is named: by default nothing is sent to one.
    AppSettings appSettings;
    QSettings* settings = appSettings.settings();
    com->setTurnRelayHost(settings->value(QStringLiteral("Network/turnRelayHost")).toString().trimmed());
    const QString trusted = settings->value(QStringLiteral("Network/turnTrustedCertificates")).toString();
    if (!trusted.isEmpty()) {
        const QList<QSslCertificate> certificates = QSslCertificate::fromPath(trusted);
        if (certificates.isEmpty())
            Logger::log(Logger::NFO1, "no certificates in %s", qPrintable(trusted));
        com->setTurnTrustedCertificates(certificates);
    }
}

namespace {

int countKeyPairs(IDatabase* db)
{
    int count = 0;
    for (const CryptoKeyDto& key : db->getCryptoKeys(ownPeerUuid()))
        count += key.type == QLatin1String("pksk") ? 1 : 0;
    return count;
}

// The own peer, a new key pair, its public half and the machine's name, all
// or nothing, unless a key pair is stored by the time the transaction holds
// the database's write lock.
int makeKeyPair(IDatabase* db, const QDateTime& now)
{
    const QString own = ownPeerUuid();
    DatabaseTransaction transaction(db);
    if (!transaction.isActive())
        return countKeyPairs(db);
    const int stored = countKeyPairs(db);
    if (stored > 0)
        return stored;
    QByteArray pksk(64, 0);
    crypto::generateKeyPair(reinterpret_cast<unsigned char*>(pksk.data()),
                            reinterpret_cast<unsigned char*>(pksk.data()) + 32);
    QString name = QHostInfo::localHostName();
    name.replace(QLatin1String(".local"), QString());
    const bool written =
        db->putPeer(PeerDto{own, QStringLiteral("velm"), now})
        && db->putCryptoKey(own, CryptoKeyDto{QUuid::createUuid().toString(), pksk, QStringLiteral("pksk"), now})
        && db->putCryptoKey(own,
                            CryptoKeyDto{QUuid::createUuid().toString(), pksk.left(32), QStringLiteral("pk"), now})
        && db->putPeerAttribute(own, PeerAttributeDto{QUuid::createUuid().toString(), QStringLiteral("name"), name,
                                                      now.toSecsSinceEpoch()});
    sodium_memzero(pksk.data(), std::size_t(pksk.size()));
    if (!written || !transaction.commit()) {
        Logger::log(Logger::ERR1, "failed to store the own key pair");
        return 0;
    }
    return 1;
}

} // namespace

int ConnectionManager::ensureOwnIdentity(IDatabase* db, quint16 port)
{
    const QString own = ownPeerUuid();
    const QDateTime now = QDateTime::currentDateTime();
    int keyPairs = countKeyPairs(db);
    if (keyPairs == 0)
        keyPairs = makeKeyPair(db, now);
    // The local listener, at the port this run listens on.
    for (TransportDto t : db->getTransports(own)) {
        if (t.type == QLatin1String("tcp") && t.host == QLatin1String("127.0.0.1")) {
            if (t.port != port) {
                t.port = port;
                t.timestamp = now.toSecsSinceEpoch();
                db->putTransport(own, t);
            }
            return keyPairs;
        }
    }
    db->putTransport(own, TransportDto{QUuid::createUuid().toString(), QStringLiteral("tcp"),
                                       QStringLiteral("127.0.0.1"), port, now.toSecsSinceEpoch(), true});
    return keyPairs;
}

void ConnectionManager::reportProblem(const QString& text)
{
    Logger::log(Logger::ERR1, "%s", qUtf8Printable(text));
    emit problemReported(text);
}

void ConnectionManager::updateNetworkStatus()
{
    const bool listening = d->com && d->com->isListening();
    const QString error = d->com ? d->com->listenError() : QString();
    const QString status =
        error.isEmpty() ? QString()
                        : QStringLiteral("cannot listen on TCP port %1: %2").arg(d->com->listenPort()).arg(error);
    {
        QMutexLocker lock(&d->statusMutex);
        if (d->listening == listening && d->networkStatus == status)
            return;
        d->listening = listening;
        d->networkStatus = status;
    }
    emit networkStatusChanged();
}

bool ConnectionManager::isListening() const
{
    QMutexLocker lock(&d->statusMutex);
    return d->listening;
}

QString ConnectionManager::networkStatus() const
{
    QMutexLocker lock(&d->statusMutex);
    return d->networkStatus;
}

void ConnectionManager::setNetworkEnabled(bool networkEnabled)
{
    if (!d->com)
        return;
    if (networkEnabled) {
        d->com->startTcpServer(QHostAddress::Any, configuredListenPort());
        d->upnp->start();
        if (d->tor)
            d->tor->startService();
    } else {
        d->com->stopTcpServer();
        d->upnp->stop();
        if (d->tor)
            d->tor->stopService();
        publishOnionAddress(QString());
    }
}

void ConnectionManager::forwardHandshakeRequestToPeer(const PeerDto& peer, const HandshakeDto& handshake)
{
    // The factory knows a newly admitted peer at once; the peer model hears
    // of it only later, on the main thread.
    if (auto* velm = qobject_cast<PeerVelm*>(d->factory ? d->factory->findPeer(peer.uuid) : nullptr))
        velm->onHandshakeRequest(handshake);
}

QString ConnectionManager::torVersion() const
{
    return d->tor ? d->tor->torVersion() : QString();
}

QString ConnectionManager::onionAddress() const
{
    QMutexLocker lock(&d->statusMutex);
    return d->onionAddress;
}

void ConnectionManager::publishOnionAddress(const QString& address)
{
    QMutexLocker lock(&d->statusMutex);
    d->onionAddress = address;
}

QList<QHostAddress> ConnectionManager::localAddresses() const
{
    return d->com ? d->com->localAddresses() : QList<QHostAddress>();
}

std::vector<TransportDto> ConnectionManager::localTransports() const
{
    if (!d->com)
        return std::vector<TransportDto>();
    std::vector<TransportDto> transports = d->com->localTransports();
    // The onion service leads to the TCP server: nothing while it does not listen.
    const QString onion = d->tor && d->com->isListening() ? d->tor->onionAddress() : QString();
    if (!onion.isEmpty())
        transports.push_back(TransportDto{QUuid::createUuid().toString(), QStringLiteral("onion"), onion,
                                          d->com->listenPort(), QDateTime::currentSecsSinceEpoch(), true});
    return transports;
}

QObject* ConnectionManager::ioParent() const
{
    return const_cast<ConnectionManager*>(this);
}

void ConnectionManager::getTransportHosts(const TransportDto&, std::vector<TransportDto>& hosts)
{
    for (const TransportDto& own : localTransports()) {
        bool known = false;
        for (const TransportDto& h : hosts)
            known |= sameTransport(h, own);
        if (!known)
            hosts.push_back(own);
    }
}

#include "peer/peerloadervelm.h"
#include "com/link/com.h"
#include "com/link/endpoint.h"
#include "core/cryptokeydto.h"
#include "core/idatabase.h"
#include "core/logger.h"
#include "peer/ipeerhost.h"
#include "peer/peervelm.h"

#include <QDateTime>
#include <QUuid>

class PeerLoaderVelmPrivate
{
public:
    com::Com* com = nullptr;
    IPeerHost* host = nullptr;
    IDatabase* db = nullptr; // the one the last loadPeer() was given
};

PeerLoaderVelm::PeerLoaderVelm(com::Com* com, IPeerHost* host, QObject* parent)
    : IPeerLoader(parent), d(new PeerLoaderVelmPrivate)
{
    d->com = com;
    d->host = host;
    qRegisterMetaType<TransportDto>("TransportDto");
    qRegisterMetaType<Endpoint*>("Endpoint*");
    qRegisterMetaType<std::vector<TransportDto>>("std::vector<TransportDto>");
}

PeerLoaderVelm::~PeerLoaderVelm() = default;

QString PeerLoaderVelm::typeName() const
{
    return QStringLiteral("velm");
}

IPeer* PeerLoaderVelm::loadPeer(IDatabase* db, const PeerDto& dto)
{
    d->db = db;
    quint32 ownListenPort = 0;
    for (const TransportDto& t : db->getTransports(ownPeerUuid())) {
        if (t.type == QLatin1String("tcp") && t.host == QLatin1String("127.0.0.1")) {
            ownListenPort = t.port;
            break;
        }
    }
    auto* peer = new PeerVelm(dto, ownListenPort, d->host);
    if (d->com) {
        connect(peer, &PeerVelm::mountTransport, d->com, &com::Com::mountTransport, Qt::QueuedConnection);
        connect(peer, &PeerVelm::unmountTransport, d->com, &com::Com::unmountTransport, Qt::QueuedConnection);
        connect(peer, &PeerVelm::configureTransportPeers, d->com, &com::Com::configureTransportPeers,
                Qt::QueuedConnection);
        connect(peer, &PeerVelm::getTransportHosts, d->com, &com::Com::getTransportHosts, Qt::DirectConnection);
        // Direct: the handshake is sent on the io thread, where the
        // connection came up.
        connect(d->com, &com::Com::streamConnected, peer, &PeerVelm::onStreamConnected, Qt::DirectConnection);
    }
    connect(peer, &IPeer::nameChanged, this, &PeerLoaderVelm::onPeerPropertiesChanged, Qt::QueuedConnection);
    connect(peer, &IPeer::displayNameChanged, this, &PeerLoaderVelm::onPeerPropertiesChanged, Qt::QueuedConnection);
    connect(peer, &IPeer::iconChanged, this, &PeerLoaderVelm::onPeerPropertiesChanged, Qt::QueuedConnection);
    connect(peer, &IPeer::deviceTypeChanged, this, &PeerLoaderVelm::onPeerPropertiesChanged, Qt::QueuedConnection);
    connect(peer, &PeerVelm::requestSendHandshakeRequest, this, &PeerLoaderVelm::onRequestSendHandshakeRequest,
            Qt::QueuedConnection);
    if (!peer->isOwnPeer()) {
        peer->addUdpTransport();
        peer->addTurnTransport();
        IPeerHost* host = d->host;
        connect(peer, &PeerVelm::getTransportHosts, this,
                [host](TransportDto dto, std::vector<TransportDto>& hosts) { host->getTransportHosts(dto, hosts); },
                Qt::DirectConnection);
    }
    Logger::log(Logger::NFO1, "load peer %s", qUtf8Printable(dto.uuid));
    return peer;
}

void PeerLoaderVelm::updatePeer(IDatabase* db, IPeer* base)
{
    auto* peer = qobject_cast<PeerVelm*>(base);
    if (!peer)
        return;
    const QString uuid = peer->uuid();
    peer->addTransports(db->getTransports(uuid));
    peer->updateAcls(db->getAcls(uuid));
    for (const CryptoKeyDto& key : db->getCryptoKeys(uuid)) {
        if (key.type == QLatin1String("pk"))
            peer->setCryptoKey(key);
    }
    peer->setCryptoKey(ownKeyPair(db));
    peer->applyAttributes(db->getPeerAttributes(uuid, {}));
    Logger::log(Logger::NFO1, "update peer %s", qUtf8Printable(uuid));
}

void PeerLoaderVelm::loaderAdded(IDatabase*) {}

CryptoKeyDto PeerLoaderVelm::ownKeyPair(IDatabase* db)
{
    // The database gives rows in no fixed order; of several pairs the one
    // stored first (by time, then by uuid) is everybody's choice.
    CryptoKeyDto chosen;
    bool found = false;
    for (const CryptoKeyDto& key : db->getCryptoKeys(ownPeerUuid())) {
        if (key.type != QLatin1String("pksk"))
            continue;
        if (!found || key.timestamp < chosen.timestamp
            || (key.timestamp == chosen.timestamp && key.keyUuid < chosen.keyUuid)) {
            chosen = key;
            found = true;
        }
    }
    return chosen;
}

void PeerLoaderVelm::storePeerAttribute(IDatabase* db, const QString& peerUuid, const QString& key,
                                        const QString& value)
{
    const std::vector<PeerAttributeDto> existing = db->getPeerAttributes(peerUuid, {key});
    PeerAttributeDto attribute;
    if (!existing.empty()) {
        attribute = existing.front();
        if (attribute.value == value)
            return;
    } else {
        if (value.isEmpty())
            return;
        attribute.attrUuid = QUuid::createUuid().toString();
        attribute.key = key;
    }
    attribute.value = value;
    attribute.timestamp = QDateTime::currentSecsSinceEpoch();
    db->putPeerAttribute(peerUuid, attribute);
}

void PeerLoaderVelm::onRequestSendHandshakeRequest(int flags)
{
    if (auto* peer = qobject_cast<PeerVelm*>(sender()))
        peer->sendHandshakeRequest(flags);
}

void PeerLoaderVelm::onPeerPropertiesChanged()
{
    auto* peer = qobject_cast<PeerVelm*>(sender());
    if (!peer || !d->db)
        return;
    const QString uuid = peer->uuid();
    storePeerAttribute(d->db, uuid, QStringLiteral("name"), peer->name());
    storePeerAttribute(d->db, uuid, QStringLiteral("icon"), peer->icon());
    storePeerAttribute(d->db, uuid, QStringLiteral("displayname"), peer->displayName());
    if (peer->deviceType() == IPeer::DeviceLaptop)
        storePeerAttribute(d->db, uuid, QStringLiteral("devicetype"), QStringLiteral("laptop"));
    else if (peer->deviceType() == IPeer::DeviceDesktop)
        storePeerAttribute(d->db, uuid, QStringLiteral("devicetype"), QStringLiteral("desktop"));
}

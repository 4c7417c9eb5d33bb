#include "peer/peerfactory.h"
#include "core/databasetransaction.h"
#include "core/idatabase.h"
#include "core/logger.h"
#include "peer/invitationrecord.h"
#include "peer/ipeer.h"
#include "peer/ipeerloader.h"
#include "peer/peerloadervelm.h"
#include "peer/peervelm.h"

#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <QUuid>

#include <sodium.h>

#include <algorithm>
#include <vector>

class PeerFactoryPrivate
{
public:
    IPeer* findPeerLocked(const QString& uuid) const
    {
        for (IPeer* peer : peers) {
            if (peer->identity().uuid == uuid)
                return peer;
        }
        return nullptr;
    }

    IPeerLoader* findLoaderLocked(const QString& type) const
    {
        for (IPeerLoader* loader : loaders) {
            if (loader->typeName() == type)
                return loader;
        }
        return nullptr;
    }

    // Refreshes a built peer from the database; a change for a peer not
    // built, or of a type without a loader, does nothing.
    void update(const QString& peerUuid)
    {
        IPeer* peer = findPeerLocked(peerUuid);
        if (!peer)
            return;
        if (IPeerLoader* loader = findLoaderLocked(peer->type()))
            loader->updatePeer(db, peer);
    }

    IDatabase* db = nullptr;
    std::vector<IPeerLoader*> loaders;
    std::vector<IPeer*> peers; // never shrinks
    // Recursive: a loader's work may store things whose signals come back
    // directly on this thread.
    mutable QMutex mutex{QMutex::Recursive};
};

PeerFactory::PeerFactory(IDatabase* db, QObject* parent) : QObject(parent), d(new PeerFactoryPrivate)
{
    d->db = db;
    connect(db, &IDatabase::addedPeer, this, &PeerFactory::dbPeerAdded);
    connect(db, &IDatabase::addedPeerTransport, this, &PeerFactory::dbPeerTransportAdded);
    connect(db, &IDatabase::addedPeerCryptoKey, this, &PeerFactory::dbPeerCryptoKeyAdded);
    connect(db, &IDatabase::peerAttributesChanged, this, &PeerFactory::dbPeerAttributesChanged);
    // Shares change on the main thread; the peer's server lives here, so the
    // refresh runs here too.
    connect(db, &IDatabase::addedPeerAcl, this, &PeerFactory::dbPeerAclUpdated);
    connect(db, &IDatabase::removedPeerAcl, this, &PeerFactory::dbPeerAclUpdated);
}

PeerFactory::~PeerFactory() = default;

void PeerFactory::addPeerLoader(IPeerLoader* loader)
{
    {
        QMutexLocker lock(&d->mutex);
        if (std::find(d->loaders.begin(), d->loaders.end(), loader) != d->loaders.end())
            return;
        Logger::log(Logger::NFO1, "add peer loader: %s", qUtf8Printable(loader->typeName()));
        d->loaders.push_back(loader);
    }
    for (const PeerDto& peer : d->db->getPeers(loader->typeName())) {
        dbPeerAdded(peer);
        for (const TransportDto& transport : d->db->getTransports(peer.uuid))
            dbPeerTransportAdded(peer.uuid, transport);
        for (const CryptoKeyDto& key : d->db->getCryptoKeys(peer.uuid))
            dbPeerCryptoKeyAdded(peer.uuid, key);
    }
    loader->loaderAdded(d->db);
}

IPeer* PeerFactory::findPeer(const QString& uuid) const
{
    QMutexLocker lock(&d->mutex);
    return d->findPeerLocked(uuid);
}

IPeerLoader* PeerFactory::findLoader(const QString& type) const
{
    QMutexLocker lock(&d->mutex);
    return d->findLoaderLocked(type);
}

void PeerFactory::dbPeerAdded(const PeerDto& dto)
{
    IPeer* peer = nullptr;
    {
        QMutexLocker lock(&d->mutex);
        Logger::log(Logger::DB1, "added peer %s", qUtf8Printable(dto.uuid));
        // A row written again (the same peer stored twice) must not build a
        // second peer on the same key ids.
        if (d->findPeerLocked(dto.uuid))
            return;
        IPeerLoader* loader = d->findLoaderLocked(dto.type);
        if (!loader)
            return;
        peer = loader->loadPeer(d->db, dto);
        d->peers.push_back(peer);
    }
    emit createdPeer(peer);
}

void PeerFactory::dbPeerTransportAdded(const Uuid& peerUuid, const TransportDto& dto)
{
    // IPv6 addresses are not used yet.
    if (dto.host.indexOf(QLatin1Char(':')) > 0) {
        Logger::log(Logger::DB1, "tmp. ignore IPv6 transport %s, host: %s", qUtf8Printable(dto.type),
                    qUtf8Printable(dto.host));
        return;
    }
    QMutexLocker lock(&d->mutex);
    Logger::log(Logger::DB1, "added transport %s, host: %s", qUtf8Printable(dto.type), qUtf8Printable(dto.host));
    d->update(peerUuid);
}

void PeerFactory::dbPeerAclUpdated(const Uuid& peerUuid, const Uuid& aclUuid)
{
    QMutexLocker lock(&d->mutex);
    Logger::log(Logger::DB1, "added acl %s", qUtf8Printable(aclUuid));
    d->update(peerUuid);
}

void PeerFactory::dbPeerCryptoKeyAdded(const Uuid& peerUuid, const CryptoKeyDto& dto)
{
    QMutexLocker lock(&d->mutex);
    Logger::log(Logger::DB1, "added cryptokey %s", qUtf8Printable(dto.keyUuid));
    d->update(peerUuid);
}

void PeerFactory::dbPeerAttributesChanged(const Uuid& peerUuid)
{
    QMutexLocker lock(&d->mutex);
    Logger::log(Logger::DB1, "peer attributes changed %s", qUtf8Printable(peerUuid));
    d->update(peerUuid);
}

namespace {

// Serialises accepts: each looks up the inviter's key before it stores a new
// peer, and the main window and the announcer may accept one text at once.
QMutex& acceptMutex()
{
    static QMutex mutex;
    return mutex;
}

// Serialises the look-up and write of an invitation password.
QMutex& passwordMutex()
{
    static QMutex mutex;
    return mutex;
}

// Set while this thread is inside an accept. The database announces writes
// on the writing thread, so a receiver connected directly that accepted
// again would otherwise wait for the lock its own thread holds.
thread_local bool t_accepting = false;

class AcceptingScope
{
public:
    AcceptingScope() { t_accepting = true; }
    ~AcceptingScope() { t_accepting = false; }
    AcceptingScope(const AcceptingScope&) = delete;
    AcceptingScope& operator=(const AcceptingScope&) = delete;
};

// The last second of the year 9999: later times of a received invitation
// are taken as this one, so that they stay valid dates.
constexpr quint64 LatestInvitationTime = 253402300799ull;

QString newUuid()
{
    return QUuid::createUuid().toString();
}

bool isOwnPeer(const QString& uuid)
{
    return normalizedUuid(uuid) == normalizedUuid(ownPeerUuid());
}

// The first peer of this program that holds key as its "pk" key, in the
// order the database gives them; empty when there is none.
QString peerHoldingKey(IDatabase* db, const QByteArray& key)
{
    for (const PeerDto& peer : db->getPeers(QStringLiteral("velm"))) {
        for (const CryptoKeyDto& stored : db->getCryptoKeys(peer.uuid)) {
            if (stored.type == QLatin1String("pk") && stored.key.size() == int(InvitationRecord::PublicKeyBytes)
                && stored.key == key)
                return peer.uuid;
        }
    }
    return QString();
}

bool putAttribute(IDatabase* db, const QString& peerUuid, const QString& key, const QString& value,
                  qint64 timestamp)
{
    return db->putPeerAttribute(peerUuid, PeerAttributeDto{newUuid(), key, value, timestamp});
}

} // namespace

QUrl PeerFactory::createInvitation(IDatabase* db, quint32 flags, const QString& id, const QString& name,
                                   const QString& password, quint64 time,
                                   const std::vector<TransportDto>& transports, int* result)
{
    InvitationRecord record;
    record.version = InvitationRecord::RecordVersion;
    record.timestamp = time;
    record.flags = flags & InvitationRecord::FlagsMask;
    record.deviceType = InvitationRecord::deviceTypeForFlags(record.flags);
    record.id = id;
    record.name = name;
    record.transports = transports;

    // "pksk": the public key, then the secret key, which is also the seed of
    // the signing key.
    CryptoKeyDto own = PeerLoaderVelm::ownKeyPair(db);
    QByteArray seed;
    if (own.key.size() == int(InvitationRecord::PublicKeyBytes + InvitationRecord::SigningSeedBytes)) {
        record.publicKey = own.key.left(int(InvitationRecord::PublicKeyBytes));
        seed = own.key.mid(int(InvitationRecord::PublicKeyBytes));
    }
    QUrl url;
    const int rc = record.encode(seed, password, &url);
    sodium_memzero(seed.data(), std::size_t(seed.size()));
    sodium_memzero(own.key.data(), std::size_t(own.key.size()));
    if (result)
        *result = rc;
    return url;
}

bool PeerFactory::decodeInvitation(const QString& text, const QString& password, InvitationRecord* out)
{
    return InvitationRecord::decode(text, password, out) == InvitationRecord::Ok;
}

PeerFactory::AcceptResult PeerFactory::acceptInvitation(IDatabase* db, const QString& text,
                                                        const QString& password)
{
    if (t_accepting) {
        Logger::log(Logger::ERR1, "invitation accepted from inside an accept, ignored");
        return AcceptReentered;
    }
    AcceptingScope accepting;

    // The expensive part, the key derivation, runs before the lock.
    InvitationRecord record;
    if (!decodeInvitation(text, password, &record))
        return AcceptInvalid;

    QMutexLocker lock(&acceptMutex());
    const CryptoKeyDto ownKey = PeerLoaderVelm::ownKeyPair(db);
    QString peerUuid = peerHoldingKey(db, record.publicKey);
    if (ownKey.key.left(int(InvitationRecord::PublicKeyBytes)) == record.publicKey
        || (!peerUuid.isEmpty() && isOwnPeer(peerUuid))) {
        Logger::log(Logger::NFO1, "ignore invitation of own peer");
        return AcceptOwnPeer;
    }

    const qint64 invitationTime = qint64(qMin(record.timestamp, LatestInvitationTime));
    const QDateTime invitationDate = QDateTime::fromSecsSinceEpoch(invitationTime, Qt::UTC);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    // A new peer is stored whole or not at all: with its key, its
    // attributes and its transports in one transaction, so that a failed
    // write leaves no peer that no key could ever identify, and the same
    // invitation can be accepted again. It is built once the rows are in.
    DatabaseTransaction transaction(db);
    if (!transaction.isActive()) {
        Logger::log(Logger::ERR1, "accepting invitation %s: no transaction, nothing stored", qUtf8Printable(record.id));
        return AcceptStoreFailed;
    }
    AcceptResult result = AcceptKnownPeer;
    bool written = true;
    if (peerUuid.isEmpty()) {
        peerUuid = newUuid();
        written = db->putPeer(PeerDto{peerUuid, QStringLiteral("velm"), invitationDate})
                  && db->putCryptoKey(peerUuid,
                                      CryptoKeyDto{newUuid(), record.publicKey, QStringLiteral("pk"), invitationDate});
        if (written && !record.name.isEmpty())
            written = putAttribute(db, peerUuid, QStringLiteral("name"), record.name, now);
        const QString device = record.deviceType == IPeer::DeviceDesktop  ? QStringLiteral("desktop")
                               : record.deviceType == IPeer::DeviceLaptop ? QStringLiteral("laptop")
                                                                          : QString();
        if (written && !device.isEmpty()) {
            written = putAttribute(db, peerUuid, QStringLiteral("devicetype"), device, now)
                      && putAttribute(db, peerUuid, QStringLiteral("icon"), QStringLiteral("dev-") + device, now);
        }
        result = AcceptNewPeer;
    }

    // The handshakes of the new peer carry this id until the link is up.
    bool hasInvitation = false;
    for (const PeerAttributeDto& a : db->getPeerAttributes(peerUuid, {QStringLiteral("invitation")}))
        hasInvitation |= a.value == record.id;
    // A known peer keeps what it had when a row cannot be added; a new one
    // must come whole.
    const auto added = [&written, result](bool ok) {
        if (!ok && result == AcceptNewPeer)
            written = false;
        return ok;
    };
    if (written && !hasInvitation)
        added(putAttribute(db, peerUuid, QStringLiteral("invitation"), record.id, invitationTime));

    std::vector<TransportDto> stored = db->getTransports(peerUuid);
    for (const TransportDto& t : record.transports) {
        const bool known = std::any_of(stored.begin(), stored.end(), [&t](const TransportDto& s) {
            return s.type == t.type && s.host == t.host && s.port == t.port;
        });
        if (written && !known && added(db->putTransport(peerUuid, t)))
            stored.push_back(t);
    }
    if (!written || !transaction.commit()) {
        Logger::log(Logger::ERR1, "accepting invitation %s: the peer could not be stored, nothing stored",
                    qUtf8Printable(record.id));
        return AcceptStoreFailed;
    }
    if (result == AcceptNewPeer)
        Logger::log(Logger::NFO1, "accepted invitation %s, new peer %s", qUtf8Printable(record.id),
                    qUtf8Printable(peerUuid));

    // The password has done its work; the announcer need not try it on
    // every announcement from now on.
    const QString own = ownPeerUuid();
    for (const PeerAttributeDto& a : db->getPeerAttributes(own, {QStringLiteral("invpw")})) {
        if (a.value == password)
            db->deletePeerAttribute(own, a.attrUuid);
    }
    return result;
}

bool PeerFactory::addInvitationPassword(IDatabase* db, const QString& password)
{
    if (password.isEmpty())
        return false;
    QMutexLocker lock(&passwordMutex());
    const QString own = ownPeerUuid();
    for (const PeerAttributeDto& a : db->getPeerAttributes(own, {})) {
        if (a.key == QLatin1String("invpw") && a.value == password)
            return true;
    }
    return putAttribute(db, own, QStringLiteral("invpw"), password, QDateTime::currentSecsSinceEpoch());
}

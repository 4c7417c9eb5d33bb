#include "peer/peerauthenticator.h"

#include "com/link/endpoint.h"
#include "core/cryptokeydto.h"
#include "core/databasetransaction.h"
#include "core/idatabase.h"
#include "core/invitationdto.h"
#include "core/logger.h"
#include "core/machineclassifier.h"
#include "peer/peerloadervelm.h"
#include "peer/peervelm.h"

#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QSet>
#include <QVector>
#include <QUuid>

#include <sodium.h>

#include <algorithm>
#include <vector>

namespace {

constexpr std::size_t KeyBytes = HandshakeDto::KeyBytes;

bool sameTransport(const TransportDto& a, const TransportDto& b)
{
    return a.type == b.type && a.host == b.host && a.port == b.port;
}

bool isStreamType(const QString& type)
{
    return type == QLatin1String("tcp") || type == QLatin1String("onion");
}

// A transport we have not stored yet is kept only when it can lead to the
// peer on a network of our own: an onion service, or a specific address that
// is neither loopback nor link-local and, for IPv4, private. Public addresses
// are learnt from the transport a message really arrives on, not from what a
// record says.
bool mayStoreNewTransport(const TransportDto& t)
{
    if (t.type == QLatin1String("onion"))
        return true;
    QHostAddress address;
    if (!address.setAddress(t.host) || address.isNull())
        return false;
    // An IPv4 address written as IPv6 (::ffff:a.b.c.d) is judged as IPv4.
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    if (isIPv4)
        address = QHostAddress(ipv4);
    if (address.isLoopback() || address.isLinkLocal() || address.isMulticast()
        || address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6)
        return false;
    return !isIPv4 || isPrivateIPv4Address(ipv4);
}

} // namespace

class PeerAuthenticatorPrivate
{
public:
    explicit PeerAuthenticatorPrivate(IDatabase* db) : db(db) {}

    qint64 now() const { return clock ? clock() : QDateTime::currentSecsSinceEpoch(); }
    bool findKnownPeer(const QByteArray& publicKey, PeerDto& peer) const;
    bool admitByInvitation(const QString& invitationUuid, const QByteArray& publicKey,
                           const std::vector<TransportDto>& transports, qint64 now, PeerDto& peer);
    // False when a write failed (logged); the others are still tried.
    bool storeTransports(const Uuid& peerUuid, const std::vector<TransportDto>& transports, qint64 now);

    IDatabase* db;
    Endpoint* endpoint = nullptr;
    std::function<qint64()> clock;
    // The latest time field accepted from each peer; a record must be newer
    // to pass, so a recorded one cannot be played again. The exception is a
    // record of a session not among the peer's last ones and within
    // RestartToleranceSecs (a restarted peer): a played record names a
    // session already seen, one that was never accepted is dropped by its
    // peer at the first datagram and renegotiated.
    QHash<Uuid, quint64> lastHandshakeTime;
    QHash<Uuid, QVector<quint32>> seenSessions;
    // Invitations used up whose deletion failed: refused all the same.
    QSet<Uuid> usedInvitations;
};

bool PeerAuthenticatorPrivate::findKnownPeer(const QByteArray& publicKey, PeerDto& peer) const
{
    const Uuid own = normalizedUuid(ownPeerUuid());
    for (const PeerDto& candidate : db->getPeers(QStringLiteral("velm"))) {
        if (normalizedUuid(candidate.uuid) == own)
            continue;
        for (const CryptoKeyDto& key : db->getCryptoKeys(candidate.uuid)) {
            if (key.type == QLatin1String("pk") && key.key == publicKey) {
                peer = candidate;
                return true;
            }
        }
    }
    return false;
}

bool PeerAuthenticatorPrivate::admitByInvitation(const QString& invitationUuid, const QByteArray& publicKey,
                                                 const std::vector<TransportDto>& transports, qint64 now,
                                                 PeerDto& peer)
{
    const QByteArray hex = publicKey.toHex();
    if (invitationUuid.isEmpty()) {
        Logger::log(Logger::HSK1, "AUTH ignore unknown PK %s (no invitation)", hex.constData());
        return false;
    }
    const Uuid wanted = normalizedUuid(invitationUuid);
    const std::vector<InvitationDto> invitations = db->getInvitations();
    const auto invitation = std::find_if(invitations.begin(), invitations.end(), [&wanted](const InvitationDto& i) {
        return normalizedUuid(i.uuid) == wanted;
    });
    if (invitation == invitations.end() || usedInvitations.contains(wanted)) {
        Logger::log(Logger::HSK1, "AUTH ignore unknown PK %s (unknown invitation uuid)", hex.constData());
        return false;
    }
    if (invitation->expires < now) {
        Logger::log(Logger::HSK1, "AUTH ignore unknown PK %s (invitation expired)", hex.constData());
        return false;
    }
    Logger::log(Logger::HSK1, "AUTH unknown PK %s", hex.constData());

    const QDateTime stamp = QDateTime::fromSecsSinceEpoch(now, Qt::UTC);
    const CryptoKeyDto key{QUuid::createUuid().toString(), publicKey, QStringLiteral("pk"), stamp};
    const PeerDto created{QUuid::createUuid().toString(), QStringLiteral("velm"), stamp};
    Logger::log(Logger::HSK1, "AUTH create new peer %s ", qUtf8Printable(created.uuid));
    // The peer, its key and its transports are stored together or not at
    // all: a peer without its key could never be recognised, and the next
    // attempt would add another. The invitation goes only once they are
    // stored, so that a failed write leaves it for the next attempt; the
    // peer is built when the transaction commits.
    {
        DatabaseTransaction transaction(db);
        const char* failed = !transaction.isActive()                      ? "begin a transaction"
                             : !db->putPeer(created)                       ? "store the peer"
                             : !db->putCryptoKey(created.uuid, key)        ? "store its key"
                             : !storeTransports(created.uuid, transports, now) ? "store its transports"
                             : !transaction.commit()                       ? "commit"
                                                                           : nullptr;
        if (failed) {
            Logger::log(Logger::ERR1, "AUTH could not %s for new peer %s, nothing stored, invitation %s kept",
                        failed, qUtf8Printable(created.uuid), qUtf8Printable(wanted));
            return false;
        }
    }
    // An invitation admits one peer only, even when it cannot be deleted.
    if (!db->deleteInvitation(invitation->uuid)) {
        Logger::log(Logger::ERR1, "AUTH could not delete invitation %s, refused from now on",
                    qUtf8Printable(wanted));
        usedInvitations.insert(wanted);
    }
    peer = created;
    return true;
}

bool PeerAuthenticatorPrivate::storeTransports(const Uuid& peerUuid, const std::vector<TransportDto>& transports,
                                               qint64 now)
{
    bool allStored = true;
    std::vector<TransportDto> stored = db->getTransports(peerUuid);
    const qint64 cutOff = now - PeerAuthenticator::TransportRefreshSecs;
    for (const TransportDto& t : transports) {
        const auto known = std::find_if(stored.begin(), stored.end(),
                                        [&t](const TransportDto& s) { return sameTransport(s, t); });
        if (known != stored.end()) {
            if (known->timestamp >= cutOff)
                continue;
            TransportDto refreshed;
            refreshed.uuid = known->uuid;
            refreshed.type = known->type;
            refreshed.host = known->host;
            refreshed.port = known->port;
            refreshed.timestamp = now;
            refreshed.stream = isStreamType(known->type);
            if (db->putTransport(peerUuid, refreshed)) {
                *known = refreshed;
            } else {
                allStored = false;
                Logger::log(Logger::ERR1, "AUTH could not refresh transport %s : %u (%s)",
                            qUtf8Printable(t.host), unsigned(t.port), qUtf8Printable(t.type));
            }
            continue;
        }
        if (!mayStoreNewTransport(t)) {
            Logger::log(Logger::HSK1, "AUTH not storing transport %s : %u (%s)", qUtf8Printable(t.host),
                        unsigned(t.port), qUtf8Printable(t.type));
            continue;
        }
        // Remembered here too, so that a transport listed twice is stored once.
        if (db->putTransport(peerUuid, t)) {
            stored.push_back(t);
        } else {
            allStored = false;
            Logger::log(Logger::ERR1, "AUTH could not store transport %s : %u (%s)", qUtf8Printable(t.host),
                        unsigned(t.port), qUtf8Printable(t.type));
        }
    }
    return allStored;
}

PeerAuthenticator::PeerAuthenticator(IDatabase* db, QObject* parent)
    : QObject(parent)
    , d(new PeerAuthenticatorPrivate(db))
{
    IDatabase::registerMetaTypes();
    HandshakeDto::registerMetaType();

    d->endpoint = new Endpoint(this);
    d->endpoint->setObjectName(QStringLiteral("AUTH"));
    // Direct: the sender key of the message is readable only while the
    // endpoint emits.
    connect(d->endpoint, &Endpoint::receivedMessagePKI, this, &PeerAuthenticator::receivedMessagePKI,
            Qt::DirectConnection);

    if (!d->db)
        return;
    for (const CryptoKeyDto& key : d->db->getCryptoKeys(ownPeerUuid()))
        Logger::log(Logger::NFO1, "AUTH load key type %s length %d", qUtf8Printable(key.type), int(key.key.size()));
    // The same pair as every other reader, should there be several.
    const CryptoKeyDto own = PeerLoaderVelm::ownKeyPair(d->db);
    if (!own.key.isEmpty())
        d->endpoint->setCryptoKey(own);
}

PeerAuthenticator::~PeerAuthenticator() = default;

Endpoint* PeerAuthenticator::endpoint() const
{
    return d->endpoint;
}

void PeerAuthenticator::setClock(std::function<qint64()> secondsSinceEpoch)
{
    d->clock = std::move(secondsSinceEpoch);
}

void PeerAuthenticator::receivedMessagePKI(TransportDto rxTransport, const quint8* m, size_t mlen)
{
    HandshakeDto record;
    if (!d->db || !m || record.parse(m, mlen) != HandshakeDto::ParseOk)
        return;
    Logger::log(Logger::HSK1, "AUTH received handshake request, length: %u, from %s : %u (%s)", unsigned(mlen),
                qUtf8Printable(rxTransport.host), unsigned(rxTransport.port), qUtf8Printable(rxTransport.type));

    QString invitationUuid;
    for (const auto& [key, value] : record.attributes) {
        if (!value)
            continue;
        Logger::log(Logger::HSK1, "\t%s : %s", key.c_str(), value->c_str());
        if (key == "invitation")
            invitationUuid = QString::fromUtf8(value->data(), int(value->size()));
    }

    // The identity is the key that sealed the message; the record must name
    // that very key, and it must not be our own.
    const QByteArray publicKey(reinterpret_cast<const char*>(record.publicKey.data()), int(KeyBytes));
    const QByteArray hex = publicKey.toHex();
    if (!record.hasPublicKey() || sodium_memcmp(record.publicKey.data(), d->endpoint->pkiSenderKey(), KeyBytes) != 0) {
        Logger::log(Logger::HSK1, "AUTH ignore PK %s (not the key that sealed the message)", hex.constData());
        return;
    }
    if (sodium_memcmp(record.publicKey.data(), d->endpoint->ownPublicKey(), KeyBytes) == 0) {
        Logger::log(Logger::HSK1, "AUTH ignore PK %s (own key)", hex.constData());
        return;
    }

    // At most MaxTransports go on, the arrival transport among them when it
    // is to be added.
    const auto firstListed = record.transports.begin();
    const auto lastListed = firstListed + std::ptrdiff_t(std::min(record.transports.size(), MaxTransports));
    const bool addArrival = !rxTransport.host.isEmpty() && rxTransport.type != QLatin1String("udp")
                            && std::none_of(firstListed, lastListed, [&rxTransport](const TransportDto& t) {
                                   return sameTransport(t, rxTransport);
                               });
    const std::size_t listedLimit = addArrival ? MaxTransports - 1 : MaxTransports;
    if (record.transports.size() > listedLimit) {
        Logger::log(Logger::HSK1, "AUTH handshake lists %u transports, taking the first %u",
                    unsigned(record.transports.size()), unsigned(listedLimit));
        record.transports.erase(record.transports.begin() + std::ptrdiff_t(listedLimit), record.transports.end());
    }

    const qint64 now = d->now();
    PeerDto peer;
    if (d->findKnownPeer(publicKey, peer)) {
        Logger::log(Logger::HSK1, "AUTH known PK %s", hex.constData());
        const auto last = d->lastHandshakeTime.constFind(peer.uuid);
        if (last != d->lastHandshakeTime.constEnd() && record.time <= *last) {
            const bool newSession = !d->seenSessions.value(peer.uuid).contains(record.session);
            if (!newSession || record.time + RestartToleranceSecs < *last) {
                Logger::log(Logger::HSK1, "AUTH ignore PK %s (handshake time %llu, not after %llu)", hex.constData(),
                            static_cast<unsigned long long>(record.time), static_cast<unsigned long long>(*last));
                return;
            }
            Logger::log(Logger::HSK1, "AUTH PK %s starts session %u (handshake time %llu, latest %llu)",
                        hex.constData(), record.session, static_cast<unsigned long long>(record.time),
                        static_cast<unsigned long long>(*last));
        }
        d->storeTransports(peer.uuid, record.transports, now);
    } else if (!d->admitByInvitation(invitationUuid, publicKey, record.transports, now, peer)) {
        return;
    }
    quint64& latest = d->lastHandshakeTime[peer.uuid];
    latest = std::max(latest, record.time);
    QVector<quint32>& sessions = d->seenSessions[peer.uuid];
    if (!sessions.contains(record.session)) {
        sessions.append(record.session);
        if (sessions.size() > RememberedSessions)
            sessions.removeFirst();
    }

    if (addArrival)
        record.transports.push_back(rxTransport);

    emit receivedHandshakeRequest(peer, record);
}

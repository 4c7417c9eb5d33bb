#pragma once

#include "core/cryptokeydto.h"
#include "core/imagecachedto.h"
#include "core/invitationdto.h"
#include "core/peeracldto.h"
#include "core/peerattributedto.h"
#include "core/peerdto.h"
#include "core/transportdto.h"
#include "core/uuid.h"
#include "core/vnodedto.h"
#include "core/vsectordto.h"

#include <QObject>
#include <QSize>

#include <vector>

// The store of peers, their attributes, keys, transports and shares, of the
// pending invitations, the node-view layout and the preview image cache.
//
// Every operation may be called from any thread. Writes return true when
// their statements succeeded (a row skipped on purpose counts as success);
// reads return an empty vector on failure. UUIDs are brought into one form
// (normalizedUuid) on the way in and on the way out, so callers may pass any
// spelling of a UUID. QDateTime fields are stored as whole seconds and read
// back in UTC (the same instant; toLocalTime() for display). Changes are announced by the signals below, emitted on
// the calling thread; receivers on other threads get them queued.
class IDatabase : public QObject
{
    Q_OBJECT
public:
    explicit IDatabase(QObject* parent = nullptr);
    ~IDatabase() override;

    // Creates and migrates the schema; false when any step failed.
    virtual bool init() = 0;

    // A transaction on the calling thread's connection: the writes between
    // begin and commit land together or not at all. Their change signals are
    // held back until the commit and dropped by a rollback, so that nobody
    // acts on a row that may still go. Transactions nest: only the outermost
    // commit writes, and a rollback at any depth undoes the whole (the
    // outermost commit then fails). DatabaseTransaction pairs the calls.
    virtual bool beginTransaction() = 0;
    virtual bool commitTransaction() = 0;
    virtual bool rollbackTransaction() = 0;

    // Insert or replace by uuid; emits addedInvitation.
    virtual bool putInvitation(const InvitationDto& dto) = 0;
    virtual std::vector<InvitationDto> getInvitations() = 0;
    // Emits removedInvitation, also when there was no such row.
    virtual bool deleteInvitation(const Uuid& invUuid) = 0;

    virtual std::vector<PeerDto> getPeers(const QString& type) = 0;
    // Insert only: a peer that exists keeps its row. Emits addedPeer on insert.
    virtual bool putPeer(const PeerDto& dto) = 0;

    // Insert or update by attribute uuid; an attribute never moves to another
    // peer. Emits peerAttributesChanged.
    virtual bool putPeerAttribute(const Uuid& peerUuid, const PeerAttributeDto& dto) = 0;
    virtual bool deletePeerAttribute(const Uuid& peerUuid, const Uuid& attrUuid) = 0;
    // All attributes of the peer, or only those whose key is listed
    // (exact, case-sensitive) when keys is not empty.
    virtual std::vector<PeerAttributeDto> getPeerAttributes(const Uuid& peerUuid,
                                                            const std::vector<QString>& keys) = 0;

    virtual std::vector<TransportDto> getTransports(const Uuid& peerUuid) = 0;
    // Insert or update host, port and time by transport uuid; type and peer
    // of a stored transport never change. Emits addedPeerTransport only for
    // a transport that was new.
    virtual bool putTransport(const Uuid& peerUuid, const TransportDto& dto) = 0;

    virtual std::vector<PeerAclDto> getAcls(const Uuid& peerUuid) = 0;
    // Insert or update by share uuid; a share never moves to another peer.
    // Emits addedPeerAcl after every write.
    virtual bool putAcl(const Uuid& peerUuid, const PeerAclDto& dto) = 0;
    // Deletes the share of that peer; emits removedPeerAcl only when a row went.
    virtual bool deleteAcl(const Uuid& peerUuid, const Uuid& aclUuid) = 0;

    virtual std::vector<CryptoKeyDto> getCryptoKeys(const Uuid& peerUuid) = 0;
    // Insert only: a stored key is never replaced. Emits addedPeerCryptoKey on insert.
    virtual bool putCryptoKey(const Uuid& peerUuid, const CryptoKeyDto& dto) = 0;

    virtual std::vector<VSectorDto> getVSectors() = 0;
    virtual bool putVSector(const VSectorDto& dto) = 0;
    // Deleting a sector deletes its nodes.
    virtual bool deleteVSector(const Uuid& vsectorUuid) = 0;

    virtual std::vector<VNodeDto> getVNodes(const Uuid& vsectorUuid) = 0;
    // Update by uuid (peer and sector of a stored node never change), else insert.
    virtual bool putVNode(const VNodeDto& dto) = 0;
    virtual bool deleteVNode(const Uuid& vnodeUuid) = 0;

    // The cached images of that file and modification time whose bytes are
    // not empty and whose width is at most maxWidth.
    virtual std::vector<ImageCacheDto> getImages(const Uuid& peerUuid, const QString& uri,
                                                 qint64 mtime, int maxWidth) = 0;
    std::vector<ImageCacheDto> getImages(const Uuid& peerUuid, const QString& uri, qint64 mtime,
                                         const QSize& limit)
    {
        return getImages(peerUuid, uri, mtime, limit.width());
    }
    // Inserts the image once; afterwards only its last-use time moves.
    virtual bool putImage(const ImageCacheDto& dto) = 0;

    // Registers the records with the meta-type system (once per process);
    // the constructor does it.
    static void registerMetaTypes();

signals:
    void addedPeer(const PeerDto& dto);
    void addedPeerTransport(const Uuid& peerUuid, const TransportDto& dto);
    void addedPeerCryptoKey(const Uuid& peerUuid, const CryptoKeyDto& dto);
    void addedPeerAcl(const Uuid& peerUuid, const Uuid& aclUuid);
    void removedPeerAcl(const Uuid& peerUuid, const Uuid& aclUuid);
    void peerAttributesChanged(const Uuid& peerUuid);
    void addedInvitation(const Uuid& invUuid);
    void removedInvitation(const Uuid& invUuid);
};

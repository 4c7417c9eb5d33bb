#pragma once

#include "core/cryptokeydto.h"
#include "core/peerdto.h"
#include "core/transportdto.h"
#include "core/uuid.h"

#include <QObject>
#include <QUrl>

#include <memory>
#include <vector>

class IDatabase;
class IPeer;
class IPeerLoader;
class PeerFactoryPrivate;
struct InvitationRecord;

// Turns stored peers into peer objects: every change of a peer row,
// transport, key, share or attribute reaches the loader of the peer's type,
// which builds the peer or refreshes it from the database. Lives on the io
// thread; database changes made on other threads arrive queued.
class PeerFactory : public QObject
{
    Q_OBJECT
public:
    explicit PeerFactory(IDatabase* db, QObject* parent = nullptr);
    ~PeerFactory() override;

    // Registers a loader and replays the stored peers of its type; a loader
    // registered already is left alone.
    void addPeerLoader(IPeerLoader* loader);

    // Any thread. The peer built for that uuid, or null.
    IPeer* findPeer(const QString& uuid) const;
    IPeerLoader* findLoader(const QString& type) const;

    // Invitations. Static and usable from any thread; each database call
    // runs on the calling thread's connection.

    enum AcceptResult {
        AcceptNewPeer = 0,     // the inviter is stored as a new peer
        AcceptKnownPeer = 1,   // the inviter was known; missing rows were added
        AcceptOwnPeer = 2,     // the own invitation; nothing stored
        AcceptInvalid = 3,     // not an invitation under that password; nothing stored
        AcceptStoreFailed = 4, // the peer or its key could not be stored
        AcceptReentered = 5,   // called again from inside an accept on this thread; nothing done
    };

    // The text of an invitation to this machine: flags is the own device
    // type, id the invitation's uuid, name the own name, time its creation
    // in seconds. The own key pair is read from db; only tcp, udp and onion
    // transports are carried. Empty when no invitation that the other side
    // could open can be made (no key pair, nothing reachable, too large);
    // result, when given, receives the InvitationRecord::Result. Stores
    // nothing: the invitation row is the caller's.
    static QUrl createInvitation(IDatabase* db, quint32 flags, const QString& id, const QString& name,
                                 const QString& password, quint64 time,
                                 const std::vector<TransportDto>& transports, int* result = nullptr);
    // True when text is an invitation that password opens; out is filled
    // then (and not to be used otherwise). A text is judged by its length
    // and its size header before anything is decompressed, and no key is
    // derived unless it holds a sealed record of at most 512 bytes.
    static bool decodeInvitation(const QString& text, const QString& password, InvitationRecord* out);
    // Stores the inviter of text as a peer (key "pk", name, device type,
    // icon, the "invitation" attribute, transports), or adds what is missing
    // to the peer that holds its key. After an accept the own "invpw"
    // attributes holding password are removed. Accepts of all threads run
    // one at a time.
    static AcceptResult acceptInvitation(IDatabase* db, const QString& text, const QString& password);
    // Keeps password as an "invpw" attribute of the own peer, under which
    // announced invitations are accepted. False for an empty password or a
    // failed write; true also when it is stored already.
    static bool addInvitationPassword(IDatabase* db, const QString& password);

signals:
    // A peer object was built; it already lives on the main thread.
    void createdPeer(IPeer*);

public slots:
    void dbPeerAdded(const PeerDto& dto);
    void dbPeerTransportAdded(const Uuid& peerUuid, const TransportDto& dto);
    void dbPeerAclUpdated(const Uuid& peerUuid, const Uuid& aclUuid);
    void dbPeerCryptoKeyAdded(const Uuid& peerUuid, const CryptoKeyDto& dto);
    void dbPeerAttributesChanged(const Uuid& peerUuid);

private:
    std::unique_ptr<PeerFactoryPrivate> d;
};

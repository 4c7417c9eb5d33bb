#include "share/shareopener.h"

#include "core/logger.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "share/sharerecord.h"
#include "share/sharewithdialog.h"

namespace {
IPeer* findPeer(PeerModel* peers, const QString& peerUuid)
{
    IPeer* peer = peers ? peers->getPeerForUuid(peerUuid) : nullptr;
    if (!peer)
        Logger::log(Logger::NFO1, "share: no peer %s", qUtf8Printable(peerUuid));
    return peer;
}
} // namespace

ShareWithDialog* ShareOpener::shareItem(QQmlEngine* engine, IDatabase* db, PeerModel* peers, const QString& peerUuid,
                                        const QModelIndexList& selected, const QModelIndex& shownDirectory,
                                        bool ownMachine, QObject* parent)
{
    IPeer* peer = findPeer(peers, peerUuid);
    PeerAclDto acl;
    if (!peer || !ShareRecord::prepareShare(db, peer->uuid(), selected, shownDirectory, ownMachine, &acl))
        return nullptr;
    return ShareWithDialog::open(engine, db, peer, acl, parent);
}

ShareWithDialog* ShareOpener::shareDrive(QQmlEngine* engine, IDatabase* db, PeerModel* peers,
                                         const QString& peerUuid, const QModelIndexList& selected, QObject* parent)
{
    IPeer* peer = findPeer(peers, peerUuid);
    PeerAclDto acl;
    if (!peer || !ShareRecord::prepareDriveShare(db, peer->uuid(), selected, &acl))
        return nullptr;
    return ShareWithDialog::open(engine, db, peer, acl, parent);
}

ShareWithDialog* ShareOpener::editShare(QQmlEngine* engine, IDatabase* db, PeerModel* peers, const QString& peerUuid,
                                        const QString& aclUuid, QObject* parent)
{
    Logger::log(Logger::NFO1, "edit acl %s of peer %s", qUtf8Printable(aclUuid), qUtf8Printable(peerUuid));
    IPeer* peer = findPeer(peers, peerUuid);
    PeerAclDto acl;
    if (!peer || !ShareRecord::findShare(db, peer->uuid(), aclUuid, &acl))
        return nullptr;
    return ShareWithDialog::open(engine, db, peer, acl, parent);
}

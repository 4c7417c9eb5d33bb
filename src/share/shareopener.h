#pragma once

#include <QModelIndexList>
#include <QString>

class IDatabase;
class PeerModel;
class QObject;
class QQmlEngine;
class ShareWithDialog;

// What a file view's share commands do, from the chosen peer to the open
// share window: the peer looked up in the peer model, the share record
// prepared from the selection (or found by its uuid), the dialog made on
// the shared engine and shown. Each returns the dialog, or null when
// nothing opened (unknown peer, nothing to share, no such share, no
// window).
class ShareOpener
{
public:
    // "Share with" the peer: the selected item, or with nothing selected in
    // a view of the own machine the shown directory.
    static ShareWithDialog* shareItem(QQmlEngine* engine, IDatabase* db, PeerModel* peers, const QString& peerUuid,
                                      const QModelIndexList& selected, const QModelIndex& shownDirectory,
                                      bool ownMachine, QObject* parent);
    // "Share drive with" the peer: the drive that holds the selection.
    static ShareWithDialog* shareDrive(QQmlEngine* engine, IDatabase* db, PeerModel* peers, const QString& peerUuid,
                                       const QModelIndexList& selected, QObject* parent);
    // The peer page's "edit" of one stored share.
    static ShareWithDialog* editShare(QQmlEngine* engine, IDatabase* db, PeerModel* peers, const QString& peerUuid,
                                      const QString& aclUuid, QObject* parent);
};

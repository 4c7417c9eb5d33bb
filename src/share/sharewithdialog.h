#pragma once

#include "core/peeracldto.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

class IDatabase;
class IPeer;
class QQmlEngine;

// Drives the share window (qml/dialogs/ShareWithDialog.qml) for one share of
// one peer: fills it from the record, stores the user's choice with
// IDatabase::putAcl or removes the share with IDatabase::deleteAcl, and goes
// away with its window once that window is hidden.
//
// The window closes only after the store has taken the change; when it has
// not, the window stays open and shows why. A window that cannot be created
// is logged, nothing opens, and the controller deletes itself.
class ShareWithDialog : public QObject
{
    Q_OBJECT
public:
    ShareWithDialog(QQmlEngine* engine, IDatabase* db, IPeer* peer, const PeerAclDto& acl,
                    QObject* parent = nullptr, const QUrl& source = defaultSource());
    ~ShareWithDialog() override;

    // Makes a dialog and shows it. Null when its window could not be made
    // (the controller is then already on its way out).
    static ShareWithDialog* open(QQmlEngine* engine, IDatabase* db, IPeer* peer, const PeerAclDto& acl,
                                 QObject* parent = nullptr);

    static QUrl defaultSource();
    // Registers the window's QML file with the resources; once is enough,
    // more is harmless.
    static void initResources();
    // The icon the window shows for a record: drive, folder, or the file
    // type's icon from its name.
    static QString iconFor(const PeerAclDto& acl);

    // The window; null when it could not be made or once it was closed.
    QObject* window() const;
    const PeerAclDto& acl() const;
    QString peerUuid() const;

public slots:
    void onDialogClose(bool visible);
    void onAccepted(bool canEdit);
    void onRemoveShare();
    void show();

private:
    void fail(const QString& message);
    void close();

    QPointer<QObject> m_window;
    IDatabase* m_db = nullptr;
    PeerAclDto m_acl;
    QString m_peerUuid;
    bool m_closing = false;
};

#pragma once

#include "manager/connectionmanager.h"
#include "core/peeracldto.h"
#include "peer/ipeer.h"

#include <QMutex>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <memory>
#include <vector>

class DatabaseSqlite;
class InvitationModel;
class MainWindow;
class PeerAclModel;
class PeerModel;
class VfsClient;
class VfsClientVelm;
class VfsLoopbackLink;
class VfsServerVelm;

// Fails the running test on every warning or error of the QML engine and
// every print of QML's console (and
// keeps them for a look), for as long as it is installed.
class QmlWarningGuard
{
public:
    QmlWarningGuard();
    ~QmlWarningGuard();
    static QStringList messages();
    static void clear();
    // Whether a message came from QML: its category, or the "url:line:"
    // form of the engine's own warnings.
    static bool isQmlMessage(const QMessageLogContext& context, const QString& message);
};

// The network side as the window sees it: emits started() from its own
// thread and records each setNetworkEnabled() with the thread it ran on.
// Never builds a transport.
class StandInConnectionManager : public ConnectionManager
{
    Q_OBJECT
public:
    explicit StandInConnectionManager(IDatabase* db);

    void setNetworkEnabled(bool networkEnabled) override;
    // One TCP transport on a documentation address (nothing is ever sent
    // to it): an invitation needs a transport to be decodable.
    std::vector<TransportDto> localTransports() const override;
    // Emits started() on the manager's thread.
    void announceStarted();

    struct Call
    {
        bool enabled;
        QThread* thread;
    };
    std::vector<Call> calls() const;

private:
    mutable QMutex m_mutex;
    std::vector<Call> m_calls;
};

// A peer of the rig: a "velm" peer whose file-system client reaches a real
// file-system server on a temporary tree through the in-process link.
class RigPeer : public IPeer
{
    Q_OBJECT
    Q_PROPERTY(PeerAclModel* aclModel READ aclModel CONSTANT)
public:
    RigPeer(const QString& uuid, QObject* parent = nullptr);
    PeerDto identity() const override;
    VfsClient* vfsClient() const override;

    // The shares this machine grants the peer, as the peer page lists them.
    PeerAclModel* aclModel() const;

    VfsClient* client = nullptr;

private:
    QString m_uuid;
    PeerAclModel* m_aclModel;
};

// What every GUI test stands on: a temporary HOME and configuration
// directory (config.ini names no outside address), the real database, peer
// model and invitation model, the own peer and any number of other peers
// served from temporary trees, a stand-in connection manager on an io
// thread of its own, and a QmlWarningGuard.
class GuiTestRig
{
public:
    GuiTestRig();
    ~GuiTestRig();

    QString home() const;
    QString configDirectory() const;
    DatabaseSqlite* database() const;
    PeerModel* peerModel() const;
    StandInConnectionManager* manager() const;
    RigPeer* ownPeer() const;

    // A peer named `name` with a tree of its own (root(): a directory with a
    // few files), answering after `delayMs`; link up unless told otherwise.
    RigPeer* addPeer(const QString& name, int delayMs = 0, IPeer::LinkState state = IPeer::LinkUp);
    // The directory a peer serves.
    QString root(RigPeer* peer) const;
    // The shares a peer's server offers this machine under "%shares".
    void setShares(RigPeer* peer, const std::vector<PeerAclDto>& shares);
    // Whether the peers report their drive at "/" (as a Linux machine does;
    // paths are then reached through it, as the file model walks them)
    // rather than at the root of their tree. Read whenever drives are listed.
    void setDrivesAtSlash(bool atSlash);

    // The server behind a peer (for its replaceable access test).
    VfsServerVelm* server(RigPeer* peer) const;
    // Stores a peer record (uuid, type "velm") in the database.
    void storePeer(const QString& uuid);
    // The peer's server reports one drive at drivePath instead of its tree's
    // root ("/" lets the file model reach the tree by its full path).
    void setDrivePath(RigPeer* peer, const QString& drivePath);

    // A main window on the rig's manager and database; the caller owns it.
    std::unique_ptr<MainWindow> createWindow();

private:
    struct Served;
    RigPeer* addServedPeer(const QString& uuid, const QString& name, int delayMs, IPeer::LinkState state);

    QTemporaryDir m_dir;
    QByteArray m_oldHome;
    std::unique_ptr<QmlWarningGuard> m_guard;
    std::unique_ptr<DatabaseSqlite> m_database;
    std::unique_ptr<PeerModel> m_peerModel;
    std::unique_ptr<InvitationModel> m_invitations;
    QThread m_ioThread;
    StandInConnectionManager* m_manager = nullptr;
    std::vector<std::unique_ptr<Served>> m_served;
    RigPeer* m_ownPeer = nullptr;
    std::shared_ptr<bool> m_drivesAtSlash = std::make_shared<bool>(false);
};

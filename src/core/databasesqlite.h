#pragma once

#include "core/idatabase.h"

#include <QScopedPointer>
#include <QSqlDatabase>

class DatabaseSqlitePrivate;

// IDatabase on an SQLite file.
//
// Every thread that calls an operation gets a connection of its own, opened
// on first use with foreign keys enforced, and kept for the life of the
// thread: when the thread finishes, its connection is closed and removed.
// Destroying the object removes the connections of every thread.
//
// The constructor first checks the file without writing to it: a missing or
// empty file becomes a new store; a directory, a file that cannot be read
// or written, or one that is not a sound SQLite database is left as it is,
// no connection is ever opened on it, and openError() says why. Otherwise
// it sets up Qt's default connection on the file (used on the constructing
// thread by code that runs its own statements) and runs init().
class DatabaseSqlite : public IDatabase
{
    Q_OBJECT
public:
    DatabaseSqlite(const QString& path, QObject* parent = nullptr);
    ~DatabaseSqlite() override;

    QString path() const;
    // Why the store cannot be used, in English (the file is not named):
    // the file check of the constructor failed, or the last init() did.
    // Empty when the store is usable.
    QString openError() const;

    // The calling thread's connection, opened (and set up) on first use. When
    // the file cannot be opened the connection comes back closed, so every
    // statement on it fails and is logged.
    QSqlDatabase connection() const;
    // The name of the calling thread's connection: "db", the address of the
    // thread's QThread in hexadecimal, "_" and a number that tells this
    // object apart from other stores in the same process.
    QString connectionName() const;

    bool init() override;

    bool beginTransaction() override;
    bool commitTransaction() override;
    bool rollbackTransaction() override;

    bool putInvitation(const InvitationDto& dto) override;
    std::vector<InvitationDto> getInvitations() override;
    bool deleteInvitation(const Uuid& invUuid) override;

    std::vector<PeerDto> getPeers(const QString& type) override;
    bool putPeer(const PeerDto& dto) override;

    bool putPeerAttribute(const Uuid& peerUuid, const PeerAttributeDto& dto) override;
    bool deletePeerAttribute(const Uuid& peerUuid, const Uuid& attrUuid) override;
    std::vector<PeerAttributeDto> getPeerAttributes(const Uuid& peerUuid,
                                                    const std::vector<QString>& keys) override;

    std::vector<TransportDto> getTransports(const Uuid& peerUuid) override;
    bool putTransport(const Uuid& peerUuid, const TransportDto& dto) override;

    std::vector<PeerAclDto> getAcls(const Uuid& peerUuid) override;
    bool putAcl(const Uuid& peerUuid, const PeerAclDto& dto) override;
    bool deleteAcl(const Uuid& peerUuid, const Uuid& aclUuid) override;

    std::vector<CryptoKeyDto> getCryptoKeys(const Uuid& peerUuid) override;
    bool putCryptoKey(const Uuid& peerUuid, const CryptoKeyDto& dto) override;

    std::vector<VSectorDto> getVSectors() override;
    bool putVSector(const VSectorDto& dto) override;
    bool deleteVSector(const Uuid& vsectorUuid) override;

    std::vector<VNodeDto> getVNodes(const Uuid& vsectorUuid) override;
    bool putVNode(const VNodeDto& dto) override;
    bool deleteVNode(const Uuid& vnodeUuid) override;

    using IDatabase::getImages;
    std::vector<ImageCacheDto> getImages(const Uuid& peerUuid, const QString& uri, qint64 mtime,
                                         int maxWidth) override;
    bool putImage(const ImageCacheDto& dto) override;

private:
    QScopedPointer<DatabaseSqlitePrivate> d;
};

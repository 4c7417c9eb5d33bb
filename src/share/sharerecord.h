#pragma once

#include "core/peeracldto.h"

#include <QDateTime>
#include <QModelIndexList>
#include <QString>

#include <vector>

class IDatabase;

// The share record a file view prepares before the share dialog stores it:
// which item a "Share with" or "Share drive with" choice means, whether that
// item is already shared with the peer, and the flags of a new share.
// Nothing here reads a widget; the indexes carry the file model's roles
// (path, name, type), through a proxy or not.
class ShareRecord
{
public:
    enum Flag : quint32 { Read = 1, Write = 2, Directory = 4, Drive = 8 };

    // The uuid text of a record that is not stored yet (the null uuid).
    static QString newShareUuid();
    static bool isNewShare(const PeerAclDto& acl);

    // A bare drive letter with its colon ("X:") gets its backslash ("X:\").
    static QString drivePath(const QString& path);

    // The stored share whose selector is exactly `selector` (or whose uuid
    // is `uuid`); null when none.
    static const PeerAclDto* findBySelector(const std::vector<PeerAclDto>& acls, const QString& selector);
    static const PeerAclDto* findByUuid(const std::vector<PeerAclDto>& acls, const QString& uuid);

    // "Share with": the record of an item of the given path, name and file
    // model type. An existing share of that path is returned unchanged;
    // otherwise a new one: read, plus drive for a drive, plus directory when
    // the path is a local directory.
    static PeerAclDto forItem(const std::vector<PeerAclDto>& acls, const QString& path, const QString& name,
                              int type, const QDateTime& now);
    // "Share drive with": the same for a drive; a new one is always read,
    // directory and drive (13).
    static PeerAclDto forDrive(const std::vector<PeerAclDto>& acls, const QString& path, const QString& name,
                               const QDateTime& now);

    // The item "Share with" means: the first selected index of column 0;
    // with none, in a view of the own machine, the shown directory.
    static QModelIndex itemIndex(const QModelIndexList& selected, const QModelIndex& shownDirectory,
                                 bool ownMachine);
    // The drive "Share drive with" means: for each selected index in turn,
    // the nearest ancestor (or itself) of the drive type; the first such one
    // in column 0.
    static QModelIndex driveIndex(const QModelIndexList& selected);

    // The whole preparation against the store: false when there is nothing
    // to share (or, for an edit, no share of that uuid).
    static bool prepareShare(IDatabase* db, const QString& peerUuid, const QModelIndexList& selected,
                             const QModelIndex& shownDirectory, bool ownMachine, PeerAclDto* out);
    static bool prepareDriveShare(IDatabase* db, const QString& peerUuid, const QModelIndexList& selected,
                                  PeerAclDto* out);
    static bool findShare(IDatabase* db, const QString& peerUuid, const QString& aclUuid, PeerAclDto* out);
};

#pragma once

#include <QHash>
#include <QIcon>
#include <QSize>
#include <QString>

#include <memory>
#include <vector>

// One node of a VfsModel tree: a drive, the shares root, a directory or a
// file of a peer. Owned by the model; the internal pointer of the model's
// indexes.
struct VfsEntry
{
    VfsEntry* parent = nullptr; // null only for the model's invisible root
    std::vector<VfsEntry*> children; // in row order
    // The children by their path component (the share reference for shares,
    // the name for everything else), so that finding a child by name takes
    // the same time in a directory of a hundred thousand entries as in one
    // of ten.
    std::unique_ptr<QMultiHash<QString, VfsEntry*>> byComponent;
    int row = 0; // among the parent's children

    quint8 expanded = 0;
    quint8 fetched = 0; // listed at least once
    quint8 hidden = 0;
    quint32 busy = 0;   // a listing of this directory runs
    qint64 lastFetch = -1; // model clock (ms) when the last listing ended; -1 never

    QString name;
    QString path; // drives: their root path; the shares root: "%shares"; else empty
    quint32 type = 0;     // VfsModel::VfsEntryType as shown
    quint32 origType = 0; // VfsModel::VfsEntryType of the listing, links not followed
    quint64 seen = 0;     // fetch sequence number of the last listing that held the entry
    quint64 size = 0;
    quint64 childSize = 0; // sum of the children's sizes, as of the last complete listing
    QString mime;
    qint64 atime = 0; // ms since the epoch, 0 unknown
    qint64 ctime = 0;
    qint64 mtime = 0;
    QString ref;          // link target, share reference, or server name
    quint32 useCount = 0; // panes showing this directory
    quint32 flags = 0;    // VfsModel::EntryFlags
    quint32 mode = 0;     // VfsModel::InfoFlags
    quint64 inode = 0;
    quint32 nlinks = 0;
    quint64 fileId = 0;   // drives and the shares root: the path's hash in the top 16 bits

    QIcon icon;               // type icon
    QIcon previewIcon;        // small preview images, null until loaded
    QSize previewSize{-1, -1}; // of the cached preview image; -1 by -1 until one is stored
    quint32 previewState = 0; // VfsModel::PreviewState
    QString sizeString;       // size as text; empty for drives and directories
    QString mtimeString;      // mtime as text; empty when unknown
    // Parts worked out when a view first wants them (VfsModelPrivate::Pending),
    // so that merging a large listing stays cheap.
    quint8 pending = 0;
};

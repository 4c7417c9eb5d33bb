#pragma once

#include <QMetaType>
#include <QString>

// One item of a copy or move request, read from the peer's file model: a
// file, directory, link, drive or share on the source peer. The copy job
// walks directories with the same record, so the job calls it VfsCopyItem.
struct VfsCopyEntry
{
    // The entry types of the file model.
    enum Type : qint32 {
        TypeDrive = 1,
        TypeDirectory = 2,
        TypeFile = 3,
        TypeSymbolicLink = 4,
        TypeShare = 5,
    };

    QString path;       // full path of the item on the source peer
    // Kept empty by the window. While it walks a tree the copy job keeps a
    // renaming here: the destination path begins with renameFrom, to be
    // replaced by renameTo.
    QString renameFrom;
    QString renameTo;
    quint64 size = 0;   // bytes
    qint64 atime = 0;   // milliseconds since 1970-01-01 UTC
    qint64 ctime = 0;
    qint64 mtime = 0;
    qint32 type = 0;    // Type
};

using VfsCopyItem = VfsCopyEntry;

Q_DECLARE_METATYPE(VfsCopyEntry)

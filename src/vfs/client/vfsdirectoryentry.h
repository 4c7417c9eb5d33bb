#pragma once

#include <QString>

// One entry of a directory listing as the file-system client hands it over.
// Types use the client's numbering, which differs from the wire's.
struct VfsDirectoryEntry
{
    enum Type : quint8 {
        TypeUnknown = 0,
        TypeFile = 1,
        TypeDirectory = 2,
        TypeSymbolicLink = 3,
        TypeShare = 8, // an entry of the "%shares" listing
    };

    quint8 hidden = 0;     // 1 when hidden by the file system or named ".*"
    quint8 type = TypeUnknown;
    QString name;          // a single, checked path component
    QString ref;           // link target or share uuid; empty when absent
    quint8 targetType = TypeUnknown; // what a link points at
    quint64 size = 0;
    qint64 atime = 0;      // milliseconds since 1970-01-01 UTC
    qint64 ctime = 0;      // birth time
    qint64 mtime = 0;
    quint16 mode = 0;      // access bits
    quint64 inode = 0;
    quint32 nlinks = 0;
};

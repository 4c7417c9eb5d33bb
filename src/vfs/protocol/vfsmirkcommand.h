#pragma once

#include "vfs/protocol/vfsmirkfieldmask.h"

#include <QByteArray>
#include <QMetaType>

// One file-system protocol message, request or reply, as decoded by
// VfsMirkCommandParser. The record is large (fixed areas for paths, file data,
// digests, drive entries and listing pages) and is reused for every message
// of a peer; a message fills only the fields it carries. Make it on the heap
// and value-initialised (new VfsMirkCommand()), which zeroes every field.
struct VfsMirkCommand
{
    enum Magic : quint8 {
        MagicRequest = 0x42, // client to server
        MagicReply = 0x43,   // server to client: replies and notifications
    };

    // Request codes; a reply carries its request's code with ReplyBit set.
    enum Code : quint8 {
        ListDirectory = 0x0A,
        QueryListDirectory = 0x0B,
        ListDrives = 0x0C,
        Move = 0x0F,
        OpenFile = 0x10,
        ReadFile = 0x11,
        WriteFile = 0x12,
        DeleteFile = 0x13,
        MakeDirectory = 0x14,
        CloseFile = 0x15,
        HashFile = 0x16,
        DirectoryChanged = 0x18, // notification from the server, not a reply
        ReplyBit = 0x80,
    };

    static constexpr int HeaderSize = 12;
    static constexpr int PathSize = 1024;       // 1023 bytes and a terminator
    static constexpr int DataSize = 64400;      // file data of one read or write
    static constexpr int DigestSize = 64400;    // digests of one HASH_FILE reply
    static constexpr int DigestBytes = 20;      // SHA-1
    static constexpr int MaxDrives = 32;
    static constexpr int DriveStringSize = 64400;
    static constexpr int EntryAreaSize = 65534; // entries of one listing page
    static constexpr quint16 DefaultProtocolVersion = 3;

    // LIST_DIRECTORY flags.
    enum ListFlag : quint32 {
        ListHidden = 0x01,
        ListSystem = 0x02,
        ListWatch = 0x04,
        ListClientBit = 0x08,   // request: set by the client; reply: '\' separators
        ListWantFileId = 0x10,
        ListReplyFlags = 0x17,  // request flags the reply echoes
    };
    // OPEN_FILE flags and time-field set.
    enum OpenFlag : quint32 {
        OpenRead = 0x01,
        OpenWrite = 0x02,
        OpenTruncate = 0x04,
        OpenTimes = 0x10,
        OpenExclusive = 0x20,
    };
    enum OpenTimeField : quint32 {
        TimeSize = 0x02,
        TimeAccess = 0x08,
        TimeBirth = 0x10,
        TimeModification = 0x20,
        TimeFieldsAllowed = 0x3A,
    };
    // DELETE_FILE flags. A server that does not know DeleteOnlyEmpty removes
    // a directory with everything in it, so a client that must not lose
    // anything lists the directory first as well.
    enum DeleteFlag : quint32 {
        DeleteTrash = 0x01,     // move to the desktop trash instead
        DeleteOnlyEmpty = 0x04, // a directory only when it is empty (our own)
    };

    struct Drive
    {
        quint8 readOnly;
        quint8 type;
        quint8 plugType;
        quint8 state;
        quint64 bytesTotal;
        quint64 bytesAvailable;
        quint32 rootPathOffset; // into driveStrings, terminated
        quint32 rootPathLength;
        quint32 nameOffset;
        quint32 nameLength;
    };

    // Header.
    quint32 length;
    quint8 magic;
    quint8 command;
    quint16 trId;

    // Common fields.
    quint8 status;
    quint32 flags;           // u32 or u8 on the wire, by command
    VfsMirkFieldMask fields; // LIST_DIRECTORY entry field set; OPEN_FILE time-field set
    quint64 fileId;          // LIST_DIRECTORY reply; 0 when absent
    char path[PathSize];     // terminated; MOVE: the source
    quint32 pathLength;
    char destinationPath[PathSize]; // MOVE
    quint32 destinationPathLength;

    // Listing pages and drive lists.
    quint32 index;           // QUERY_LIST_DIRECTORY
    quint16 count;           // entries, drives, blocks wanted or digests
    quint32 entryAreaLength;
    quint8 entryArea[EntryAreaSize];
    quint16 driveStart;
    quint16 driveReserved;
    Drive drives[MaxDrives];
    quint32 driveStringsUsed;
    char driveStrings[DriveStringSize];

    // Files.
    quint16 handle;
    quint64 offset;
    quint32 size;            // READ_FILE bytes wanted
    quint32 written;         // WRITE_FILE reply
    quint32 existing;        // MAKE_DIRECTORY reply
    quint32 reserved;        // DIRECTORY_CHANGED
    quint32 blockSize;       // HASH_FILE
    qint64 accessTime;       // OPEN_FILE, milliseconds since 1970-01-01 UTC
    qint64 birthTime;
    qint64 modificationTime;
    quint64 fileSize;        // OPEN_FILE cut size
    quint32 dataLength;      // never more than was copied into data
    quint8 data[DataSize];
    quint32 digestLength;    // never more than was copied into digests
    quint8 digests[DigestSize];

    QByteArray pathBytes() const { return QByteArray(path, int(pathLength)); }
    QByteArray destinationPathBytes() const
    {
        return QByteArray(destinationPath, int(destinationPathLength));
    }
    QByteArray driveRootPath(int i) const;
    QByteArray driveName(int i) const;
};

Q_DECLARE_METATYPE(VfsMirkCommand*)

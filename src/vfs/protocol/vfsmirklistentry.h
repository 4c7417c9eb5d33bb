#pragma once

#include <QByteArray>

namespace com {
class TermStreamReader;
class TermStreamWriter;
}

// One entry of a directory listing page, as it travels. Which fields are on
// the wire is decided by the listing's entry field set.
struct VfsMirkListEntry
{
    // Entry field set bits.
    enum Field : quint32 {
        FieldType = 0x001,
        FieldSize = 0x002,
        FieldAccessTime = 0x008,
        FieldBirthTime = 0x010,
        FieldModificationTime = 0x020,
        FieldReference = 0x0C0, // both bits needed
        FieldAccess = 0x100,
        FieldInode = 0x200,
        FieldLinkCount = 0x400,
        // Everything the file-system client asks for.
        FieldsAll = 0x7FB,
    };
    // Low 7 bits of the type byte; bit 7 marks a hidden entry.
    enum Type : quint8 {
        TypeDirectory = 1,
        TypeFile = 2,
        TypeSymbolicLink = 3,
        TypeShare = 8,
        TypeHidden = 0x80,
    };
    // Access bits.
    enum Access : quint16 {
        AccessReadable = 0x4000,
        AccessWritable = 0x2000,
        AccessExecutable = 0x1000,
        AccessWriteBits = 0x2222,
    };

    static constexpr int MaxNameBytes = 1022;
    static constexpr int MaxReferenceBytes = 1023;

    QByteArray name;        // UTF-8
    quint8 type = 0;        // type and hidden bit
    quint64 size = 0;
    qint64 accessTime = 0;  // milliseconds since 1970-01-01 UTC
    qint64 birthTime = 0;
    qint64 modificationTime = 0;
    QByteArray reference;   // link target or share uuid, UTF-8
    quint8 targetType = 0;
    quint16 access = 0;
    quint64 inode = 0;
    quint32 linkCount = 0;

    bool carriesReference(quint32 fieldSet) const;

    // Writes the fields of fieldSet; false when the writer has an error. A name
    // or reference longer than the reader takes is refused the same way.
    bool write(com::TermStreamWriter& writer, quint32 fieldSet) const;
    // Reads one entry; false (with the reader's error set) on a malformed or
    // short entry, or a name or reference longer than allowed.
    bool read(com::TermStreamReader& reader, quint32 fieldSet);
};

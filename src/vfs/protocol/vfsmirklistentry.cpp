#include "vfs/protocol/vfsmirklistentry.h"

#include "com/wire/termstreamreader.h"
#include "com/wire/termstreamwriter.h"

bool VfsMirkListEntry::carriesReference(quint32 fieldSet) const
{
    const quint8 kind = type & 0x7F;
    return (fieldSet & FieldReference) == FieldReference
        && (kind == TypeSymbolicLink || kind == TypeShare);
}

bool VfsMirkListEntry::write(com::TermStreamWriter& writer, quint32 fieldSet) const
{
    // Never send what the other side has to refuse.
    if (name.size() > MaxNameBytes
        || (carriesReference(fieldSet) && reference.size() > MaxReferenceBytes)) {
        writer.setError(com::TermStreamWriter::ErrorNoRoom);
        return false;
    }
    writer.writeString(name.constData(), std::size_t(name.size()));
    if (fieldSet & FieldType)
        writer.writeU8(type);
    if (fieldSet & FieldSize)
        writer.writeU64(size);
    if (fieldSet & FieldAccessTime)
        writer.writeI64(accessTime);
    if (fieldSet & FieldBirthTime)
        writer.writeI64(birthTime);
    if (fieldSet & FieldModificationTime)
        writer.writeI64(modificationTime);
    if (carriesReference(fieldSet)) {
        writer.writeString(reference.constData(), std::size_t(reference.size()));
        writer.writeU8(targetType);
    }
    if (fieldSet & FieldAccess)
        writer.writeU16(access);
    if (fieldSet & FieldInode)
        writer.writeU64(inode);
    if (fieldSet & FieldLinkCount)
        writer.writeU32(linkCount);
    return !writer.hasError();
}

bool VfsMirkListEntry::read(com::TermStreamReader& reader, quint32 fieldSet)
{
    char text[MaxReferenceBytes + 1];
    std::size_t count = 0;
    if (reader.readString(text, MaxNameBytes + 1, count) != 0)
        return false;
    name = QByteArray(text, int(count) - 1);
    type = 0;
    if (fieldSet & FieldType)
        reader.readU8(type);
    if (fieldSet & FieldSize)
        reader.readU64(size);
    if (fieldSet & FieldAccessTime)
        reader.readI64(accessTime);
    if (fieldSet & FieldBirthTime)
        reader.readI64(birthTime);
    if (fieldSet & FieldModificationTime)
        reader.readI64(modificationTime);
    reference.clear();
    targetType = 0;
    if (!reader.hasError() && carriesReference(fieldSet)) {
        if (reader.readString(text, sizeof text, count) == 0)
            reference = QByteArray(text, int(count) - 1);
        reader.readU8(targetType);
    }
    if (fieldSet & FieldAccess)
        reader.readU16(access);
    if (fieldSet & FieldInode)
        reader.readU64(inode);
    if (fieldSet & FieldLinkCount)
        reader.readU32(linkCount);
    return !reader.hasError();
}

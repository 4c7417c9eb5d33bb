#include "vfs/protocol/vfsmirkcommandwriter.h"

#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkframewriter.h"

namespace {

using C = VfsMirkCommand;

// Header, a handful of fixed fields and room for a field mask.
constexpr int kFixedRoom = 128;
// Tag and longest length prefix of a string.
constexpr int kStringRoom = 5;

int roomFor(const QByteArray& text)
{
    return kStringRoom + text.size();
}

quint8 reply(quint8 code)
{
    return quint8(code | C::ReplyBit);
}

} // namespace

QByteArray VfsMirkCommandWriter::listDirectoryRequest(quint16 trId, quint32 flags,
                                                      const VfsMirkFieldMask& fieldSet,
                                                      const QByteArray& path)
{
    VfsMirkFrameWriter frame(C::MagicRequest, C::ListDirectory, trId, kFixedRoom + roomFor(path));
    frame.stream().writeU32(flags);
    frame.writeFieldMask(fieldSet);
    frame.writePath(path);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::queryListDirectoryRequest(quint16 trId, quint32 index)
{
    VfsMirkFrameWriter frame(C::MagicRequest, C::QueryListDirectory, trId, kFixedRoom);
    frame.stream().writeU32(index);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::listDrivesRequest(quint16 trId, quint32 flags, quint16 start)
{
    VfsMirkFrameWriter frame(C::MagicRequest, C::ListDrives, trId, kFixedRoom);
    frame.stream().writeU32(flags);
    frame.stream().writeU16(start);
    frame.stream().writeU16(0);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::moveRequest(quint16 trId, quint32 flags, const QByteArray& source,
                                             const QByteArray& destination)
{
    VfsMirkFrameWriter frame(C::MagicRequest, C::Move, trId,
                             kFixedRoom + roomFor(source) + roomFor(destination));
    frame.stream().writeU32(flags);
    frame.writePath(source);
    frame.writePath(destination);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::openFileRequest(quint16 trId, quint16 version, quint32 flags,
                                                 const VfsMirkFieldMask& timeFields,
                                                 qint64 accessTime, qint64 birthTime,
                                                 qint64 modificationTime, quint64 size,
                                                 const QByteArray& path)
{
    VfsMirkFrameWriter frame(C::MagicRequest, C::OpenFile, trId, kFixedRoom + roomFor(path));
    frame.stream().writeU32(flags);
    if (version == 1 || (flags & C::OpenTimes))
        frame.writeFieldMask(timeFields);
    if (version >= 2 && (flags & C::OpenTimes)) {
        const quint32 t = timeFields.value(0);
        // The reader refuses any other mask; do not build what it refuses.
        if ((timeFields.mask & ~1u) != 0 || (t & ~quint32(C::TimeFieldsAllowed)) != 0)
            return QByteArray();
        if (timeFields.has(0)) {
            if (t & C::TimeAccess)
                frame.stream().writeI64(accessTime);
            if (t & C::TimeBirth)
                frame.stream().writeI64(birthTime);
            if (t & C::TimeModification)
                frame.stream().writeI64(modificationTime);
            if (version >= 3 && (t & C::TimeSize))
                frame.stream().writeU64(size);
        }
    }
    frame.writePath(path);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::readFileRequest(quint16 trId, quint8 flags, quint16 handle,
                                                 quint64 offset, quint32 size)
{
    VfsMirkFrameWriter frame(C::MagicRequest, C::ReadFile, trId, kFixedRoom);
    frame.stream().writeU8(flags);
    frame.stream().writeU16(handle);
    frame.stream().writeU64(offset);
    frame.stream().writeU32(size);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::writeFileRequest(quint16 trId, quint8 flags, quint16 handle,
                                                  quint64 offset, const void* data, int length)
{
    if (!data || length < 1 || length > C::DataSize)
        return QByteArray();
    VfsMirkFrameWriter frame(C::MagicRequest, C::WriteFile, trId, kFixedRoom + length);
    frame.stream().writeU8(flags);
    frame.stream().writeU16(handle);
    frame.stream().writeU64(offset);
    frame.stream().writeBlob(data, std::size_t(length));
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::deleteFileRequest(quint16 trId, quint32 flags,
                                                   const QByteArray& path)
{
    VfsMirkFrameWriter frame(C::MagicRequest, C::DeleteFile, trId, kFixedRoom + roomFor(path));
    frame.stream().writeU32(flags);
    frame.writePath(path);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::makeDirectoryRequest(quint16 trId, quint32 flags,
                                                      const VfsMirkFieldMask& fields,
                                                      const QByteArray& path)
{
    VfsMirkFrameWriter frame(C::MagicRequest, C::MakeDirectory, trId, kFixedRoom + roomFor(path));
    frame.stream().writeU32(flags);
    frame.writeFieldMask(fields);
    frame.writePath(path);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::closeFileRequest(quint16 trId, quint32 flags, quint16 handle)
{
    VfsMirkFrameWriter frame(C::MagicRequest, C::CloseFile, trId, kFixedRoom);
    frame.stream().writeU32(flags);
    frame.stream().writeU16(handle);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::hashFileRequest(quint16 trId, quint8 flags, quint16 handle,
                                                 quint16 count, quint32 blockSize, quint64 offset)
{
    VfsMirkFrameWriter frame(C::MagicRequest, C::HashFile, trId, kFixedRoom);
    frame.stream().writeU8(flags);
    frame.stream().writeU16(handle);
    frame.stream().writeU16(count);
    frame.stream().writeU32(blockSize);
    frame.stream().writeU64(offset);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::listDirectoryReply(quint16 trId, quint8 status, quint32 flags,
                                                    const VfsMirkFieldMask& fieldSet,
                                                    quint64 fileId)
{
    VfsMirkFrameWriter frame(C::MagicReply, reply(C::ListDirectory), trId, kFixedRoom);
    frame.stream().writeU8(status);
    frame.stream().writeU32(flags);
    frame.writeFieldMask(fieldSet);
    if (flags & C::ListWantFileId)
        frame.stream().writeU64(fileId);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::listDrivesReply(quint16 trId, quint16 start,
                                                 const std::vector<DriveCache>& drives,
                                                 int capacity)
{
    if (drives.size() > 0xFFFF)
        return QByteArray();
    VfsMirkFrameWriter frame(C::MagicReply, reply(C::ListDrives), trId, capacity);
    frame.stream().writeU8(0);
    frame.stream().writeU16(start);
    frame.stream().writeU16(0);
    frame.stream().writeU16(quint16(drives.size()));
    for (const DriveCache& drive : drives) {
        frame.stream().writeU8(drive.readOnly);
        frame.stream().writeU8(drive.type);
        frame.stream().writeU8(drive.plugType);
        frame.stream().writeU8(drive.state);
        frame.stream().writeU64(drive.bytesTotal);
        frame.stream().writeU64(drive.bytesAvailable);
        frame.writeString(drive.rootPath);
        frame.writeString(drive.name);
    }
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::moveReply(quint16 trId, quint8 status)
{
    VfsMirkFrameWriter frame(C::MagicReply, reply(C::Move), trId, kFixedRoom);
    frame.stream().writeU8(status);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::openFileReply(quint16 trId, quint8 status, quint16 handle)
{
    VfsMirkFrameWriter frame(C::MagicReply, reply(C::OpenFile), trId, kFixedRoom);
    frame.stream().writeU8(status);
    frame.stream().writeU16(handle);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::readFileReply(quint16 trId, quint8 status, quint8 flags,
                                               quint64 offset, const void* data, int length)
{
    if (length < 0 || length > C::DataSize || (length > 0 && !data))
        return QByteArray();
    VfsMirkFrameWriter frame(C::MagicReply, reply(C::ReadFile), trId, kFixedRoom + length);
    frame.stream().writeU8(status);
    frame.stream().writeU8(flags);
    frame.stream().writeU64(offset);
    frame.stream().writeBlob(data, std::size_t(length));
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::writeFileReply(quint16 trId, quint8 status, quint8 flags,
                                                quint64 offset, quint32 written)
{
    VfsMirkFrameWriter frame(C::MagicReply, reply(C::WriteFile), trId, kFixedRoom);
    frame.stream().writeU8(status);
    frame.stream().writeU8(flags);
    frame.stream().writeU64(offset);
    frame.stream().writeU32(written);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::deleteFileReply(quint16 trId, quint8 status,
                                                 const QByteArray& path)
{
    VfsMirkFrameWriter frame(C::MagicReply, reply(C::DeleteFile), trId,
                             kFixedRoom + roomFor(path));
    frame.stream().writeU8(status);
    frame.writePath(path);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::makeDirectoryReply(quint16 trId, quint8 status,
                                                    quint32 existing)
{
    VfsMirkFrameWriter frame(C::MagicReply, reply(C::MakeDirectory), trId, kFixedRoom);
    frame.stream().writeU8(status);
    frame.stream().writeU32(existing);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::closeFileReply(quint16 trId, quint8 status, quint16 handle)
{
    VfsMirkFrameWriter frame(C::MagicReply, reply(C::CloseFile), trId, kFixedRoom);
    frame.stream().writeU8(status);
    frame.stream().writeU16(handle);
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::hashFileReply(quint16 trId, quint8 status, quint8 flags,
                                               quint16 count, const void* digests, int length)
{
    if (length < 0 || length > C::DigestSize || length != int(count) * C::DigestBytes
        || (length > 0 && !digests)) {
        return QByteArray();
    }
    VfsMirkFrameWriter frame(C::MagicReply, reply(C::HashFile), trId, kFixedRoom + length);
    frame.stream().writeU8(status);
    frame.stream().writeU8(flags);
    frame.stream().writeU16(count);
    frame.stream().writeBlob(digests, std::size_t(length));
    return frame.finish();
}

QByteArray VfsMirkCommandWriter::directoryChangedNotice(quint16 trId, const QByteArray& path)
{
    VfsMirkFrameWriter frame(C::MagicReply, C::DirectoryChanged, trId,
                             kFixedRoom + roomFor(path));
    frame.stream().writeU32(0);
    frame.writePath(path);
    return frame.finish();
}

#pragma once

#include "vfs/protocol/drivecache.h"
#include "vfs/protocol/vfsmirkfieldmask.h"

#include <QByteArray>

#include <vector>

// The frames of the file-system protocol, for the client (requests) and the
// server (replies and the change notice). Each builder gives the whole frame,
// length field included, or a null QByteArray when the arguments cannot make
// a frame that the other side would accept (a path over 1023 bytes, file data
// or digests over 64400 bytes, a reply that does not fit its buffer).
// Strings are UTF-8. Listing pages are built by VfsMirkListPageWriter.
class VfsMirkCommandWriter
{
public:
    static constexpr int ListDrivesReplyCapacity = 2048;

    // Requests.
    static QByteArray listDirectoryRequest(quint16 trId, quint32 flags,
                                           const VfsMirkFieldMask& fieldSet,
                                           const QByteArray& path);
    static QByteArray queryListDirectoryRequest(quint16 trId, quint32 index);
    static QByteArray listDrivesRequest(quint16 trId, quint32 flags, quint16 start);
    static QByteArray moveRequest(quint16 trId, quint32 flags, const QByteArray& source,
                                  const QByteArray& destination);
    // The version decides the layout: version 1 always carries the mask and
    // never times; later versions carry the mask only with OpenTimes in
    // flags, and then the times its bit 0 value selects, and from version 3
    // the size.
    static QByteArray openFileRequest(quint16 trId, quint16 version, quint32 flags,
                                      const VfsMirkFieldMask& timeFields, qint64 accessTime,
                                      qint64 birthTime, qint64 modificationTime,
                                      quint64 size, const QByteArray& path);
    static QByteArray readFileRequest(quint16 trId, quint8 flags, quint16 handle,
                                      quint64 offset, quint32 size);
    // data: 1 to 64400 bytes.
    static QByteArray writeFileRequest(quint16 trId, quint8 flags, quint16 handle,
                                       quint64 offset, const void* data, int length);
    static QByteArray deleteFileRequest(quint16 trId, quint32 flags, const QByteArray& path);
    static QByteArray makeDirectoryRequest(quint16 trId, quint32 flags,
                                           const VfsMirkFieldMask& fields,
                                           const QByteArray& path);
    static QByteArray closeFileRequest(quint16 trId, quint32 flags, quint16 handle);
    static QByteArray hashFileRequest(quint16 trId, quint8 flags, quint16 handle,
                                      quint16 count, quint32 blockSize, quint64 offset);

    // Replies.
    // The file id goes out only when flags has the file-id bit.
    static QByteArray listDirectoryReply(quint16 trId, quint8 status, quint32 flags,
                                         const VfsMirkFieldMask& fieldSet, quint64 fileId);
    static QByteArray listDrivesReply(quint16 trId, quint16 start,
                                      const std::vector<DriveCache>& drives,
                                      int capacity = ListDrivesReplyCapacity);
    static QByteArray moveReply(quint16 trId, quint8 status);
    static QByteArray openFileReply(quint16 trId, quint8 status, quint16 handle);
    // data: 0 to 64400 bytes.
    static QByteArray readFileReply(quint16 trId, quint8 status, quint8 flags, quint64 offset,
                                    const void* data, int length);
    static QByteArray writeFileReply(quint16 trId, quint8 status, quint8 flags, quint64 offset,
                                     quint32 written);
    static QByteArray deleteFileReply(quint16 trId, quint8 status, const QByteArray& path);
    static QByteArray makeDirectoryReply(quint16 trId, quint8 status, quint32 existing);
    static QByteArray closeFileReply(quint16 trId, quint8 status, quint16 handle);
    // digests: count times 20 bytes, at most 64400.
    static QByteArray hashFileReply(quint16 trId, quint8 status, quint8 flags, quint16 count,
                                    const void* digests, int length);

    // The change notice; trId is the server's running notice number.
    static QByteArray directoryChangedNotice(quint16 trId, const QByteArray& path);
};

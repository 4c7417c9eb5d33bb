#include "vfs/protocol/vfsmirkcommandparser.h"

#include "com/wire/termstreamreader.h"
#include "core/logger.h"
#include "vfs/protocol/vfsmirkcommand.h"

#include <QThread>

#include <atomic>
#include <cstring>

namespace {

std::atomic<int> s_parserCount{ 0 };

using C = VfsMirkCommand;
using com::TermStreamReader;

void readFieldMask(TermStreamReader& reader, VfsMirkFieldMask& fields)
{
    fields.clear();
    quint16 mask = 0;
    if (reader.readU16(mask) != 0)
        return;
    fields.mask = mask;
    for (int bit = 0; bit < 16; ++bit) {
        if (mask & (1u << bit))
            reader.readU32(fields.values[bit]);
    }
}

void readPath(TermStreamReader& reader, char* path, quint32& length)
{
    std::size_t count = 0;
    length = 0;
    if (reader.readString(path, C::PathSize, count) == 0 && count > 0)
        length = quint32(count - 1);
}

// Reads a blob field without allocating. Its bytes are copied only when they
// hold 1 to capacity bytes; otherwise they are skipped and the recorded length
// is 0. Returns the blob's length on the wire.
quint32 readBlobInto(TermStreamReader& reader, const quint8* frame, quint8* area,
                     quint32 capacity, quint32& recorded)
{
    recorded = 0;
    if (reader.hasError())
        return 0;
    if (reader.remaining() < 5) {
        reader.setError(TermStreamReader::ErrorShort);
        return 0;
    }
    quint8 tag = 0;
    quint32 length = 0;
    reader.readRawU8(tag);
    if (tag != com::TagBlob) {
        reader.setError(TermStreamReader::ErrorWrongTag);
        return 0;
    }
    reader.readRawU32(length);
    if (length > reader.remaining()) {
        reader.setError(TermStreamReader::ErrorShort);
        return 0;
    }
    const std::size_t at = reader.consumed();
    if (length >= 1 && length <= capacity) {
        std::memcpy(area, frame + at, length);
        recorded = length;
    }
    reader.seek(at + length);
    return length;
}

} // namespace

VfsMirkCommandParser::VfsMirkCommandParser(QObject* parent)
    : QObject(parent), m_id(s_parserCount.fetch_add(1))
{
    Logger::log(Logger::VCPA, "New VFS parser %d", m_id);
}

VfsMirkCommandParser::~VfsMirkCommandParser() = default;

bool VfsMirkCommandParser::processCommand(const QByteArray& data, VfsMirkCommand* cmd,
                                          quint16 version)
{
    return processCommand(reinterpret_cast<const quint8*>(data.constData()),
                          std::size_t(data.size()), cmd, version);
}

bool VfsMirkCommandParser::processCommand(const quint8* data, std::size_t size,
                                          VfsMirkCommand* cmd, quint16 version)
{
    if (!cmd || !data) {
        Logger::log(Logger::VCPA, "failed to allocate command buffer");
        return false;
    }
    if (size < std::size_t(C::HeaderSize)) {
        Logger::log(Logger::VCPA, "[%d] drop short frame, %zu bytes", m_id, size);
        return false;
    }

    TermStreamReader reader(data, size);
    quint32 length = 0;
    quint8 magic = 0;
    quint8 command = 0;
    quint16 trId = 0;
    reader.readU32(length);
    reader.readU8(magic);
    reader.readU8(command);
    reader.readU16(trId);
    if (reader.hasError()) {
        Logger::log(Logger::VCPA, "[%d] drop frame with a malformed header, error %d", m_id,
                    reader.error());
        return false;
    }
    // The frame buffer cuts frames by this length; anything else is not one frame.
    if (length != size) {
        Logger::log(Logger::VCPA, "[%d] drop frame of %zu bytes whose length field says %u",
                    m_id, size, length);
        return false;
    }
    cmd->length = length;
    cmd->magic = magic;
    cmd->command = command;
    cmd->trId = trId;
    Logger::log(Logger::VCPA, "[%d] process command 0x%02X thread %p", m_id, command,
                static_cast<void*>(QThread::currentThread()));

    switch (command) {
    case C::ListDirectory: {
        reader.readU32(cmd->flags);
        readFieldMask(reader, cmd->fields);
        if (reader.hasError())
            return false;
        readPath(reader, cmd->path, cmd->pathLength);
        break;
    }
    case C::ListDirectory | C::ReplyBit:
        reader.readU8(cmd->status);
        reader.readU32(cmd->flags);
        readFieldMask(reader, cmd->fields);
        cmd->fileId = 0;
        if (cmd->flags & C::ListWantFileId)
            reader.readU64(cmd->fileId);
        break;

    case C::QueryListDirectory:
        reader.readU32(cmd->index);
        break;
    case C::QueryListDirectory | C::ReplyBit: {
        reader.readU8(cmd->status);
        reader.readU32(cmd->index);
        reader.readU16(cmd->count);
        if (reader.hasError())
            break;
        const std::size_t left = reader.remaining();
        if (left == 0 || left > std::size_t(C::EntryAreaSize)) {
            cmd->entryAreaLength = 0;
            cmd->count = 0;
        } else {
            std::memcpy(cmd->entryArea, data + reader.consumed(), left);
            cmd->entryAreaLength = quint32(left);
        }
        reader.seek(size);
        break;
    }

    case C::ListDrives:
        reader.readU32(cmd->flags);
        reader.readU16(cmd->driveStart);
        reader.readU16(cmd->driveReserved);
        break;
    case C::ListDrives | C::ReplyBit: {
        reader.readU8(cmd->status);
        reader.readU16(cmd->driveStart);
        reader.readU16(cmd->driveReserved);
        quint16 announced = 0;
        reader.readU16(announced);
        cmd->driveStringsUsed = 0;
        int kept = 0;
        const int wanted = qMin<int>(announced, C::MaxDrives);
        while (kept < wanted && !reader.hasError()) {
            C::Drive& drive = cmd->drives[kept];
            reader.readU8(drive.readOnly);
            reader.readU8(drive.type);
            reader.readU8(drive.plugType);
            reader.readU8(drive.state);
            reader.readU64(drive.bytesTotal);
            reader.readU64(drive.bytesAvailable);
            std::size_t count = 0;
            drive.rootPathOffset = cmd->driveStringsUsed;
            reader.readString(cmd->driveStrings + cmd->driveStringsUsed,
                              std::size_t(C::DriveStringSize) - cmd->driveStringsUsed, count);
            if (reader.hasError())
                break;
            drive.rootPathLength = quint32(count - 1);
            cmd->driveStringsUsed += quint32(count);
            drive.nameOffset = cmd->driveStringsUsed;
            reader.readString(cmd->driveStrings + cmd->driveStringsUsed,
                              std::size_t(C::DriveStringSize) - cmd->driveStringsUsed, count);
            if (reader.hasError())
                break;
            drive.nameLength = quint32(count - 1);
            cmd->driveStringsUsed += quint32(count);
            ++kept;
        }
        cmd->count = quint16(kept);
        break;
    }

    case C::Move:
        reader.readU32(cmd->flags);
        readPath(reader, cmd->path, cmd->pathLength);
        readPath(reader, cmd->destinationPath, cmd->destinationPathLength);
        break;
    case C::Move | C::ReplyBit:
        reader.readU8(cmd->status);
        break;

    case C::OpenFile: {
        reader.readU32(cmd->flags);
        cmd->fields.clear();
        cmd->accessTime = 0;
        cmd->birthTime = 0;
        cmd->modificationTime = 0;
        cmd->fileSize = 0;
        if (version == 1 || (cmd->flags & C::OpenTimes))
            readFieldMask(reader, cmd->fields);
        if (version >= 2 && (cmd->flags & C::OpenTimes) && !reader.hasError()) {
            const quint32 t = cmd->fields.value(0);
            if ((cmd->fields.mask & ~1u) != 0 || (t & ~quint32(C::TimeFieldsAllowed)) != 0) {
                Logger::log(Logger::VCPA, "[%d] drop OPEN_FILE with mask 0x%04X, times 0x%X",
                            m_id, cmd->fields.mask, t);
                return false;
            }
            if (cmd->fields.has(0)) {
                if (t & C::TimeAccess)
                    reader.readI64(cmd->accessTime);
                if (t & C::TimeBirth)
                    reader.readI64(cmd->birthTime);
                if (t & C::TimeModification)
                    reader.readI64(cmd->modificationTime);
                if (version >= 3 && (t & C::TimeSize))
                    reader.readU64(cmd->fileSize);
            }
        }
        readPath(reader, cmd->path, cmd->pathLength);
        break;
    }
    case C::OpenFile | C::ReplyBit:
        reader.readU8(cmd->status);
        reader.readU16(cmd->handle);
        break;

    case C::ReadFile: {
        quint8 flags = 0;
        reader.readU8(flags);
        cmd->flags = flags;
        reader.readU16(cmd->handle);
        reader.readU64(cmd->offset);
        reader.readU32(cmd->size);
        break;
    }
    case C::ReadFile | C::ReplyBit: {
        quint8 flags = 0;
        reader.readU8(cmd->status);
        reader.readU8(flags);
        cmd->flags = flags;
        reader.readU64(cmd->offset);
        readBlobInto(reader, data, cmd->data, C::DataSize, cmd->dataLength);
        break;
    }

    case C::WriteFile: {
        quint8 flags = 0;
        reader.readU8(flags);
        cmd->flags = flags;
        reader.readU16(cmd->handle);
        reader.readU64(cmd->offset);
        readBlobInto(reader, data, cmd->data, C::DataSize, cmd->dataLength);
        break;
    }
    case C::WriteFile | C::ReplyBit: {
        quint8 flags = 0;
        reader.readU8(cmd->status);
        reader.readU8(flags);
        cmd->flags = flags;
        reader.readU64(cmd->offset);
        reader.readU32(cmd->written);
        break;
    }

    case C::DeleteFile:
        reader.readU32(cmd->flags);
        readPath(reader, cmd->path, cmd->pathLength);
        break;
    case C::DeleteFile | C::ReplyBit:
        reader.readU8(cmd->status);
        readPath(reader, cmd->path, cmd->pathLength);
        break;

    case C::MakeDirectory:
        reader.readU32(cmd->flags);
        readFieldMask(reader, cmd->fields);
        readPath(reader, cmd->path, cmd->pathLength);
        break;
    case C::MakeDirectory | C::ReplyBit:
        reader.readU8(cmd->status);
        reader.readU32(cmd->existing);
        break;

    case C::CloseFile:
        reader.readU32(cmd->flags);
        reader.readU16(cmd->handle);
        break;
    case C::CloseFile | C::ReplyBit:
        reader.readU8(cmd->status);
        reader.readU16(cmd->handle);
        break;

    case C::HashFile: {
        quint8 flags = 0;
        reader.readU8(flags);
        cmd->flags = flags;
        reader.readU16(cmd->handle);
        reader.readU16(cmd->count);
        reader.readU32(cmd->blockSize);
        reader.readU64(cmd->offset);
        break;
    }
    case C::HashFile | C::ReplyBit: {
        quint8 flags = 0;
        reader.readU8(cmd->status);
        reader.readU8(flags);
        cmd->flags = flags;
        reader.readU16(cmd->count);
        const quint32 wire =
            readBlobInto(reader, data, cmd->digests, C::DigestSize, cmd->digestLength);
        if (reader.hasError())
            break;
        // Exactly count digests, all of which fit the digest area.
        if (wire != quint32(cmd->count) * C::DigestBytes || wire > quint32(C::DigestSize)) {
            Logger::log(Logger::VCPA, "[%d] drop HASH_FILE reply, %u digests in %u bytes", m_id,
                        unsigned(cmd->count), wire);
            cmd->count = 0;
            cmd->digestLength = 0;
            return false;
        }
        break;
    }

    case C::DirectoryChanged:
        reader.readU32(cmd->reserved);
        readPath(reader, cmd->path, cmd->pathLength);
        break;

    default:
        Logger::log(Logger::VCPA, "drop unknown command 0x%02X, length %d", command, int(size));
        return false;
    }

    if (reader.hasError()) {
        Logger::log(Logger::VCPA, "[%d] drop command 0x%02X, read error %d", m_id, command,
                    reader.error());
        return false;
    }
    emit commandReceived();
    return true;
}

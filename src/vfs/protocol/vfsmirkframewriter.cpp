#include "vfs/protocol/vfsmirkframewriter.h"

#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirklistentry.h"

#include <algorithm>

VfsMirkFrameWriter::VfsMirkFrameWriter(quint8 magic, quint8 command, quint16 trId, int capacity)
    : m_buffer(qMax(capacity, 0), '\0'), m_writer(m_buffer.data(), std::size_t(m_buffer.size()))
{
    m_writer.writeU32(0); // the length, filled in by finish()
    m_writer.writeU8(magic);
    m_writer.writeU8(command);
    m_writer.writeU16(trId);
}

void VfsMirkFrameWriter::writeFieldMask(const VfsMirkFieldMask& fields)
{
    m_writer.writeU16(fields.mask);
    for (int bit = 0; bit < 16; ++bit) {
        if (fields.mask & (1u << bit))
            m_writer.writeU32(fields.values[bit]);
    }
}

void VfsMirkFrameWriter::writeString(const QByteArray& text)
{
    m_writer.writeString(text.constData(), std::size_t(text.size()));
}

void VfsMirkFrameWriter::writePath(const QByteArray& path)
{
    if (path.size() >= VfsMirkCommand::PathSize) {
        m_writer.setError(com::TermStreamWriter::ErrorNoRoom);
        return;
    }
    writeString(path);
}

bool VfsMirkFrameWriter::appendEntry(const VfsMirkListEntry& entry, quint32 fieldSet)
{
    if (m_writer.hasError())
        return false;
    const std::size_t start = m_writer.size();
    com::TermStreamWriter entryWriter(m_buffer.data() + start, m_writer.remaining());
    if (!entry.write(entryWriter, fieldSet)) {
        // Leave no half entry behind.
        std::fill(m_buffer.begin() + int(start), m_buffer.end(), '\0');
        return false;
    }
    return m_writer.seek(start + entryWriter.size());
}

bool VfsMirkFrameWriter::rewriteU8(int offset, quint8 value)
{
    const std::size_t end = m_writer.size();
    if (m_writer.hasError() || offset < VfsMirkCommand::HeaderSize || std::size_t(offset) + 2 > end
        || quint8(m_buffer.at(offset)) != com::TagU8) {
        return false;
    }
    m_writer.seek(std::size_t(offset));
    m_writer.writeU8(value);
    m_writer.seek(end);
    return !m_writer.hasError();
}

bool VfsMirkFrameWriter::rewriteU16(int offset, quint16 value)
{
    const std::size_t end = m_writer.size();
    if (m_writer.hasError() || offset < VfsMirkCommand::HeaderSize || std::size_t(offset) + 3 > end
        || quint8(m_buffer.at(offset)) != com::TagU16) {
        return false;
    }
    m_writer.seek(std::size_t(offset));
    m_writer.writeU16(value);
    m_writer.seek(end);
    return !m_writer.hasError();
}

QByteArray VfsMirkFrameWriter::finish()
{
    if (m_writer.hasError())
        return QByteArray();
    const std::size_t end = m_writer.size();
    m_writer.seek(0);
    m_writer.writeU32(quint32(end));
    m_writer.seek(end);
    if (m_writer.hasError())
        return QByteArray();
    QByteArray frame = m_buffer.left(int(end));
    return frame;
}

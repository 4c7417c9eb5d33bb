#include "vfs/protocol/vfsmirklistpagewriter.h"

#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirklistentry.h"

VfsMirkListPageWriter::VfsMirkListPageWriter(quint16 trId, quint8 status, quint32 index,
                                             quint32 fieldSet, int capacity)
    : m_frame(VfsMirkCommand::MagicReply,
              VfsMirkCommand::QueryListDirectory | VfsMirkCommand::ReplyBit, trId, capacity)
    , m_fieldSet(fieldSet)
    , m_status(status)
{
    m_frame.stream().writeU8(status);
    m_frame.stream().writeU32(index);
    m_frame.stream().writeU16(0);
}

VfsMirkListPageWriter::AddResult VfsMirkListPageWriter::addEntry(const VfsMirkListEntry& entry)
{
    if (entry.name.size() > VfsMirkListEntry::MaxNameBytes
        || (entry.carriesReference(m_fieldSet)
            && entry.reference.size() > VfsMirkListEntry::MaxReferenceBytes)) {
        return Refused;
    }
    if (m_count >= 0xFFFF || !m_frame.appendEntry(entry, m_fieldSet))
        return NoRoom;
    ++m_count;
    return Added;
}

QByteArray VfsMirkListPageWriter::finish()
{
    if (!m_frame.rewriteU8(StatusOffset, m_status)
        || !m_frame.rewriteU16(CountOffset, quint16(m_count))) {
        return QByteArray();
    }
    return m_frame.finish();
}

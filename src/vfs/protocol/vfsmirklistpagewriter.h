#pragma once

#include "vfs/protocol/vfsmirkframewriter.h"

#include <QByteArray>

struct VfsMirkListEntry;

// Builds one QUERY_LIST_DIRECTORY reply page: status, index, count and the
// entries of the listing's field set, as many as fit.
class VfsMirkListPageWriter
{
public:
    static constexpr int Capacity = 65535;
    static constexpr int StatusOffset = 12;
    static constexpr int CountOffset = 19;

    enum AddResult {
        Added,
        NoRoom,  // the page is full; the entry belongs on the next page
        Refused, // name or reference too long for any page
    };

    VfsMirkListPageWriter(quint16 trId, quint8 status, quint32 index, quint32 fieldSet,
                          int capacity = Capacity);

    AddResult addEntry(const VfsMirkListEntry& entry);
    int count() const { return m_count; }
    int remaining() const { return m_frame.remaining(); }
    void setStatus(quint8 status) { m_status = status; }
    quint8 status() const { return m_status; }
    // Writes status and count in place and gives the frame (null on error).
    QByteArray finish();

private:
    VfsMirkFrameWriter m_frame;
    quint32 m_fieldSet;
    quint8 m_status;
    int m_count = 0;
};

#pragma once

#include "com/wire/termstreamwriter.h"
#include "vfs/protocol/vfsmirkfieldmask.h"

#include <QByteArray>

struct VfsMirkListEntry;

// Builds one file-system protocol frame: the 12-byte header (length, magic,
// command, TrId), then whatever fields the caller writes through stream().
// finish() fills in the length and gives the frame, or a null QByteArray when
// anything did not fit; such a frame is never sent.
class VfsMirkFrameWriter
{
public:
    VfsMirkFrameWriter(quint8 magic, quint8 command, quint16 trId, int capacity);
    VfsMirkFrameWriter(const VfsMirkFrameWriter&) = delete;
    VfsMirkFrameWriter& operator=(const VfsMirkFrameWriter&) = delete;

    com::TermStreamWriter& stream() { return m_writer; }
    bool hasError() const { return m_writer.hasError(); }
    int size() const { return int(m_writer.size()); }
    int remaining() const { return int(m_writer.remaining()); }

    void writeFieldMask(const VfsMirkFieldMask& fields);
    void writeString(const QByteArray& text);
    // A path of at most 1023 bytes; a longer one fails the frame, as the
    // reader on the other side would refuse it.
    void writePath(const QByteArray& path);
    // Appends the entry whole, or leaves the frame as it was and returns
    // false. Does not set the frame's error.
    bool appendEntry(const VfsMirkListEntry& entry, quint32 fieldSet);
    // Rewrite a tagged field already written at offset (the tag's position).
    bool rewriteU8(int offset, quint8 value);
    bool rewriteU16(int offset, quint16 value);

    QByteArray finish();

private:
    QByteArray m_buffer;
    com::TermStreamWriter m_writer;
};

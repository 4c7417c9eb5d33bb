#include "com/wire/termstreamreader.h"
#include "com/wire/termstreamwriter.h"
#include "vfs/protocol/drivecache.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsmirkcommand.h"
#include "vfs/protocol/vfsmirkcommandparser.h"
#include "vfs/protocol/vfsmirkcommandwriter.h"
#include "vfs/protocol/vfsmirkframewriter.h"
#include "vfs/protocol/vfsmirklistentry.h"
#include "vfs/protocol/vfsmirklistpagewriter.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

using C = VfsMirkCommand;
using W = VfsMirkCommandWriter;

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text));
}

VfsMirkFieldMask fieldSet(quint32 value)
{
    VfsMirkFieldMask fields;
    fields.set(0, value);
    return fields;
}

// A frame around the given field bytes, with a correct length field.
QByteArray frame(quint8 magic, quint8 command, quint16 trId, const QByteArray& body)
{
    QByteArray out(5, '\0');
    const quint32 length = quint32(12 + body.size());
    out[0] = 7;
    for (int i = 0; i < 4; ++i)
        out[1 + i] = char(length >> (8 * i));
    out += QByteArray("\x05", 1) + char(magic) + QByteArray("\x05", 1) + char(command);
    out += QByteArray("\x06", 1) + char(trId & 0xFF) + char(trId >> 8);
    return out + body;
}

QByteArray u8(quint8 v)
{
    return QByteArray("\x05", 1) + char(v);
}

QByteArray u16(quint16 v)
{
    return QByteArray("\x06", 1) + char(v & 0xFF) + char(v >> 8);
}

QByteArray u32(quint32 v)
{
    QByteArray out("\x07", 1);
    for (int i = 0; i < 4; ++i)
        out += char(v >> (8 * i));
    return out;
}

QByteArray u64(quint64 v)
{
    QByteArray out("\x08", 1);
    for (int i = 0; i < 8; ++i)
        out += char(v >> (8 * i));
    return out;
}

QByteArray str(const QByteArray& text)
{
    QByteArray out("\x0D", 1);
    if (text.size() < 0x80) {
        out += char(text.size());
    } else {
        out += char(0x80 | (text.size() >> 8));
        out += char(text.size() & 0xFF);
    }
    return out + text;
}

QByteArray blob(const QByteArray& bytes)
{
    QByteArray out("\x0F", 1);
    for (int i = 0; i < 4; ++i)
        out += char(quint32(bytes.size()) >> (8 * i));
    return out + bytes;
}

QString fieldsText(const VfsMirkFieldMask& fields)
{
    QStringList values;
    for (int bit = 0; bit < 16; ++bit) {
        if (fields.has(bit))
            values << QStringLiteral("%1:%2").arg(bit).arg(fields.values[bit], 0, 16);
    }
    return QStringLiteral("0x%1{%2}").arg(fields.mask, 0, 16).arg(values.join(','));
}

QString entriesText(const C& cmd, quint32 fieldSet)
{
    QStringList out;
    com::TermStreamReader reader(cmd.entryArea, cmd.entryAreaLength);
    for (int i = 0; i < cmd.count; ++i) {
        VfsMirkListEntry e;
        if (!e.read(reader, fieldSet))
            return out.join(QStringLiteral(" | ")) + QStringLiteral(" | error");
        QString text = QStringLiteral("%1 type=0x%2 size=%3 a=%4 b=%5 m=%6")
                           .arg(QString::fromUtf8(e.name))
                           .arg(e.type, 0, 16)
                           .arg(e.size)
                           .arg(e.accessTime)
                           .arg(e.birthTime)
                           .arg(e.modificationTime);
        if (e.carriesReference(fieldSet))
            text += QStringLiteral(" ref=%1 target=%2").arg(QString::fromUtf8(e.reference)).arg(e.targetType);
        text += QStringLiteral(" access=0x%1 inode=%2 links=%3").arg(e.access, 0, 16).arg(e.inode).arg(e.linkCount);
        out << text;
    }
    if (reader.remaining() != 0)
        out << QStringLiteral("%1 bytes left").arg(reader.remaining());
    return out.join(QStringLiteral(" | "));
}

// Every field the command carries, as text.
QString describe(const C& cmd)
{
    QString head = QStringLiteral("magic=%1 cmd=%2 tr=%3 ")
                       .arg(cmd.magic, 0, 16)
                       .arg(cmd.command, 0, 16)
                       .arg(cmd.trId, 0, 16);
    const QString path = QString::fromUtf8(cmd.pathBytes());
    switch (cmd.command) {
    case C::ListDirectory:
        return head + QStringLiteral("flags=%1 fields=%2 path=%3").arg(cmd.flags, 0, 16).arg(fieldsText(cmd.fields), path);
    case C::ListDirectory | C::ReplyBit:
        return head + QStringLiteral("status=%1 flags=%2 fields=%3 fileId=%4").arg(cmd.status).arg(cmd.flags, 0, 16).arg(fieldsText(cmd.fields)).arg(cmd.fileId, 0, 16);
    case C::QueryListDirectory:
        return head + QStringLiteral("index=%1").arg(cmd.index);
    case C::QueryListDirectory | C::ReplyBit:
        return head + QStringLiteral("status=%1 index=%2 count=%3 area=%4 [%5]").arg(cmd.status).arg(cmd.index).arg(cmd.count).arg(cmd.entryAreaLength).arg(entriesText(cmd, VfsMirkListEntry::FieldsAll));
    case C::ListDrives:
        return head + QStringLiteral("flags=%1 start=%2 reserved=%3").arg(cmd.flags).arg(cmd.driveStart).arg(cmd.driveReserved);
    case C::ListDrives | C::ReplyBit: {
        QString text = QStringLiteral("status=%1 start=%2 reserved=%3 count=%4").arg(cmd.status).arg(cmd.driveStart).arg(cmd.driveReserved).arg(cmd.count);
        for (int i = 0; i < cmd.count; ++i) {
            const C::Drive& d = cmd.drives[i];
            text += QStringLiteral(" [ro=%1 type=%2 plug=%3 state=%4 total=%5 avail=%6 root=%7 name=%8]")
                        .arg(d.readOnly).arg(d.type).arg(d.plugType).arg(d.state).arg(d.bytesTotal).arg(d.bytesAvailable)
                        .arg(QString::fromUtf8(cmd.driveRootPath(i)), QString::fromUtf8(cmd.driveName(i)));
        }
        return head + text;
    }
    case C::Move:
        return head + QStringLiteral("flags=%1 src=%2 dst=%3").arg(cmd.flags, 0, 16).arg(path, QString::fromUtf8(cmd.destinationPathBytes()));
    case C::Move | C::ReplyBit:
        return head + QStringLiteral("status=%1").arg(cmd.status);
    case C::OpenFile:
        return head + QStringLiteral("flags=%1 fields=%2 atime=%3 btime=%4 mtime=%5 size=%6 path=%7").arg(cmd.flags, 0, 16).arg(fieldsText(cmd.fields)).arg(cmd.accessTime).arg(cmd.birthTime).arg(cmd.modificationTime).arg(cmd.fileSize).arg(path);
    case C::OpenFile | C::ReplyBit:
        return head + QStringLiteral("status=%1 handle=%2").arg(cmd.status).arg(cmd.handle);
    case C::ReadFile:
        return head + QStringLiteral("flags=%1 handle=%2 offset=%3 size=%4").arg(cmd.flags, 0, 16).arg(cmd.handle).arg(cmd.offset).arg(cmd.size);
    case C::ReadFile | C::ReplyBit:
        return head + QStringLiteral("status=%1 flags=%2 offset=%3 data=%4").arg(cmd.status).arg(cmd.flags, 0, 16).arg(cmd.offset).arg(QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(cmd.data), int(cmd.dataLength)).toHex()));
    case C::WriteFile:
        return head + QStringLiteral("flags=%1 handle=%2 offset=%3 data=%4").arg(cmd.flags, 0, 16).arg(cmd.handle).arg(cmd.offset).arg(QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(cmd.data), int(cmd.dataLength)).toHex()));
    case C::WriteFile | C::ReplyBit:
        return head + QStringLiteral("status=%1 flags=%2 offset=%3 written=%4").arg(cmd.status).arg(cmd.flags, 0, 16).arg(cmd.offset).arg(cmd.written);
    case C::DeleteFile:
        return head + QStringLiteral("flags=%1 path=%2").arg(cmd.flags, 0, 16).arg(path);
    case C::DeleteFile | C::ReplyBit:
        return head + QStringLiteral("status=%1 path=%2").arg(cmd.status).arg(path);
    case C::MakeDirectory:
        return head + QStringLiteral("flags=%1 fields=%2 path=%3").arg(cmd.flags, 0, 16).arg(fieldsText(cmd.fields), path);
    case C::MakeDirectory | C::ReplyBit:
        return head + QStringLiteral("status=%1 existing=%2").arg(cmd.status).arg(cmd.existing);
    case C::CloseFile:
        return head + QStringLiteral("flags=%1 handle=%2").arg(cmd.flags, 0, 16).arg(cmd.handle, 0, 16);
    case C::CloseFile | C::ReplyBit:
        return head + QStringLiteral("status=%1 handle=%2").arg(cmd.status).arg(cmd.handle, 0, 16);
    case C::HashFile:
        return head + QStringLiteral("flags=%1 handle=%2 count=%3 blockSize=%4 offset=%5").arg(cmd.flags, 0, 16).arg(cmd.handle).arg(cmd.count).arg(cmd.blockSize).arg(cmd.offset);
    case C::HashFile | C::ReplyBit:
        return head + QStringLiteral("status=%1 flags=%2 count=%3 digests=%4").arg(cmd.status).arg(cmd.flags, 0, 16).arg(cmd.count).arg(QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(cmd.digests), int(cmd.digestLength)).toHex()));
    case C::DirectoryChanged:
        return head + QStringLiteral("reserved=%1 path=%2").arg(cmd.reserved).arg(path);
    }
    return head + QStringLiteral("?");
}

VfsMirkListEntry entry(const QByteArray& name, quint8 type)
{
    VfsMirkListEntry e;
    e.name = name;
    e.type = type;
    return e;
}

DriveCache drive(quint8 readOnly, quint8 type, quint8 plugType, quint64 total, quint64 available,
                 const QByteArray& root, const QByteArray& name)
{
    DriveCache d;
    d.readOnly = readOnly;
    d.type = type;
    d.plugType = plugType;
    d.bytesTotal = total;
    d.bytesAvailable = available;
    d.rootPath = root;
    d.name = name;
    return d;
}

QByteArray listingPage()
{
    VfsMirkListEntry docs = entry("docs", VfsMirkListEntry::TypeDirectory);
    docs.size = 4096;
    docs.accessTime = 1600000000000;
    docs.birthTime = 1500000000000;
    docs.modificationTime = 1600000001000;
    docs.access = 0x7755;
    docs.inode = 131073;
    docs.linkCount = 3;
    VfsMirkListEntry link = entry(".link", VfsMirkListEntry::TypeSymbolicLink | VfsMirkListEntry::TypeHidden);
    link.size = 7;
    link.accessTime = 1;
    link.birthTime = 2;
    link.modificationTime = 3;
    link.reference = "/target";
    link.targetType = VfsMirkListEntry::TypeFile;
    link.access = 0x6777;
    link.inode = 42;
    link.linkCount = 1;
    VfsMirkListPageWriter page(0x1234, FSO_STATUS_OK, 0, VfsMirkListEntry::FieldsAll);
    page.addEntry(docs);
    page.addEntry(link);
    page.setStatus(FSO_STATUS_COMPLETE);
    return page.finish();
}

QByteArray digests(int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += QCryptographicHash::hash(QByteArray(1, char('a' + i % 26)), QCryptographicHash::Sha1);
    return out;
}

} // namespace

class TestVfsMirkCommand : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void goldenFrames_data();
    void goldenFrames();
    void rejectedFrames_data();
    void rejectedFrames();
    void frameSizes_data();
    void frameSizes();
    void writerRefuses_data();
    void writerRefuses();

    void pathLimit();
    void listDrivesKeepsAtMost32();
    void listDrivesReadErrorKeepsEarlierEntries();
    void listingPageAreaLimits();
    void blobLengthsNeverExceedCopiedBytes();
    void hashDigestLimits();
    void fullListingPage();
    void pageWriterRefusesOverlongEntries();
    void untouchedFields();
    void parserNumbers();

private:
    std::unique_ptr<C> m_cmd;
};

void TestVfsMirkCommand::init()
{
    m_cmd.reset(new C());
}

void TestVfsMirkCommand::goldenFrames_data()
{
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("golden");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("decoded");

    const QByteArray dg = digests(2);
    VfsMirkFieldMask none;

    // Requests.
    QTest::newRow("LIST_DIRECTORY, worked example")
        << W::listDirectoryRequest(0x1234, 0x19, fieldSet(0x7FB), "/") << hex("071c0000000542050a063412071900000006010007fb0700000d012f") << 3
        << "magic=42 cmd=a tr=1234 flags=19 fields=0x1{0:7fb} path=/";
    QTest::newRow("LIST_DIRECTORY, watched")
        << W::listDirectoryRequest(0xFFFF, 0x1D, fieldSet(0x7FB), "/home/anna/Fotos") << hex("072b0000000542050a06ffff071d00000006010007fb0700000d102f686f6d652f616e6e612f466f746f73") << 3
        << "magic=42 cmd=a tr=ffff flags=1d fields=0x1{0:7fb} path=/home/anna/Fotos";
    QTest::newRow("QUERY_LIST_DIRECTORY")
        << W::queryListDirectoryRequest(0x1234, 300) << hex("07110000000542050b063412072c010000") << 3
        << "magic=42 cmd=b tr=1234 index=300";
    QTest::newRow("LIST_DRIVES")
        << W::listDrivesRequest(7, 16, 0) << hex("07170000000542050c0607000710000000060000060000") << 3
        << "magic=42 cmd=c tr=7 flags=16 start=0 reserved=0";
    QTest::newRow("MOVE")
        << W::moveRequest(0x0102, 3, "/a/x.txt", "/b/x.txt") << hex("07250000000542050f06020107030000000d082f612f782e7478740d082f622f782e747874") << 3
        << "magic=42 cmd=f tr=102 flags=3 src=/a/x.txt dst=/b/x.txt";
    QTest::newRow("OPEN_FILE v1")
        << W::openFileRequest(1, 1, 0x01, none, 0, 0, 0, 0, "/etc/hosts") << hex("07200000000542051006010007010000000600000d0a2f6574632f686f737473") << 1
        << "magic=42 cmd=10 tr=1 flags=1 fields=0x0{} atime=0 btime=0 mtime=0 size=0 path=/etc/hosts";
    QTest::newRow("OPEN_FILE v1, mask but never times")
        << W::openFileRequest(2, 1, 0x12, fieldSet(0x28), 5, 0, 6, 0, "/d/f") << hex("071f00000005420510060200071200000006010007280000000d042f642f66") << 1
        << "magic=42 cmd=10 tr=2 flags=12 fields=0x1{0:28} atime=0 btime=0 mtime=0 size=0 path=/d/f";
    QTest::newRow("OPEN_FILE v2, two times, no size")
        << W::openFileRequest(3, 2, 0x17, fieldSet(0x28), 1700000000000, 0, 1700000001000, 4096, "/d/f") << hex("073100000005420510060300071700000006010007280000000c0068e5cf8b0100000ce86be5cf8b0100000d042f642f"
            "66") << 2
        << "magic=42 cmd=10 tr=3 flags=17 fields=0x1{0:28} atime=1700000000000 btime=0 mtime=1700000001000 size=0 path=/d/f";
    QTest::newRow("OPEN_FILE v3, two times and size")
        << W::openFileRequest(4, 3, 0x17, fieldSet(0x2A), 1700000000000, 0, 1700000001000, 4096, "/d/f") << hex("073a000000054205100604000717000000060100072a0000000c0068e5cf8b0100000ce86be5cf8b0100000800100000"
            "000000000d042f642f66") << 3
        << "magic=42 cmd=10 tr=4 flags=17 fields=0x1{0:2a} atime=1700000000000 btime=0 mtime=1700000001000 size=4096 path=/d/f";
    QTest::newRow("OPEN_FILE v3, only file times")
        << W::openFileRequest(5, 3, 0x10, fieldSet(0x20), 0, 0, -1000, 0, "/d/f") << hex("072800000005420510060500071000000006010007200000000c18fcffffffffffff0d042f642f66") << 3
        << "magic=42 cmd=10 tr=5 flags=10 fields=0x1{0:20} atime=0 btime=0 mtime=-1000 size=0 path=/d/f";
    QTest::newRow("OPEN_FILE v3, no times")
        << W::openFileRequest(6, 3, 0x02, fieldSet(0x28), 1, 2, 3, 4, "/d/f") << hex("07170000000542051006060007020000000d042f642f66") << 3
        << "magic=42 cmd=10 tr=6 flags=2 fields=0x0{} atime=0 btime=0 mtime=0 size=0 path=/d/f";
    QTest::newRow("OPEN_FILE v3, empty time mask")
        << W::openFileRequest(7, 3, 0x12, none, 1, 2, 3, 4, "/d/f") << hex("071a0000000542051006070007120000000600000d042f642f66") << 3
        << "magic=42 cmd=10 tr=7 flags=12 fields=0x0{} atime=0 btime=0 mtime=0 size=0 path=/d/f";
    QTest::newRow("READ_FILE")
        << W::readFileRequest(0x2222, 5, 3, Q_UINT64_C(0x100000000), 64400) << hex("071f0000000542051106222205050603000800000000010000000790fb0000") << 3
        << "magic=42 cmd=11 tr=2222 flags=5 handle=3 offset=4294967296 size=64400";
    QTest::newRow("WRITE_FILE")
        << W::writeFileRequest(0x2223, 1, 3, 65536, "hello", 5) << hex("07240000000542051206232205010603000800000100000000000f0500000068656c6c6f") << 3
        << "magic=42 cmd=12 tr=2223 flags=1 handle=3 offset=65536 data=68656c6c6f";
    QTest::newRow("DELETE_FILE")
        << W::deleteFileRequest(9, 1, "/tmp/x y") << hex("071b0000000542051306090007010000000d082f746d702f782079") << 3
        << "magic=42 cmd=13 tr=9 flags=1 path=/tmp/x y";
    QTest::newRow("MAKE_DIRECTORY")
        << W::makeDirectoryRequest(10, 1, none, "/new") << hex("071a00000005420514060a0007010000000600000d042f6e6577") << 3
        << "magic=42 cmd=14 tr=a flags=1 fields=0x0{} path=/new";
    QTest::newRow("CLOSE_FILE")
        << W::closeFileRequest(0x0A0B, 0, 0x0102) << hex("071400000005420515060b0a0700000000060201") << 3
        << "magic=42 cmd=15 tr=a0b flags=0 handle=102";
    QTest::newRow("HASH_FILE")
        << W::hashFileRequest(11, 1, 9, 64, 1048576, 0) << hex("072200000005420516060b0005010609000640000700001000080000000000000000") << 3
        << "magic=42 cmd=16 tr=b flags=1 handle=9 count=64 blockSize=1048576 offset=0";

    // Replies and the change notice.
    QTest::newRow("LIST_DIRECTORY reply with file id")
        << W::listDirectoryReply(0x1234, FSO_STATUS_OK, 0x11, fieldSet(0x7FB), Q_UINT64_C(0x0102030405060708))
        << hex("07240000000543058a0634120500071100000006010007fb070000080807060504030201") << 3
        << "magic=43 cmd=8a tr=1234 status=0 flags=11 fields=0x1{0:7fb} fileId=102030405060708";
    QTest::newRow("LIST_DIRECTORY reply without file id")
        << W::listDirectoryReply(0x1235, FSO_STATUS_NOT_FOUND, 0x01, fieldSet(0x7FB), 99)
        << hex("071b0000000543058a0635120503070100000006010007fb070000") << 3
        << "magic=43 cmd=8a tr=1235 status=3 flags=1 fields=0x1{0:7fb} fileId=0";
    QTest::newRow("QUERY_LIST_DIRECTORY reply")
        << listingPage() << hex("079c0000000543058b063412050807000000000602000d04646f637305010800100000000000000c00806e8774010000"
            "0c0098f73e5d0100000ce8836e877401000006557708010002000000000007030000000d052e6c696e6b058308070000"
            "00000000000c01000000000000000c02000000000000000c03000000000000000d072f7461726765740502067767082a"
            "000000000000000701000000") << 3
        << "magic=43 cmd=8b tr=1234 status=8 index=0 count=2 area=134 ["
           "docs type=0x1 size=4096 a=1600000000000 b=1500000000000 m=1600000001000 access=0x7755 inode=131073 links=3 | "
           ".link type=0x83 size=7 a=1 b=2 m=3 ref=/target target=2 access=0x6777 inode=42 links=1]";
    QTest::newRow("QUERY_LIST_DIRECTORY reply, outside the shares")
        << VfsMirkListPageWriter(0x1236, FSO_STATUS_NOT_PERMITTED, 0, 0x7FB).finish()
        << hex("07160000000543058b06361205040700000000060000") << 3
        << "magic=43 cmd=8b tr=1236 status=4 index=0 count=0 area=0 []";
    QTest::newRow("LIST_DRIVES reply")
        << W::listDrivesReply(7, 0, { drive(0, 0, 0, Q_UINT64_C(500107862016), 123456789, "/", "System"),
                                      drive(1, 1, 3, Q_UINT64_C(31914983424), Q_UINT64_C(31914000000), "/media/anna/STICK", "STICK \xc3\xa4") })
        << hex("07730000000543058c06070005000600000600000602000500050005000500080060c070740000000815cd5b07000000"
            "000d012f0d0653797374656d0501050105030500080000486e070000000880fe386e070000000d112f6d656469612f61"
            "6e6e612f535449434b0d08535449434b20c3a4") << 3
        << QString::fromUtf8("magic=43 cmd=8c tr=7 status=0 start=0 reserved=0 count=2"
                             " [ro=0 type=0 plug=0 state=0 total=500107862016 avail=123456789 root=/ name=System]"
                             " [ro=1 type=1 plug=3 state=0 total=31914983424 avail=31914000000 root=/media/anna/STICK name=STICK \xc3\xa4]");
    QTest::newRow("MOVE reply")
        << W::moveReply(0x0102, FSO_STATUS_SAME_PATH) << hex("070e0000000543058f0602010509") << 3
        << "magic=43 cmd=8f tr=102 status=9";
    QTest::newRow("OPEN_FILE reply")
        << W::openFileReply(1, FSO_STATUS_OK, 1) << hex("0711000000054305900601000500060100") << 3
        << "magic=43 cmd=90 tr=1 status=0 handle=1";
    QTest::newRow("READ_FILE reply")
        << W::readFileReply(0x2222, FSO_STATUS_END_OF_FILE, 4, 100, "abc", 3) << hex("072100000005430591062222050705040864000000000000000f03000000616263") << 3
        << "magic=43 cmd=91 tr=2222 status=7 flags=4 offset=100 data=616263";
    QTest::newRow("READ_FILE reply without data")
        << W::readFileReply(0x2224, FSO_STATUS_INVALID_OFFSET, 0, 0, nullptr, 0) << hex("071e00000005430591062422050b05000800000000000000000f00000000") << 3
        << "magic=43 cmd=91 tr=2224 status=11 flags=0 offset=0 data=";
    QTest::newRow("WRITE_FILE reply")
        << W::writeFileReply(0x2223, FSO_STATUS_OK, 2, 65536, 5) << hex("071e00000005430592062322050005020800000100000000000705000000") << 3
        << "magic=43 cmd=92 tr=2223 status=0 flags=2 offset=65536 written=5";
    QTest::newRow("DELETE_FILE reply")
        << W::deleteFileReply(9, FSO_STATUS_NOT_PERMITTED, "/tmp/x y") << hex("07180000000543059306090005040d082f746d702f782079") << 3
        << "magic=43 cmd=93 tr=9 status=4 path=/tmp/x y";
    QTest::newRow("MAKE_DIRECTORY reply")
        << W::makeDirectoryReply(10, FSO_STATUS_OK, 4) << hex("071300000005430594060a0005000704000000") << 3
        << "magic=43 cmd=94 tr=a status=0 existing=4";
    QTest::newRow("CLOSE_FILE reply")
        << W::closeFileReply(0x0A0B, FSO_STATUS_OK, 0x0102) << hex("071100000005430595060b0a0500060201") << 3
        << "magic=43 cmd=95 tr=a0b status=0 handle=102";
    QTest::newRow("HASH_FILE reply")
        << W::hashFileReply(11, FSO_STATUS_OK, 1, 2, dg.constData(), dg.size()) << hex("074000000005430596060b00050005010602000f2800000086f7e437faa5a7fce15d1ddcb9eaeaea377667b8e9d71f5e"
            "e7c92d6dc9e92ffdad17b8bd49418f98") << 3
        << "magic=43 cmd=96 tr=b status=0 flags=1 count=2 digests=" + QString::fromLatin1(dg.toHex());
    QTest::newRow("HASH_FILE reply, not supported")
        << W::hashFileReply(12, FSO_STATUS_NOT_SUPPORTED, 0, 0, nullptr, 0) << hex("071800000005430596060c00050e05000600000f00000000") << 3
        << "magic=43 cmd=96 tr=c status=14 flags=0 count=0 digests=";
    QTest::newRow("DIRECTORY_CHANGED")
        << W::directoryChangedNotice(5, "/home/anna") << hex("071d0000000543051806050007000000000d0a2f686f6d652f616e6e61") << 3
        << "magic=43 cmd=18 tr=5 reserved=0 path=/home/anna";
}

void TestVfsMirkCommand::goldenFrames()
{
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, golden);
    QFETCH(int, version);
    QFETCH(QString, decoded);

    QCOMPARE(built.toHex(' '), golden.toHex(' '));

    VfsMirkCommandParser parser;
    QSignalSpy received(&parser, &VfsMirkCommandParser::commandReceived);
    QVERIFY(parser.processCommand(golden, m_cmd.get(), quint16(version)));
    QCOMPARE(received.size(), 1);
    QCOMPARE(m_cmd->length, quint32(golden.size()));
    QCOMPARE(describe(*m_cmd), decoded);
}

void TestVfsMirkCommand::rejectedFrames_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("version");

    const QByteArray example = hex("071c0000000542050a063412071900000006010007fb0700000d012f");
    const QByteArray path1024(1024, 'p');

    QTest::newRow("3 bytes") << example.left(3) << 3;
    QTest::newRow("11 bytes") << example.left(11) << 3;
    QTest::newRow("header only") << example.left(12) << 3;
    QTest::newRow("length says one more") << QByteArray(example).replace(1, 1, "\x1D") << 3;
    QTest::newRow("length says one less") << QByteArray(example).replace(1, 1, "\x1B") << 3;
    QTest::newRow("trailing byte") << QByteArray(example + '\0') << 3;
    QTest::newRow("u16 length field") << hex("060c0005420515063412000000") << 3;
    QTest::newRow("magic without tag") << hex("070c0000004205150634120000") << 3;
    QTest::newRow("unknown command 0x17") << frame(0x42, 0x17, 1, QByteArray()) << 3;
    QTest::newRow("unknown command 0x0D") << frame(0x42, 0x0D, 1, u32(0)) << 3;
    QTest::newRow("unknown command 0x98") << frame(0x43, 0x98, 1, u32(0) + str("/")) << 3;
    QTest::newRow("unknown command 0x97") << frame(0x43, 0x97, 1, u8(0)) << 3;
    QTest::newRow("LIST_DIRECTORY without path")
        << frame(0x42, 0x0A, 1, u32(0x19) + u16(1) + u32(0x7FB)) << 3;
    QTest::newRow("LIST_DIRECTORY mask value missing")
        << frame(0x42, 0x0A, 1, u32(0x19) + u16(3) + u32(0x7FB) + str("/")) << 3;
    QTest::newRow("LIST_DIRECTORY mask cut short") << frame(0x42, 0x0A, 1, u32(0x19) + hex("0601")) << 3;
    QTest::newRow("LIST_DIRECTORY path of 1024 bytes")
        << frame(0x42, 0x0A, 1, u32(0x19) + u16(1) + u32(0x7FB) + str(path1024)) << 3;
    QTest::newRow("string prefix 0xF0")
        << frame(0x42, 0x0A, 1, u32(0x19) + u16(0) + hex("0df0000000002f")) << 3;
    QTest::newRow("string longer than the frame")
        << frame(0x42, 0x0A, 1, u32(0x19) + u16(0) + hex("0d052f")) << 3;
    QTest::newRow("flags with a u8 tag") << frame(0x42, 0x13, 1, u8(1) + str("/x")) << 3;
    QTest::newRow("QUERY_LIST_DIRECTORY without index") << frame(0x42, 0x0B, 1, QByteArray()) << 3;
    QTest::newRow("QUERY_LIST_DIRECTORY reply cut in the count")
        << frame(0x43, 0x8B, 1, u8(0) + u32(0) + hex("0602")) << 3;
    QTest::newRow("LIST_DRIVES request without start") << frame(0x42, 0x0C, 1, u32(16)) << 3;
    QTest::newRow("MOVE without destination") << frame(0x42, 0x0F, 1, u32(0) + str("/a")) << 3;
    QTest::newRow("MOVE destination of 1024 bytes")
        << frame(0x42, 0x0F, 1, u32(0) + str("/a") + str(path1024)) << 3;
    QTest::newRow("OPEN_FILE v2 mask 0x3")
        << frame(0x42, 0x10, 1, u32(0x12) + u16(3) + u32(0x28) + u32(0) + str("/f")) << 2;
    QTest::newRow("OPEN_FILE v3 mask bit 1 only")
        << frame(0x42, 0x10, 1, u32(0x12) + u16(2) + u32(0) + str("/f")) << 3;
    QTest::newRow("OPEN_FILE v2 time field outside 0x3A")
        << frame(0x42, 0x10, 1, u32(0x12) + u16(1) + u32(0x01) + str("/f")) << 2;
    QTest::newRow("OPEN_FILE v3 time missing")
        << frame(0x42, 0x10, 1, u32(0x12) + u16(1) + u32(0x28) + hex("0c0100000000000000") + str("/f")) << 3;
    QTest::newRow("OPEN_FILE v1 without mask") << frame(0x42, 0x10, 1, u32(0x01) + str("/f")) << 1;
    QTest::newRow("OPEN_FILE reply without handle") << frame(0x43, 0x90, 1, u8(0)) << 3;
    QTest::newRow("READ_FILE offset cut") << frame(0x42, 0x11, 1, u8(0) + u16(1) + hex("080000")) << 3;
    QTest::newRow("READ_FILE reply blob beyond frame")
        << frame(0x43, 0x91, 1, u8(0) + u8(0) + u64(0) + hex("0fff00000061626364")) << 3;
    QTest::newRow("READ_FILE reply blob header cut")
        << frame(0x43, 0x91, 1, u8(0) + u8(0) + u64(0) + hex("0f0100")) << 3;
    QTest::newRow("READ_FILE reply string for blob")
        << frame(0x43, 0x91, 1, u8(0) + u8(0) + u64(0) + str("abcd")) << 3;
    QTest::newRow("WRITE_FILE without data") << frame(0x42, 0x12, 1, u8(0) + u16(1) + u64(0)) << 3;
    QTest::newRow("WRITE_FILE reply without written")
        << frame(0x43, 0x92, 1, u8(0) + u8(0) + u64(0)) << 3;
    QTest::newRow("DELETE_FILE reply without path") << frame(0x43, 0x93, 1, u8(0)) << 3;
    QTest::newRow("MAKE_DIRECTORY without mask") << frame(0x42, 0x14, 1, u32(0) + str("/n")) << 3;
    QTest::newRow("MAKE_DIRECTORY reply without existing") << frame(0x43, 0x94, 1, u8(0)) << 3;
    QTest::newRow("CLOSE_FILE without handle") << frame(0x42, 0x15, 1, u32(0)) << 3;
    QTest::newRow("CLOSE_FILE reply handle cut") << frame(0x43, 0x95, 1, u8(0) + hex("0601")) << 3;
    QTest::newRow("HASH_FILE without offset")
        << frame(0x42, 0x16, 1, u8(1) + u16(1) + u16(4) + u32(4096)) << 3;
    QTest::newRow("HASH_FILE reply, count 3 and no digests")
        << frame(0x43, 0x96, 1, u8(0) + u8(1) + u16(3) + blob(QByteArray())) << 3;
    QTest::newRow("HASH_FILE reply, count 0 and a digest")
        << frame(0x43, 0x96, 1, u8(0) + u8(1) + u16(0) + blob(digests(1))) << 3;
    QTest::newRow("HASH_FILE reply, 2 digests in 20 bytes")
        << frame(0x43, 0x96, 1, u8(0) + u8(1) + u16(2) + blob(digests(1))) << 3;
    QTest::newRow("HASH_FILE reply, digest cut")
        << frame(0x43, 0x96, 1, u8(0) + u8(1) + u16(1) + blob(digests(1).left(19))) << 3;
    QTest::newRow("HASH_FILE reply, 3221 digests")
        << frame(0x43, 0x96, 1, u8(0) + u8(1) + u16(3221) + blob(digests(3221))) << 3;
    QTest::newRow("DIRECTORY_CHANGED without path") << frame(0x43, 0x18, 1, u32(0)) << 3;
    QTest::newRow("DIRECTORY_CHANGED path of 1024 bytes")
        << frame(0x43, 0x18, 1, u32(0) + str(path1024)) << 3;
}

void TestVfsMirkCommand::rejectedFrames()
{
    QFETCH(QByteArray, data);
    QFETCH(int, version);

    VfsMirkCommandParser parser;
    QSignalSpy received(&parser, &VfsMirkCommandParser::commandReceived);
    // Exactly the frame's bytes, so that any read past the end is caught.
    std::unique_ptr<quint8[]> copy(new quint8[std::size_t(qMax(1, data.size()))]);
    memcpy(copy.get(), data.constData(), std::size_t(data.size()));
    QVERIFY(!parser.processCommand(copy.get(), std::size_t(data.size()), m_cmd.get(), quint16(version)));
    QCOMPARE(received.size(), 0);
    QVERIFY(m_cmd->pathLength < quint32(C::PathSize));
    QVERIFY(m_cmd->dataLength <= quint32(C::DataSize));
    QVERIFY(m_cmd->digestLength <= quint32(C::DigestSize));
}

void TestVfsMirkCommand::frameSizes_data()
{
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<int>("size");

    const QByteArray data(C::DataSize, 'd');
    const QByteArray dg = digests(3220);
    QTest::newRow("READ_FILE reply, 64400 bytes")
        << W::readFileReply(1, FSO_STATUS_OK, 0, 0, data.constData(), data.size()) << 64430;
    QTest::newRow("READ_FILE reply, 1 byte")
        << W::readFileReply(1, FSO_STATUS_END_OF_FILE, 0, 0, data.constData(), 1) << 31;
    QTest::newRow("READ_FILE reply, empty")
        << W::readFileReply(1, FSO_STATUS_END_OF_FILE, 0, 0, nullptr, 0) << 30;
    QTest::newRow("WRITE_FILE request, 64400 bytes")
        << W::writeFileRequest(1, 0, 1, 0, data.constData(), data.size()) << 64431;
    QTest::newRow("WRITE_FILE reply") << W::writeFileReply(1, FSO_STATUS_OK, 0, 0, 64400) << 30;
    QTest::newRow("HASH_FILE reply, 3220 digests")
        << W::hashFileReply(1, FSO_STATUS_OK, 1, 3220, dg.constData(), dg.size()) << 64424;
    QTest::newRow("LIST_DIRECTORY request, path of 1 byte")
        << W::listDirectoryRequest(1, 0x19, fieldSet(0x7FB), "/") << 25 + 3;
    QTest::newRow("LIST_DIRECTORY request, path of 127 bytes")
        << W::listDirectoryRequest(1, 0x19, fieldSet(0x7FB), QByteArray(127, 'a')) << 25 + 2 + 127;
    QTest::newRow("LIST_DIRECTORY request, path of 128 bytes")
        << W::listDirectoryRequest(1, 0x19, fieldSet(0x7FB), QByteArray(128, 'a')) << 25 + 3 + 128;
    QTest::newRow("LIST_DIRECTORY request, path of 1023 bytes")
        << W::listDirectoryRequest(1, 0x19, fieldSet(0x7FB), QByteArray(1023, 'a')) << 25 + 3 + 1023;
    QTest::newRow("LIST_DIRECTORY request, two mask values")
        << W::listDirectoryRequest(1, 0x19, [] { VfsMirkFieldMask f; f.set(0, 1); f.set(15, 2); return f; }(), "/")
        << 25 + 5 + 3;
    QTest::newRow("empty listing page")
        << VfsMirkListPageWriter(1, FSO_STATUS_COMPLETE, 0, 0x7FB).finish() << 22;
    QTest::newRow("DELETE_FILE reply, path of 1023 bytes")
        << W::deleteFileReply(1, FSO_STATUS_OK, QByteArray(1023, 'a')) << 14 + 3 + 1023;
}

void TestVfsMirkCommand::frameSizes()
{
    QFETCH(QByteArray, built);
    QFETCH(int, size);

    QCOMPARE(built.size(), size);
    VfsMirkCommandParser parser;
    QVERIFY(parser.processCommand(built, m_cmd.get(), 3));
    QCOMPARE(m_cmd->length, quint32(size));
}

void TestVfsMirkCommand::writerRefuses_data()
{
    QTest::addColumn<QByteArray>("built");

    const QByteArray data(C::DataSize + 1, 'd');
    const QByteArray dg = digests(3221);
    const QByteArray path1024(1024, 'p');
    VfsMirkFieldMask twoBits;
    twoBits.set(0, 0x28);
    twoBits.set(1, 0);
    std::vector<DriveCache> many;
    for (int i = 0; i < 32; ++i)
        many.push_back(drive(0, 0, 0, 1, 1, "/media/some/long/mount/point/" + QByteArray::number(i), "A fairly long drive label"));

    QTest::newRow("WRITE_FILE request, 0 bytes") << W::writeFileRequest(1, 0, 1, 0, data.constData(), 0);
    QTest::newRow("WRITE_FILE request, 64401 bytes") << W::writeFileRequest(1, 0, 1, 0, data.constData(), data.size());
    QTest::newRow("READ_FILE reply, 64401 bytes") << W::readFileReply(1, 0, 0, 0, data.constData(), data.size());
    QTest::newRow("HASH_FILE reply, 3221 digests") << W::hashFileReply(1, 0, 1, 3221, dg.constData(), dg.size());
    QTest::newRow("HASH_FILE reply, count and bytes differ") << W::hashFileReply(1, 0, 1, 2, dg.constData(), 20);
    QTest::newRow("LIST_DIRECTORY request, path of 1024 bytes") << W::listDirectoryRequest(1, 0x19, fieldSet(0x7FB), path1024);
    QTest::newRow("MOVE request, destination of 1024 bytes") << W::moveRequest(1, 0, "/a", path1024);
    QTest::newRow("OPEN_FILE v2, mask with two bits") << W::openFileRequest(1, 2, 0x12, twoBits, 1, 0, 1, 0, "/f");
    QTest::newRow("OPEN_FILE v3, time field 0x40") << W::openFileRequest(1, 3, 0x12, fieldSet(0x40), 1, 0, 1, 0, "/f");
    QTest::newRow("DIRECTORY_CHANGED, path of 1024 bytes") << W::directoryChangedNotice(1, path1024);
    QTest::newRow("LIST_DRIVES reply beyond its buffer") << W::listDrivesReply(1, 0, many);
}

void TestVfsMirkCommand::writerRefuses()
{
    QFETCH(QByteArray, built);
    QVERIFY(built.isNull());
}

void TestVfsMirkCommand::pathLimit()
{
    VfsMirkCommandParser parser;
    const QByteArray path(1023, 'x');
    QVERIFY(parser.processCommand(W::listDirectoryRequest(1, 0x19, fieldSet(0x7FB), path), m_cmd.get(), 3));
    QCOMPARE(m_cmd->pathLength, 1023u);
    QCOMPARE(m_cmd->path[1023], '\0');
    QCOMPARE(m_cmd->pathBytes(), path);

    QVERIFY(parser.processCommand(W::moveRequest(2, 0, path, path), m_cmd.get(), 3));
    QCOMPARE(m_cmd->destinationPathBytes(), path);
}

void TestVfsMirkCommand::listDrivesKeepsAtMost32()
{
    QByteArray body = u8(0) + u16(0) + u16(0) + u16(40);
    for (int i = 0; i < 40; ++i) {
        body += u8(0) + u8(1) + u8(3) + u8(0) + u64(1000 + i) + u64(i) +
                str("/media/" + QByteArray::number(i)) + str("Stick " + QByteArray::number(i));
    }
    VfsMirkCommandParser parser;
    QVERIFY(parser.processCommand(frame(0x43, 0x8C, 3, body), m_cmd.get(), 3));
    QCOMPARE(int(m_cmd->count), 32);
    QCOMPARE(m_cmd->driveRootPath(0), QByteArray("/media/0"));
    QCOMPARE(m_cmd->driveName(31), QByteArray("Stick 31"));
    QCOMPARE(m_cmd->drives[31].bytesTotal, quint64(1031));
    QCOMPARE(m_cmd->driveRootPath(32), QByteArray());

    // Drive strings share one area: they may fill it but never pass it.
    QByteArray big = u8(0) + u16(0) + u16(0) + u16(32);
    for (int i = 0; i < 32; ++i)
        big += u8(0) + u8(0) + u8(0) + u8(0) + u64(1) + u64(1) + str(QByteArray(1000, 'r')) + str(QByteArray(1012, 'n'));
    QVERIFY(!parser.processCommand(frame(0x43, 0x8C, 4, big), m_cmd.get(), 3));
    QVERIFY(m_cmd->driveStringsUsed <= quint32(C::DriveStringSize));
    QCOMPARE(int(m_cmd->count), 31); // 31 * 2014 bytes fit, the 32nd name does not
    QCOMPARE(m_cmd->driveName(30), QByteArray(1012, 'n'));
}

void TestVfsMirkCommand::listDrivesReadErrorKeepsEarlierEntries()
{
    const QByteArray good = u8(0) + u8(0) + u8(0) + u8(0) + u64(10) + u64(5) + str("/") + str("System");
    const QByteArray cut = u8(1) + u8(1) + u8(3) + u8(0) + u64(10);
    VfsMirkCommandParser parser;
    QSignalSpy received(&parser, &VfsMirkCommandParser::commandReceived);
    QVERIFY(!parser.processCommand(frame(0x43, 0x8C, 3, u8(0) + u16(0) + u16(0) + u16(2) + good + cut), m_cmd.get(), 3));
    QCOMPARE(received.size(), 0);
    QCOMPARE(int(m_cmd->count), 1);
    QCOMPARE(m_cmd->driveName(0), QByteArray("System"));
}

void TestVfsMirkCommand::listingPageAreaLimits()
{
    VfsMirkCommandParser parser;
    // Ends right after the count: no entries, whatever the count said.
    QVERIFY(parser.processCommand(frame(0x43, 0x8B, 1, u8(0) + u32(0) + u16(5)), m_cmd.get(), 3));
    QCOMPARE(int(m_cmd->count), 0);
    QCOMPARE(m_cmd->entryAreaLength, 0u);

    // An area of 65534 bytes is taken whole.
    const QByteArray fits(C::EntryAreaSize, '\x0d');
    QVERIFY(parser.processCommand(frame(0x43, 0x8B, 2, u8(0) + u32(7) + u16(9) + fits), m_cmd.get(), 3));
    QCOMPARE(int(m_cmd->count), 9);
    QCOMPARE(m_cmd->index, 7u);
    QCOMPARE(m_cmd->entryAreaLength, quint32(C::EntryAreaSize));

    // One byte more is not copied at all.
    QVERIFY(parser.processCommand(frame(0x43, 0x8B, 3, u8(0) + u32(7) + u16(9) + fits + 'x'), m_cmd.get(), 3));
    QCOMPARE(int(m_cmd->count), 0);
    QCOMPARE(m_cmd->entryAreaLength, 0u);
}

void TestVfsMirkCommand::blobLengthsNeverExceedCopiedBytes()
{
    VfsMirkCommandParser parser;
    const QByteArray full(C::DataSize, 'f');
    QVERIFY(parser.processCommand(W::readFileReply(1, 0, 0, 0, full.constData(), full.size()), m_cmd.get(), 3));
    QCOMPARE(m_cmd->dataLength, quint32(C::DataSize));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(m_cmd->data), int(m_cmd->dataLength)), full);

    // A longer blob than the data area holds: nothing is copied and nothing recorded.
    memset(m_cmd->data, 0, sizeof m_cmd->data);
    const QByteArray over(C::DataSize + 1, 'o');
    QVERIFY(parser.processCommand(frame(0x43, 0x91, 2, u8(0) + u8(0) + u64(0) + blob(over)), m_cmd.get(), 3));
    QCOMPARE(m_cmd->dataLength, 0u);
    QCOMPARE(m_cmd->data[0], quint8(0));
    QVERIFY(parser.processCommand(frame(0x42, 0x12, 3, u8(0) + u16(1) + u64(0) + blob(over)), m_cmd.get(), 3));
    QCOMPARE(m_cmd->dataLength, 0u);

    // An empty write carries nothing.
    QVERIFY(parser.processCommand(frame(0x42, 0x12, 4, u8(0) + u16(1) + u64(0) + blob(QByteArray())), m_cmd.get(), 3));
    QCOMPARE(m_cmd->dataLength, 0u);
}

void TestVfsMirkCommand::hashDigestLimits()
{
    VfsMirkCommandParser parser;
    const QByteArray dg = digests(3220);
    QVERIFY(parser.processCommand(W::hashFileReply(1, 0, 1, 3220, dg.constData(), dg.size()), m_cmd.get(), 3));
    QCOMPARE(int(m_cmd->count), 3220);
    QCOMPARE(m_cmd->digestLength, 64400u);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(m_cmd->digests), 64400), dg);

    QVERIFY(parser.processCommand(W::hashFileReply(2, FSO_STATUS_END_OF_FILE, 1, 0, nullptr, 0), m_cmd.get(), 3));
    QCOMPARE(int(m_cmd->count), 0);
    QCOMPARE(m_cmd->digestLength, 0u);
}

void TestVfsMirkCommand::fullListingPage()
{
    // Fill one page the way the server does and read it back whole.
    VfsMirkListPageWriter page(0x4321, FSO_STATUS_COMPLETE, 600, VfsMirkListEntry::FieldsAll);
    VfsMirkListEntry e = entry("", VfsMirkListEntry::TypeSymbolicLink);
    e.reference = QByteArray(200, 't');
    e.targetType = VfsMirkListEntry::TypeFile;
    int added = 0;
    for (;;) {
        e.name = "file-" + QByteArray::number(added);
        e.size = quint64(added);
        const VfsMirkListPageWriter::AddResult result = page.addEntry(e);
        if (result != VfsMirkListPageWriter::Added) {
            QCOMPARE(result, VfsMirkListPageWriter::NoRoom);
            break;
        }
        ++added;
    }
    QVERIFY(added > 200);
    QCOMPARE(page.count(), added);
    QVERIFY(page.remaining() < 300);
    page.setStatus(FSO_STATUS_OK);
    const QByteArray frameBytes = page.finish();
    QVERIFY(frameBytes.size() <= VfsMirkListPageWriter::Capacity);
    QCOMPARE(frameBytes.size() + page.remaining(), VfsMirkListPageWriter::Capacity);

    VfsMirkCommandParser parser;
    QVERIFY(parser.processCommand(frameBytes, m_cmd.get(), 3));
    QCOMPARE(int(m_cmd->status), int(FSO_STATUS_OK));
    QCOMPARE(m_cmd->index, 600u);
    QCOMPARE(int(m_cmd->count), added);
    QCOMPARE(m_cmd->entryAreaLength, quint32(frameBytes.size() - 22));
    com::TermStreamReader reader(m_cmd->entryArea, m_cmd->entryAreaLength);
    VfsMirkListEntry back;
    for (int i = 0; i < added; ++i) {
        QVERIFY(back.read(reader, VfsMirkListEntry::FieldsAll));
        QCOMPARE(back.name, "file-" + QByteArray::number(i));
        QCOMPARE(back.reference, e.reference);
    }
    QCOMPARE(reader.remaining(), std::size_t(0));
}

void TestVfsMirkCommand::pageWriterRefusesOverlongEntries()
{
    VfsMirkListPageWriter page(1, FSO_STATUS_COMPLETE, 0, VfsMirkListEntry::FieldsAll);
    QCOMPARE(page.addEntry(entry(QByteArray(1023, 'n'), VfsMirkListEntry::TypeFile)), VfsMirkListPageWriter::Refused);
    VfsMirkListEntry link = entry("l", VfsMirkListEntry::TypeSymbolicLink);
    link.reference = QByteArray(1024, 'r');
    QCOMPARE(page.addEntry(link), VfsMirkListPageWriter::Refused);
    // A file carries no reference, so a long one does not matter.
    VfsMirkListEntry file = entry(QByteArray(1022, 'n'), VfsMirkListEntry::TypeFile);
    file.reference = QByteArray(5000, 'r');
    QCOMPARE(page.addEntry(file), VfsMirkListPageWriter::Added);
    link.reference = QByteArray(1023, 'r');
    QCOMPARE(page.addEntry(link), VfsMirkListPageWriter::Added);

    const QByteArray bytes = page.finish();
    VfsMirkCommandParser parser;
    QVERIFY(parser.processCommand(bytes, m_cmd.get(), 3));
    QCOMPARE(int(m_cmd->count), 2);
    com::TermStreamReader reader(m_cmd->entryArea, m_cmd->entryAreaLength);
    VfsMirkListEntry back;
    QVERIFY(back.read(reader, VfsMirkListEntry::FieldsAll));
    QCOMPARE(back.name.size(), 1022);
    QVERIFY(back.reference.isEmpty());
    QVERIFY(back.read(reader, VfsMirkListEntry::FieldsAll));
    QCOMPARE(back.reference.size(), 1023);

    // The reader refuses an overlong name as well.
    com::TermStreamReader longName(nullptr, 0);
    QByteArray raw = str(QByteArray(1023, 'n'));
    com::TermStreamReader r2(raw.constData(), std::size_t(raw.size()));
    QVERIFY(!back.read(r2, 0));
    QVERIFY(!back.read(longName, 0));
}

void TestVfsMirkCommand::untouchedFields()
{
    VfsMirkCommandParser parser;
    QVERIFY(parser.processCommand(W::listDirectoryRequest(1, 0x19, fieldSet(0x7FB), "/srv"), m_cmd.get(), 3));
    QVERIFY(parser.processCommand(W::closeFileRequest(2, 0, 7), m_cmd.get(), 3));
    QCOMPARE(m_cmd->pathBytes(), QByteArray("/srv"));
    QCOMPARE(m_cmd->fields.value(0), 0x7FBu);
    QCOMPARE(int(m_cmd->handle), 7);
    QCOMPARE(int(m_cmd->command), int(C::CloseFile));
    QCOMPARE(int(m_cmd->trId), 2);

    // Absent mask bits and an absent file id read as 0.
    QVERIFY(parser.processCommand(W::listDirectoryReply(3, 0, 0x11, fieldSet(0x7FB), 77), m_cmd.get(), 3));
    QCOMPARE(m_cmd->fileId, 77u);
    VfsMirkFieldMask high;
    high.set(3, 9);
    QVERIFY(parser.processCommand(W::listDirectoryReply(4, 0, 0x01, high, 77), m_cmd.get(), 3));
    QCOMPARE(m_cmd->fileId, 0u);
    QCOMPARE(m_cmd->fields.value(0), 0u);
    QCOMPARE(m_cmd->fields.values[0], 0u);
    QCOMPARE(m_cmd->fields.value(3), 9u);
}

void TestVfsMirkCommand::parserNumbers()
{
    VfsMirkCommandParser first;
    VfsMirkCommandParser second;
    QCOMPARE(second.id(), first.id() + 1);
    QVERIFY(!first.processCommand(QByteArray("abc"), nullptr, 3));
    QVERIFY(!first.processCommand(nullptr, 0, m_cmd.get(), 3));
}

QTEST_APPLESS_MAIN(TestVfsMirkCommand)
#include "tst_vfsmirkcommand.moc"

#include "models/ithemepixmapprovider.h"
#include "models/vfsdrivemodel.h"

#include <QIcon>
#include <QPixmap>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

namespace {

VfsDrive drive(const QString& path, const QString& name, quint64 total = 500000000000ull,
               quint8 type = VfsDriveModel::DiskType, quint8 plugType = 0)
{
    VfsDrive d;
    d.path = path;
    d.name = name;
    d.bytesTotal = total;
    d.bytesAvailable = total / 2;
    d.type = type;
    d.plugType = plugType;
    return d;
}

QList<VfsDrive> tagged(QList<VfsDrive> drives, quint16 trId)
{
    for (VfsDrive& d : drives)
        d.trId = trId;
    return drives;
}

QStringList paths(const VfsDriveModel& model)
{
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row)
        out << model.getPathForRow(row);
    return out;
}

// "ins 0", "rem 2", "chg 1 0-5": the model's row signals in order.
struct SignalLog
{
    explicit SignalLog(VfsDriveModel* model)
    {
        QObject::connect(model, &QAbstractItemModel::rowsInserted, &context,
                         [this](const QModelIndex&, int first, int last) {
                             for (int row = first; row <= last; ++row)
                                 events << QStringLiteral("ins %1").arg(row);
                         });
        QObject::connect(model, &QAbstractItemModel::rowsRemoved, &context,
                         [this](const QModelIndex&, int first, int last) {
                             for (int row = first; row <= last; ++row)
                                 events << QStringLiteral("rem %1").arg(row);
                         });
        QObject::connect(model, &QAbstractItemModel::dataChanged, &context,
                         [this](const QModelIndex& from, const QModelIndex& to, const QVector<int>& roles) {
                             events << QStringLiteral("chg %1 %2-%3%4")
                                           .arg(from.row())
                                           .arg(from.column())
                                           .arg(to.column())
                                           .arg(roles.isEmpty() ? QString() : QStringLiteral(" roles"));
                         });
    }
    QObject context;
    QStringList events;
};

void merge(VfsDriveModel& model, const QList<VfsDrive>& drives)
{
    model.updateDrives(std::vector<VfsDrive>(drives.begin(), drives.end()));
    QCoreApplication::sendPostedEvents(&model, QEvent::MetaCall);
}

class FakeTheme : public IThemePixmapProvider
{
public:
    FakeTheme() { install(this); }
    ~FakeTheme() override { install(nullptr); }
    QPixmap requestPixmap(const QString& id, QSize* size, const QSize& requested) override
    {
        ids << id;
        if (!known)
            return QPixmap();
        QPixmap pixmap(requested);
        pixmap.fill(Qt::red);
        if (size)
            *size = pixmap.size();
        return pixmap;
    }
    QPixmap platformFilePixmap(const QString&, int, bool) override { return QPixmap(); }

    bool known = true;
    QStringList ids;
};

} // namespace

class TestVfsDriveModel : public QObject
{
    Q_OBJECT
private slots:
    void merge_data();
    void merge();
    void newestListingWins();
    void listingFromAnotherThread();
    void slotsMayHandOverDuringTheMerge();
    void texts_data();
    void texts();
    void rolesAndColumns();
    void icon();
    void driveForPath_data();
    void driveForPath();
};

void TestVfsDriveModel::merge_data()
{
    QTest::addColumn<QList<VfsDrive>>("shown");
    QTest::addColumn<QList<VfsDrive>>("listing");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QStringList>("events");

    const VfsDrive root = drive("/", "root");
    const VfsDrive usb = drive("/media/usb", "USB", 64000000000ull, VfsDriveModel::HotplugType, 3);
    const VfsDrive data = drive("/data", "Data");
    VfsDrive usbFuller = usb;
    usbFuller.bytesAvailable -= 1000;
    VfsDrive usbRenamed = usb;
    usbRenamed.name = "Stick";
    VfsDrive usbState = usb;
    usbState.state = 1;

    QTest::newRow("equal listing changes nothing")
        << QList<VfsDrive>{root, usb} << QList<VfsDrive>{root, usb} << QStringList{"/", "/media/usb"}
        << QStringList{};
    QTest::newRow("empty listing removes nothing")
        << QList<VfsDrive>{root, usb} << QList<VfsDrive>{} << QStringList{"/", "/media/usb"} << QStringList{};
    QTest::newRow("missing drive removed")
        << QList<VfsDrive>{root, usb, data} << QList<VfsDrive>{root, data} << QStringList{"/", "/data"}
        << QStringList{"rem 1"};
    QTest::newRow("free space changed")
        << QList<VfsDrive>{root, usb} << QList<VfsDrive>{root, usbFuller} << QStringList{"/", "/media/usb"}
        << QStringList{"chg 1 0-5"};
    QTest::newRow("name changed")
        << QList<VfsDrive>{root, usb} << QList<VfsDrive>{root, usbRenamed} << QStringList{"/", "/media/usb"}
        << QStringList{"chg 1 0-5"};
    QTest::newRow("state changed")
        << QList<VfsDrive>{root, usb} << QList<VfsDrive>{root, usbState} << QStringList{"/", "/media/usb"}
        << QStringList{"chg 1 0-5"};
    QTest::newRow("root without capacity first")
        << QList<VfsDrive>{data} << QList<VfsDrive>{data, drive("/", "", 0)} << QStringList{"/", "/data"}
        << QStringList{"ins 0"};
    QTest::newRow("other drive without capacity skipped")
        << QList<VfsDrive>{root} << QList<VfsDrive>{root, drive("/media/empty", "Empty", 0)}
        << QStringList{"/"} << QStringList{};
    QTest::newRow("shares never rows")
        << QList<VfsDrive>{root} << QList<VfsDrive>{drive("/srv/share", "Share", 1000, VfsDriveModel::ShareType), root}
        << QStringList{"/"} << QStringList{};
    QTest::newRow("letter order")
        << QList<VfsDrive>{drive("C:", ""), drive("E:", "")}
        << QList<VfsDrive>{drive("C:", ""), drive("E:", ""), drive("D:", ""), drive("F:", ""), drive("A:", "")}
        << QStringList{"A:", "C:", "D:", "E:", "F:"} << QStringList{"ins 1", "ins 3", "ins 0"};
    QTest::newRow("letters after other drives")
        << QList<VfsDrive>{root, drive("D:", "")} << QList<VfsDrive>{root, drive("D:", ""), drive("C:", "")}
        << QStringList{"/", "C:", "D:"} << QStringList{"ins 1"};
    QTest::newRow("new and missing at once")
        << QList<VfsDrive>{root, usb} << QList<VfsDrive>{root, data} << QStringList{"/", "/data"}
        << QStringList{"ins 2", "rem 1"};
}

// The shown drives come from an earlier listing (transaction 1), the new
// listing is transaction 2.
void TestVfsDriveModel::merge()
{
    QFETCH(QList<VfsDrive>, shown);
    QFETCH(QList<VfsDrive>, listing);
    QFETCH(QStringList, rows);
    QFETCH(QStringList, events);

    VfsDriveModel model;
    ::merge(model, tagged(shown, 1));
    QCOMPARE(model.rowCount(), shown.size());
    SignalLog log(&model);
    ::merge(model, tagged(listing, 2));
    QCOMPARE(paths(model), rows);
    QCOMPARE(log.events, events);
}

void TestVfsDriveModel::newestListingWins()
{
    VfsDriveModel model;
    model.updateDrives({drive("/", "root")});
    VfsDrive usb = drive("/media/usb", "USB");
    usb.trId = 7;
    model.updateDrives({usb});
    QTRY_COMPARE(model.rowCount(), 1);
    QCOMPARE(model.getPathForRow(0), QStringLiteral("/media/usb"));
    // The queued calls of both hand-overs have run; the second found nothing.
    QCoreApplication::sendPostedEvents(&model, QEvent::MetaCall);
    QCOMPARE(model.rowCount(), 1);
}

void TestVfsDriveModel::listingFromAnotherThread()
{
    VfsDriveModel model;
    QThread* thread = QThread::create([&model] { model.updateDrives({drive("/", "root"), drive("/data", "Data")}); });
    thread->start();
    QVERIFY(thread->wait(10000));
    delete thread;
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 2, 10000);
}

// A view's slot may hand over the next listing while the model merges; the
// merge runs without its lock, so that does not block.
void TestVfsDriveModel::slotsMayHandOverDuringTheMerge()
{
    VfsDriveModel model;
    bool handedOver = false;
    QObject context;
    connect(&model, &QAbstractItemModel::rowsInserted, &context, [&] {
        if (handedOver)
            return;
        handedOver = true;
        VfsDrive data = drive("/data", "Data");
        data.trId = 2;
        model.updateDrives({data});
    });
    VfsDrive root = drive("/", "root");
    root.trId = 1;
    model.updateDrives({root});
    QTRY_VERIFY(handedOver);
    QTRY_COMPARE(paths(model), QStringList{"/data"});
}

void TestVfsDriveModel::texts_data()
{
    QTest::addColumn<VfsDrive>("drive");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<QString>("shortName");
    QTest::addColumn<QString>("iconName");

    const QString disk = QStringLiteral("icon/drive-disk.svg");
    QTest::newRow("SMB share on a letter")
        << drive("Z:", "\\\\server\\share", 1000, VfsDriveModel::SmbType) << 0 << "share (\\\\server) (Z:)" << "Z"
        << "icon/drive-smb.svg";
    QTest::newRow("SMB without name parts")
        << drive("Z:", "\\\\", 1000, VfsDriveModel::SmbType) << 0 << "Z:" << "Z" << "icon/drive-smb.svg";
    QTest::newRow("unnamed local letter") << drive("C:", "") << 0 << qtTrId("drive-local-disk").arg("C:") << "C"
                                          << disk;
    QTest::newRow("named local letter") << drive("D:", "Backup") << 1 << "Backup (D:)" << "D" << disk;
    QTest::newRow("named volume") << drive("/data", "Data") << 1 << "Data" << "Data" << disk;
    QTest::newRow("unnamed root") << drive("/", "") << 0 << qtTrId("drive-main-hd") << "HD" << disk;
    QTest::newRow("root named by its device") << drive("/", "/dev/sda1") << 0 << qtTrId("drive-main-hd") << "HD"
                                              << disk;
    QTest::newRow("one-letter name") << drive("/mnt/x", "x") << 2 << "x" << "x" << disk;
    QTest::newRow("named by its device")
        << drive("/mnt/b", "/dev/sdb1", 64000000000ull) << 3 << qtTrId("drive-volume-gb").arg(64) << "HD3" << disk;
    QTest::newRow("hotplug") << drive("/media/usb", "USB", 1000, VfsDriveModel::HotplugType, 3) << 0 << "USB"
                             << "USB" << "icon/drive-hotplug.svg";
    QTest::newRow("network mount") << drive("/mnt/nas", "NAS", 1000, VfsDriveModel::DiskType, 6) << 0 << "NAS"
                                   << "NAS" << "icon/drive-smb.svg";
}

void TestVfsDriveModel::texts()
{
    QFETCH(VfsDrive, drive);
    QFETCH(int, row);
    QFETCH(QString, displayName);
    QFETCH(QString, shortName);
    QFETCH(QString, iconName);
    QCOMPARE(VfsDriveModel::displayName(drive), displayName);
    QCOMPARE(VfsDriveModel::shortName(drive, row), shortName);
    QCOMPARE(VfsDriveModel::iconName(drive), iconName);
}

void TestVfsDriveModel::rolesAndColumns()
{
    VfsDriveModel model;
    VfsDrive usb = drive("/media/usb", "USB", 64000000000ull, VfsDriveModel::HotplugType, 4);
    usb.state = 5;
    ::merge(model, {drive("/", ""), usb});
    QCOMPARE(model.columnCount(), 6);

    const QHash<int, QByteArray> names = model.roleNames();
    QCOMPARE(names.size(), 11);
    QCOMPARE(names.value(257), QByteArray("vfsDriveName"));
    QCOMPARE(names.value(262), QByteArray("vfsDrivePath"));
    QCOMPARE(names.value(267), QByteArray("vfsDriveBytesTotal"));

    const QModelIndex i = model.index(1, 0);
    QCOMPARE(i.data(VfsDriveModel::NameRole).toString(), QStringLiteral("USB"));
    QCOMPARE(i.data(VfsDriveModel::DisplayNameRole).toString(), QStringLiteral("USB"));
    QCOMPARE(i.data(VfsDriveModel::ShortNameRole).toString(), QStringLiteral("USB"));
    QCOMPARE(i.data(VfsDriveModel::IconNameRole).toString(), QStringLiteral("icon/drive-hotplug.svg"));
    QCOMPARE(i.data(VfsDriveModel::PathRole).toString(), QStringLiteral("/media/usb"));
    QCOMPARE(i.data(VfsDriveModel::TypeRole).toString(), QStringLiteral("hotplug"));
    QCOMPARE(i.data(VfsDriveModel::PlugTypeRole).toString(), QStringLiteral("usb3"));
    QVERIFY(!i.data(VfsDriveModel::StateRole).isValid());
    QCOMPARE(i.data(VfsDriveModel::BytesAvailableRole).toULongLong(), 32000000000ull);
    QCOMPARE(i.data(VfsDriveModel::BytesTotalRole).toULongLong(), 64000000000ull);

    const QStringList display{"USB", "USB", "USB", "hotplug", "/media/usb"};
    for (int column = 0; column < 5; ++column)
        QCOMPARE(model.index(1, column).data().toString(), display.at(column));
    QVERIFY(!model.index(1, 5).data().isValid());
    QCOMPARE(model.index(0, 2).data().toString(), QStringLiteral("HD"));
    QVERIFY(!model.index(0, 0).data(Qt::DecorationRole).isValid());
    QVERIFY(!model.index(0, 0).data(Qt::ToolTipRole).isValid());
    QVERIFY(!model.data(model.index(2, 0), VfsDriveModel::NameRole).isValid());
    QCOMPARE(model.getPathForRow(5), QString());
    QCOMPARE(model.indexForPath("/media/usb"), model.index(1, 0));
    QVERIFY(!model.indexForPath("/media").isValid());
    QVERIFY(!model.indexForPath("/media/usb/x").isValid());

    // Only plug types 0 to 5 have names.
    const QStringList plugNames{"general", "sata", "firewire", "usb", "usb3", "mmc", "unknown", "unknown"};
    for (int plug = 0; plug < plugNames.size(); ++plug)
        QCOMPARE(VfsDriveModel::plugTypeText(quint8(plug)), plugNames.at(plug));
    const QStringList typeNames{"disk", "hotplug", "smb", "share", "unknown"};
    for (int type = 0; type < typeNames.size(); ++type)
        QCOMPARE(VfsDriveModel::typeText(quint8(type)), typeNames.at(type));
}

void TestVfsDriveModel::icon()
{
    VfsDriveModel model;
    ::merge(model, {drive("Z:", "\\\\nas\\media", 1000, VfsDriveModel::SmbType)});
    const QModelIndex i = model.index(0, 2);
    {
        FakeTheme theme;
        const QIcon icon = i.data(VfsDriveModel::IconRole).value<QIcon>();
        const QString smb = QStringLiteral("icon/drive-smb.svg");
        QCOMPARE(theme.ids, (QStringList{smb, smb, smb, smb}));
        QCOMPARE(icon.availableSizes(), (QList<QSize>{{16, 16}, {24, 24}, {32, 32}, {48, 48}}));
        QCOMPARE(i.data(Qt::DecorationRole).value<QIcon>().availableSizes(), icon.availableSizes());
        theme.known = false;
        QCOMPARE(i.data(VfsDriveModel::IconRole).value<QIcon>().name(), QIcon::fromTheme("drive-harddisk").name());
    }
    QVERIFY(!IThemePixmapProvider::instance());
    QCOMPARE(i.data(VfsDriveModel::IconRole).value<QIcon>().name(), QIcon::fromTheme("drive-harddisk").name());
}

void TestVfsDriveModel::driveForPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("drive");
    QTest::newRow("file on the root") << "/home/user/a" << "/";
    QTest::newRow("the root") << "/" << "/";
    QTest::newRow("drive root") << "/media/usb" << "/media/usb";
    QTest::newRow("file on a drive below the root") << "/media/usb/a.txt" << "/media/usb";
    QTest::newRow("name that only starts like a drive") << "/media/usb2/a.txt" << "/";
    QTest::newRow("drive inside a drive") << "/media/usb/inner/f" << "/media/usb/inner";
    QTest::newRow("name that only starts like the inner drive") << "/media/usb/inner2" << "/media/usb";
    QTest::newRow("lettered") << "C:\\Users\\a" << "C:";
    QTest::newRow("lettered root") << "C:" << "C:";
    QTest::newRow("other letter") << "D:\\x" << "";
    QTest::newRow("relative") << "media/usb" << "";
    QTest::newRow("case differs") << "c:\\x" << "";
    QTest::newRow("empty") << "" << "";
}

void TestVfsDriveModel::driveForPath()
{
    QFETCH(QString, path);
    QFETCH(QString, drive);
    VfsDriveModel model;
    ::merge(model, {::drive("/media/usb/inner", "Inner"), ::drive("/", "root"), ::drive("/media/usb", "USB"),
                    ::drive("C:", "")});
    QCOMPARE(model.rowCount(), 4);
    const VfsDrive found = model.driveForPath(path);
    QCOMPARE(found.path, drive);
    if (drive.isEmpty())
        QVERIFY(found == VfsDrive());
}

QTEST_MAIN(TestVfsDriveModel)
#include "tst_vfsdrivemodel.moc"

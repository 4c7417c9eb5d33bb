#include "vfs/watch/driveplatformlinux.h"
#include "vfs/watch/vfswatcher.h"

#include <QAtomicInt>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QScopeGuard>
#include <QMutex>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

const QString kDrives = QStringLiteral("%drives");

// The mount table and the udev answers come from the test; the by-uuid
// directory is a real directory of links made by the test, read by the real
// code. The volume monitor is not started.
class FixturePlatform : public DrivePlatformLinux
{
    Q_OBJECT
public:
    QVector<MountedVolume> mountedVolumes() const override
    {
        QMutexLocker lock(&mutex);
        return volumes;
    }

    QByteArray udevInfo(const QByteArray& device) const override
    {
        udevCalls.fetchAndAddOrdered(1);
        {
            QMutexLocker lock(&mutex);
            udevThreads.append(QThread::currentThread());
        }
        if (blockUdev) {
            udevEntered.release();
            udevRelease.acquire();
        }
        QMutexLocker lock(&mutex);
        return udev.value(device);
    }

    void startVolumeMonitor() override { monitorStarted = true; }

    void setVolumes(const QVector<MountedVolume>& list)
    {
        QMutexLocker lock(&mutex);
        volumes = list;
    }

    mutable QMutex mutex;
    QVector<MountedVolume> volumes;
    QHash<QByteArray, QByteArray> udev;
    mutable QVector<QThread*> udevThreads;
    mutable QAtomicInt udevCalls;
    bool blockUdev = false;
    mutable QSemaphore udevEntered;
    mutable QSemaphore udevRelease;
    bool monitorStarted = false;
};

// The mount table comes from the test; udevadm is run by the real code, and
// what it would log is kept.
class MountTablePlatform : public DrivePlatformLinux
{
    Q_OBJECT
public:
    QVector<MountedVolume> mountedVolumes() const override { return volumes; }
    void startVolumeMonitor() override {}

    QList<QByteArray> logLines() const
    {
        QMutexLocker lock(&mutex);
        return lines;
    }

    QVector<MountedVolume> volumes;

protected:
    void writeLog(const QByteArray& line) const override
    {
        QMutexLocker lock(&mutex);
        lines.append(line);
    }

private:
    mutable QMutex mutex;
    mutable QList<QByteArray> lines;
};

MountedVolume volume(const QString& root, const QByteArray& device, const QByteArray& type,
                     const QString& displayName = QString())
{
    MountedVolume v;
    v.rootPath = root;
    v.device = device;
    v.fileSystemType = type;
    v.displayName = displayName.isEmpty() ? root : displayName;
    v.ready = true;
    v.valid = true;
    v.bytesTotal = 1000000;
    v.bytesAvailable = 250000;
    return v;
}

VfsWatcher::Timings fastTimings()
{
    VfsWatcher::Timings t;
    t.notifyDelay = 50;
    t.notifyMaxDelay = 500;
    t.checkInterval = 3600 * 1000; // the tests run the poll by hand
    t.driveStartDelay = 3600 * 1000;
    t.driveSignalDelay = 20;
    t.driveActivityDelay = 100;
    return t;
}

int countOf(const QSignalSpy& spy, const QString& path)
{
    int n = 0;
    for (const QList<QVariant>& args : spy)
        n += args.at(0).toString() == path ? 1 : 0;
    return n;
}

bool appendTo(const QString& fileName, const QByteArray& bytes)
{
    QFile file(fileName);
    if (!file.open(QIODevice::Append))
        return false;
    return file.write(bytes) == bytes.size();
}

} // namespace

Q_DECLARE_METATYPE(MountedVolume)

class TestVfsWatcher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void readDrives_data();
    void readDrives();
    void readDrivesKeepsMountOrder();
    void udevadmProgram_data();
    void udevadmProgram();
    void udevadmGivesUpOnAbort();
    void udevadmFoundOnPath();

    void driveRefreshRunsOnPool();
    void driveRefreshAfterActivityButNotAfterItself();
    void volumeEventsRefreshDrives();
    void drivesReadWhileRefreshing();

    void burstGivesOneReport();
    void distinctPathsReportedInOrder();
    void busyDirectoryStillReported();
    void systemNotificationReported();
    void pollReportsWhatNotificationsMiss();
    void pollIgnoresTheParentDirectory();
    void vanishedDirectoryDropped();
    void oldestDirectoryPushedOut();
    void watchFromOtherThread();
    void defaultPlatformStartsAndStops();

private:
    QTemporaryDir m_byUuid;
};

void TestVfsWatcher::initTestCase()
{
    qRegisterMetaType<IDrivePlatform::VolumeEvent>();
    QVERIFY(m_byUuid.isValid());
    // Real links point at the device node; the targets need not exist.
    QVERIFY(QFile::link(QStringLiteral("/dev/sdb1"),
                        m_byUuid.filePath(QStringLiteral("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"))));
    QVERIFY(QFile::link(QStringLiteral("/dev/sdc1"), m_byUuid.filePath(QStringLiteral("ABCD-1234"))));
    QVERIFY(QFile::link(QStringLiteral("/dev/sdb1"),
                        m_byUuid.filePath(QStringLiteral("ffffffff-0000-4000-8000-000000000000"))));
    QFile plain(m_byUuid.filePath(QStringLiteral("00000000-not-a-link")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
}

void TestVfsWatcher::readDrives_data()
{
    QTest::addColumn<MountedVolume>("mounted");
    QTest::addColumn<QByteArray>("udev");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("plugType");
    QTest::addColumn<QString>("id");

    const QString noId;
    const QString nullId = QStringLiteral("{00000000-0000-0000-0000-000000000000}");
    const QString sdb1Id = QStringLiteral("{0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}");

    QTest::newRow("fixed disk, unlabelled")
        << volume("/", "/dev/vda", "ext4") << QByteArray() << true << QByteArray("/") << 0 << 0
        << noId;
    QTest::newRow("first by-uuid link names the drive")
        << volume("/data", "/dev/sdb1", "ext4", "Data") << QByteArray() << true
        << QByteArray("Data") << 0 << 0 << sdb1Id;
    QTest::newRow("link name that is no uuid")
        << volume("/mnt/c", "/dev/sdc1", "vfat", "CAM") << QByteArray() << true
        << QByteArray("CAM") << 0 << 0 << nullId;
    QTest::newRow("escaped blank in label")
        << volume("/media/u/My Stick", "/dev/sdd1", "vfat", "My\\x20Stick")
        << QByteArray("E: ID_BUS=usb\n") << true << QByteArray("My Stick") << 1 << 3 << noId;
    QTest::newRow("escaped utf-8 in label")
        << volume("/media/u/F", "/dev/sdd1", "exfat", "Fotos\\xc3\\xa4") << QByteArray() << true
        << QByteArray("Fotos\xc3\xa4") << 0 << 0 << noId;
    QTest::newRow("percent escapes in label")
        << volume("/media/u/a b", "/dev/sdd1", "ext4", "a%20b") << QByteArray() << true
        << QByteArray("a b") << 0 << 0 << noId;
    QTest::newRow("unlabelled usb stick takes model")
        << volume("/media/u/disk", "/dev/sde1", "vfat")
        << QByteArray("P: /devices/pci/usb1\nE: DEVNAME=/dev/sde1\nE: ID_BUS=usb\n"
                      "E: ID_MODEL=Cruzer_Blade\nE: ID_MODEL_ENC=Cruzer\\x20Blade\\x20\\x20\n")
        << true << QByteArray("Cruzer_Blade") << 1 << 3 << noId;
    QTest::newRow("model with escapes and padding")
        << volume("/media/u/disk", "/dev/sde1", "vfat")
        << QByteArray("E: ID_MODEL_ENC=  Ultra\\x20Fit\\x20\\x20\n") << true
        << QByteArray("Ultra Fit") << 0 << 0 << noId;
    QTest::newRow("label wins over model")
        << volume("/media/u/BACKUP", "/dev/sde1", "ext4", "BACKUP")
        << QByteArray("E: ID_BUS=usb\nE: ID_MODEL=Portable_SSD\n") << true
        << QByteArray("BACKUP") << 1 << 3 << noId;
    QTest::newRow("memory card")
        << volume("/media/u/SD", "/dev/mmcblk0p1", "vfat", "SD")
        << QByteArray("E: ID_DRIVE_FLASH_SD=1\n") << true << QByteArray("SD") << 1 << 5 << noId;
    QTest::newRow("usb card reader stays usb")
        << volume("/media/u/SD", "/dev/sdf1", "vfat", "SD")
        << QByteArray("E: ID_BUS=usb\nE: ID_DRIVE_FLASH_SD=1\n") << true << QByteArray("SD") << 1
        << 3 << noId;
    QTest::newRow("only E: lines count")
        << volume("/media/u/X", "/dev/sdh1", "ext4", "X")
        << QByteArray("S: ID_BUS=usb\nID_BUS=usb\nE: ID_BUS=usb=1\nE: ID_BUS=USB\n") << true
        << QByteArray("X") << 0 << 0 << noId;
    QTest::newRow("EFI system partition left out")
        << volume("/boot/efi", "/dev/sda1", "vfat")
        << QByteArray("E: ID_PART_ENTRY_TYPE=c12a7328-f81f-11d2-ba4b-00a0c93ec93b\n") << false
        << QByteArray() << 0 << 0 << noId;
    QTest::newRow("other partition type kept")
        << volume("/home", "/dev/sda2", "ext4")
        << QByteArray("E: ID_PART_ENTRY_TYPE=0fc63daf-8483-4772-8e79-3d69d8477de4\n") << true
        << QByteArray("/home") << 0 << 0 << noId;
    QTest::newRow("tmpfs skipped") << volume("/run", "tmpfs", "tmpfs") << QByteArray() << false
                                   << QByteArray() << 0 << 0 << noId;
    QTest::newRow("squashfs skipped")
        << volume("/snap/core/1", "/dev/loop0", "squashfs") << QByteArray() << false
        << QByteArray() << 0 << 0 << noId;
    {
        MountedVolume notReady = volume("/media/u/cd", "/dev/sr0", "iso9660");
        notReady.ready = false;
        QTest::newRow("not ready skipped")
            << notReady << QByteArray() << false << QByteArray() << 0 << 0 << noId;
        MountedVolume invalid = volume("/media/u/gone", "/dev/sdz1", "ext4");
        invalid.valid = false;
        QTest::newRow("invalid skipped")
            << invalid << QByteArray() << false << QByteArray() << 0 << 0 << noId;
        MountedVolume empty = volume("/proc", "proc", "proc");
        empty.bytesTotal = 0;
        QTest::newRow("no size skipped")
            << empty << QByteArray() << false << QByteArray() << 0 << 0 << noId;
    }
    QTest::newRow("cifs share")
        << volume("/mnt/media", "//nas/media", "cifs", "media") << QByteArray() << true
        << QByteArray("//nas/media") << 0 << 6
        << QStringLiteral("{f24a6373-0447-5158-a54d-07097391196c}");
    QTest::newRow("smbfs share with escape")
        << volume("/mnt/x", "//nas/my\\x20docs", "smbfs", "x") << QByteArray() << true
        << QByteArray("//nas/my docs") << 0 << 6
        << QUuid::createUuidV5(QUuid(), QByteArray("//nas/my\\x20docs")).toString();
}

void TestVfsWatcher::readDrives()
{
    QFETCH(MountedVolume, mounted);
    QFETCH(QByteArray, udev);
    QFETCH(bool, listed);
    QFETCH(QByteArray, name);
    QFETCH(int, type);
    QFETCH(int, plugType);
    QFETCH(QString, id);

    auto* platform = new FixturePlatform;
    platform->setDiskByUuidDirectory(m_byUuid.path());
    mounted.readOnly = true;
    platform->setVolumes({ mounted });
    platform->udev.insert(mounted.device, udev);
    VfsWatcher watcher(platform, fastTimings());

    const std::vector<DriveCache> drives = watcher.readDrives();
    QCOMPARE(int(drives.size()), listed ? 1 : 0);
    if (!listed)
        return;
    const DriveCache& drive = drives.front();
    QCOMPARE(drive.name, name);
    QCOMPARE(int(drive.type), type);
    QCOMPARE(int(drive.plugType), plugType);
    QCOMPARE(drive.id, id);
    QCOMPARE(drive.rootPath, mounted.rootPath.toUtf8());
    QCOMPARE(int(drive.readOnly), 1);
    QCOMPARE(int(drive.state), 0);
    QCOMPARE(drive.bytesTotal, quint64(1000000));
    QCOMPARE(drive.bytesAvailable, quint64(250000));
}

void TestVfsWatcher::readDrivesKeepsMountOrder()
{
    auto* platform = new FixturePlatform;
    platform->setDiskByUuidDirectory(m_byUuid.path());
    platform->setVolumes({ volume("/", "/dev/vda", "ext4"), volume("/run", "tmpfs", "tmpfs"),
                           volume("/boot/efi", "/dev/vda1", "vfat"),
                           volume("/data", "/dev/sdb1", "xfs", "Data") });
    platform->udev.insert("/dev/vda1",
                          "E: ID_PART_ENTRY_TYPE=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n");
    VfsWatcher watcher(platform, fastTimings());
    const std::vector<DriveCache> drives = watcher.readDrives();
    QCOMPARE(int(drives.size()), 2);
    QCOMPARE(drives[0].rootPath, QByteArray("/"));
    QCOMPARE(drives[1].rootPath, QByteArray("/data"));
    QCOMPARE(drives[1].id, QStringLiteral("{0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}"));
}

void TestVfsWatcher::udevadmProgram_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("arguments passed")
        << QByteArray("#!/bin/sh\necho \"E: ARGS=$1 $2 $3\"\n") << 30000
        << QByteArray("E: ARGS=info -x /dev/sdb1\n");
    QTest::newRow("failing program still read")
        << QByteArray("#!/bin/sh\necho 'E: ID_BUS=usb'\nexit 3\n") << 30000
        << QByteArray("E: ID_BUS=usb\n");
    // The time-out is what the program is given to start and print; it must
    // suffice on a busy machine too.
    QTest::newRow("hanging program given up, output kept")
        << QByteArray("#!/bin/sh\necho 'E: ID_BUS=usb'\nexec sleep 30\n") << 3000
        << QByteArray("E: ID_BUS=usb\n");
    QTest::newRow("missing program") << QByteArray() << 30000 << QByteArray();
}

void TestVfsWatcher::udevadmProgram()
{
    QFETCH(QByteArray, script);
    QFETCH(int, timeout);
    QFETCH(QByteArray, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(QStringLiteral("udevadm"));
    if (!script.isEmpty()) {
        QFile file(program);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(script);
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    DrivePlatformLinux platform;
    platform.setUdevadmProgram(program);
    platform.setUdevTimeout(timeout);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(platform.udevInfo("/dev/sdb1"), expected);
    QVERIFY2(clock.elapsed() < 20000, "udevadm wait not bounded");
}

void TestVfsWatcher::udevadmGivesUpOnAbort()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(QStringLiteral("udevadm"));
    // The program leaves a mark once it runs, then hangs.
    const QString started = dir.filePath(QStringLiteral("started"));
    QFile file(program);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n: > '" + QFile::encodeName(started) + "'\nexec sleep 60\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    DrivePlatformLinux platform;
    platform.setUdevadmProgram(program);
    QByteArray answer("unset");
    QThread* worker = QThread::create([&] { answer = platform.udevInfo("/dev/sdb1"); });
    worker->start();
    // Aborted only while it waits for the running program.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(started), 20000);
    platform.abort();
    QVERIFY(worker->wait(20000)); // far less than the 30 s allowed per volume
    delete worker;
    QCOMPARE(answer, QByteArray());
    QCOMPARE(platform.udevInfo("/dev/sdb1"), QByteArray()); // later calls give up at once
}

// udevadm is looked up on the PATH. Without one, drives are still listed,
// only without what udev would add, and the log says so once; a udevadm
// first on the PATH is the one that runs.
void TestVfsWatcher::udevadmFoundOnPath()
{
    const QByteArray savedPath = qgetenv("PATH");
    auto restorePath = qScopeGuard([savedPath] { qputenv("PATH", savedPath); });
    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    const QVector<MountedVolume> volumes{ volume("/media/u/disk", "/dev/sde1", "vfat"),
                                          volume("/data", "/dev/sdb1", "ext4", "Data") };

    qputenv("PATH", QFile::encodeName(bin.path()));
    {
        auto* platform = new MountTablePlatform;
        platform->setDiskByUuidDirectory(m_byUuid.path());
        platform->volumes = volumes;
        VfsWatcher watcher(platform, fastTimings());
        QVERIFY(platform->udevadmPath().isEmpty());
        for (int round = 0; round < 3; ++round) {
            const std::vector<DriveCache> drives = watcher.readDrives();
            QCOMPARE(int(drives.size()), 2);
            QCOMPARE(drives[0].rootPath, QByteArray("/media/u/disk"));
            QCOMPARE(drives[0].name, QByteArray("/media/u/disk"));
            QCOMPARE(int(drives[0].type), 0);
            QCOMPARE(int(drives[0].plugType), 0);
            QCOMPARE(drives[1].name, QByteArray("Data"));
            QCOMPARE(drives[1].id, QStringLiteral("{0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}"));
        }
        const QList<QByteArray> lines = platform->logLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("udevadm"), lines.first().constData());
    }

    // A stand-in that knows the stick, first on the PATH.
    const QString program = bin.filePath(QStringLiteral("udevadm"));
    QFile file(program);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n"
               "[ \"$1 $2\" = 'info -x' ] || exit 2\n"
               "if [ \"$3\" = /dev/sde1 ]; then echo 'E: ID_BUS=usb'; echo 'E: ID_MODEL=Cruzer_Blade'; fi\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("PATH", QFile::encodeName(bin.path()) + ':' + savedPath);
    {
        auto* platform = new MountTablePlatform;
        platform->setDiskByUuidDirectory(m_byUuid.path());
        platform->volumes = volumes;
        VfsWatcher watcher(platform, fastTimings());
        QCOMPARE(platform->udevadmPath(), program);
        const std::vector<DriveCache> drives = watcher.readDrives();
        QCOMPARE(int(drives.size()), 2);
        QCOMPARE(drives[0].name, QByteArray("Cruzer_Blade"));
        QCOMPARE(int(drives[0].type), int(DriveCache::HotPluggable));
        QCOMPARE(int(drives[0].plugType), int(DriveCache::PlugUsb));
        QCOMPARE(drives[1].name, QByteArray("Data"));
        QCOMPARE(int(drives[1].plugType), 0);
        QVERIFY(platform->logLines().isEmpty());
    }
}

void TestVfsWatcher::driveRefreshRunsOnPool()
{
    auto* platform = new FixturePlatform;
    platform->setDiskByUuidDirectory(m_byUuid.path());
    platform->setVolumes({ volume("/data", "/dev/sdb1", "ext4", "Data") });
    platform->blockUdev = true;
    VfsWatcher::Timings timings = fastTimings();
    timings.driveStartDelay = 0;
    VfsWatcher watcher(platform, timings);
    auto release = qScopeGuard([platform] { platform->udevRelease.release(100); });
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);
    QVERIFY(platform->monitorStarted);

    // udevadm hangs; the main thread must go on serving its event loop.
    QTRY_VERIFY_WITH_TIMEOUT(platform->udevEntered.available() > 0, 10000);
    bool timerRan = false;
    QTimer::singleShot(10, this, [&timerRan] { timerRan = true; });
    QTRY_VERIFY_WITH_TIMEOUT(timerRan, 10000);
    QVERIFY(watcher.drives().empty());
    QCOMPARE(countOf(spy, kDrives), 0);

    platform->udevRelease.release();
    QTRY_COMPARE_WITH_TIMEOUT(countOf(spy, kDrives), 1, 10000);
    QCOMPARE(int(watcher.drives().size()), 1);
    QCOMPARE(watcher.drives().front().name, QByteArray("Data"));
    QMutexLocker lock(&platform->mutex);
    QCOMPARE(platform->udevThreads.size(), 1);
    QVERIFY(platform->udevThreads.front() != QThread::currentThread());
}

void TestVfsWatcher::driveRefreshAfterActivityButNotAfterItself()
{
    auto* platform = new FixturePlatform;
    platform->setVolumes({ volume("/", "/dev/vda", "ext4") });
    VfsWatcher::Timings timings = fastTimings();
    timings.driveStartDelay = 0;
    VfsWatcher watcher(platform, timings);
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);

    QTRY_COMPARE_WITH_TIMEOUT(countOf(spy, kDrives), 1, 10000);
    QCOMPARE(platform->udevCalls.loadAcquire(), 1);
    QTest::qWait(timings.driveActivityDelay * 4);
    QCOMPARE(countOf(spy, kDrives), 1); // reporting "%drives" schedules nothing
    QCOMPARE(platform->udevCalls.loadAcquire(), 1);

    watcher.onDirectoryChanged(QStringLiteral("/srv/a"));
    QTRY_COMPARE_WITH_TIMEOUT(countOf(spy, QStringLiteral("/srv/a")), 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(countOf(spy, kDrives), 2, 10000);
    QCOMPARE(platform->udevCalls.loadAcquire(), 2);
    QTest::qWait(timings.driveActivityDelay * 4);
    QCOMPARE(countOf(spy, kDrives), 2);
    QCOMPARE(spy.size(), 3);
}

void TestVfsWatcher::volumeEventsRefreshDrives()
{
    auto* platform = new FixturePlatform;
    platform->setVolumes({ volume("/", "/dev/vda", "ext4") });
    VfsWatcher watcher(platform, fastTimings());
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);
    QSignalSpy internal(&watcher, &VfsWatcher::drivesChangedInternal);

    emit platform->volumeEvent(IDrivePlatform::VolumeChanged, QStringLiteral("name: x"));
    QCOMPARE(internal.size(), 0); // a changed volume alone does not refresh

    platform->setVolumes({ volume("/", "/dev/vda", "ext4"),
                           volume("/media/u/S", "/dev/sdd1", "vfat", "S") });
    emit platform->volumeEvent(IDrivePlatform::DriveConnected, QString());
    emit platform->volumeEvent(IDrivePlatform::VolumeAdded, QStringLiteral("name: S"));
    emit platform->volumeEvent(IDrivePlatform::DriveChanged, QString());
    QCOMPARE(internal.size(), 3);
    QTRY_COMPARE_WITH_TIMEOUT(countOf(spy, kDrives), 1, 10000);
    QCOMPARE(int(watcher.drives().size()), 2);
    QCOMPARE(platform->udevCalls.loadAcquire(), 2); // one refresh for the burst

    platform->setVolumes({ volume("/", "/dev/vda", "ext4") });
    emit platform->volumeEvent(IDrivePlatform::VolumeRemoved, QStringLiteral("name: S"));
    emit platform->volumeEvent(IDrivePlatform::DriveDisconnected, QString());
    QTRY_COMPARE_WITH_TIMEOUT(countOf(spy, kDrives), 2, 10000);
    QCOMPARE(int(watcher.drives().size()), 1);
}

void TestVfsWatcher::drivesReadWhileRefreshing()
{
    auto* platform = new FixturePlatform;
    QVector<MountedVolume> many;
    for (int i = 0; i < 20; ++i)
        many.append(volume(QStringLiteral("/m/%1").arg(i), "/dev/x", "ext4"));
    platform->setVolumes(many);
    VfsWatcher::Timings timings = fastTimings();
    timings.driveSignalDelay = 0;
    VfsWatcher watcher(platform, timings);
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);

    QAtomicInt stop(0);
    QAtomicInt bad(0);
    QThread* reader = QThread::create([&] {
        while (!stop.loadAcquire()) {
            const std::vector<DriveCache> drives = watcher.drives();
            if (!drives.empty() && drives.size() != 20)
                bad.fetchAndAddOrdered(1);
            for (const DriveCache& drive : drives) {
                if (!drive.rootPath.startsWith("/m/"))
                    bad.fetchAndAddOrdered(1);
            }
            watcher.watchedItems();
        }
    });
    reader->start();
    for (int round = 1; round <= 20; ++round) {
        emit platform->volumeEvent(IDrivePlatform::VolumeAdded, QString());
        QTRY_COMPARE_WITH_TIMEOUT(countOf(spy, kDrives), round, 10000);
    }
    stop.storeRelease(1);
    QVERIFY(reader->wait(10000));
    delete reader;
    QCOMPARE(bad.loadAcquire(), 0);
}

void TestVfsWatcher::burstGivesOneReport()
{
    VfsWatcher watcher(new FixturePlatform, fastTimings());
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);
    const QString path = QStringLiteral("/srv/share");
    watcher.onDirectoryChanged(path);
    watcher.onDirectoryChanged(path);
    QTRY_COMPARE_WITH_TIMEOUT(countOf(spy, path), 1, 10000);
    QTest::qWait(200);
    QCOMPARE(countOf(spy, path), 1);
}

void TestVfsWatcher::distinctPathsReportedInOrder()
{
    VfsWatcher watcher(new FixturePlatform, fastTimings());
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);
    const QStringList paths{ "/a", "/b", "/a", "/c", "/b" };
    for (const QString& path : paths)
        watcher.onDirectoryChanged(path);
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 3, 10000);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("/a"));
    QCOMPARE(spy.at(1).at(0).toString(), QStringLiteral("/b"));
    QCOMPARE(spy.at(2).at(0).toString(), QStringLiteral("/c"));
}

void TestVfsWatcher::busyDirectoryStillReported()
{
    VfsWatcher watcher(new FixturePlatform, fastTimings());
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);
    const QString path = QStringLiteral("/srv/busy");
    // A change every 10 ms keeps the 50 ms quiet time from ever passing.
    QElapsedTimer clock;
    clock.start();
    while (countOf(spy, path) == 0 && clock.elapsed() < 10000) {
        watcher.onDirectoryChanged(path);
        QTest::qWait(10);
    }
    QCOMPARE(countOf(spy, path), 1);
    // It keeps being reported while it keeps changing.
    while (countOf(spy, path) < 3 && clock.elapsed() < 20000) {
        watcher.onDirectoryChanged(path);
        QTest::qWait(10);
    }
    QCOMPARE(countOf(spy, path), 3);
}

void TestVfsWatcher::systemNotificationReported()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    VfsWatcher watcher(new FixturePlatform, fastTimings());
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);
    watcher.watchDirectory(dir.path());
    QCOMPARE(watcher.watchedItems().size(), 1);
    for (int i = 0; i < 5; ++i)
        QVERIFY(appendTo(dir.filePath(QStringLiteral("f%1").arg(i)), "x"));
    QTRY_VERIFY_WITH_TIMEOUT(countOf(spy, dir.path()) >= 1, 10000);
}

void TestVfsWatcher::pollReportsWhatNotificationsMiss()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("log.txt"));
    QVERIFY(appendTo(file, "a"));
    VfsWatcher watcher(new FixturePlatform, fastTimings());
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);
    watcher.watchDirectory(dir.path());

    // Changed before the first poll: the first poll only takes the reference.
    QVERIFY(appendTo(file, "bb"));
    watcher.onCheckTimerFired();
    QTRY_VERIFY_WITH_TIMEOUT(watcher.watchedItems().value(0).lastChecked.isValid(), 10000);
    const WatchItem first = watcher.watchedItems().value(0);
    QVERIFY(first.exists);
    QCOMPARE(first.previousHash, first.hash);
    QVERIFY(first.hash != 0);
    QTest::qWait(200);
    QCOMPARE(countOf(spy, dir.path()), 0);

    // Writing into a file raises no directory notification; the poll sees the size.
    QVERIFY(appendTo(file, "ccc"));
    watcher.onCheckTimerFired();
    QTRY_COMPARE_WITH_TIMEOUT(countOf(spy, dir.path()), 1, 10000);
    const WatchItem second = watcher.watchedItems().value(0);
    QCOMPARE(second.previousHash, first.hash);
    QVERIFY(second.hash != first.hash);

    // An unchanged directory is not reported again. (The check's time is
    // kept to the millisecond: the next one must fall in a later one to be
    // told apart.)
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentDateTime() > second.lastChecked, 10000);
    watcher.onCheckTimerFired();
    QTRY_VERIFY_WITH_TIMEOUT(watcher.watchedItems().value(0).lastChecked > second.lastChecked,
                             10000);
    QTest::qWait(200);
    QCOMPARE(countOf(spy, dir.path()), 1);
}

void TestVfsWatcher::pollIgnoresTheParentDirectory()
{
    // A change in the folder around a watched directory is no change of the
    // directory's listing.
    QTemporaryDir parent;
    QVERIFY(parent.isValid());
    const QString dir = parent.filePath(QStringLiteral("watched"));
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(appendTo(dir + QStringLiteral("/f"), "f"));
    VfsWatcher watcher(new FixturePlatform, fastTimings());
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);
    watcher.watchDirectory(dir);
    watcher.onCheckTimerFired();
    QTRY_VERIFY_WITH_TIMEOUT(watcher.watchedItems().value(0).lastChecked.isValid(), 10000);
    const WatchItem first = watcher.watchedItems().value(0);

    QVERIFY(appendTo(parent.filePath(QStringLiteral("beside")), "b"));
    const timespec times[2] = { { 1000000000, 0 }, { 1000000000, 0 } };
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(parent.path()).constData(), times, 0), 0);
    // The check's time is kept to the millisecond: on a fast machine the
    // second check could otherwise fall in the first one's and never be seen.
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentDateTime() > first.lastChecked, 10000);
    watcher.onCheckTimerFired();
    QTRY_VERIFY_WITH_TIMEOUT(watcher.watchedItems().value(0).lastChecked > first.lastChecked,
                             10000);
    QCOMPARE(watcher.watchedItems().value(0).hash, first.hash);
    QTest::qWait(200);
    QCOMPARE(countOf(spy, dir), 0);
}

void TestVfsWatcher::vanishedDirectoryDropped()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString keep = dir.filePath(QStringLiteral("keep"));
    const QString gone = dir.filePath(QStringLiteral("gone"));
    QVERIFY(QDir().mkpath(keep));
    QVERIFY(QDir().mkpath(gone));
    VfsWatcher watcher(new FixturePlatform, fastTimings());
    watcher.watchDirectory(gone);
    watcher.watchDirectory(keep);
    QVERIFY(QDir(gone).removeRecursively());
    watcher.onCheckTimerFired();
    QTRY_COMPARE_WITH_TIMEOUT(watcher.watchedItems().size(), 1, 10000);
    QCOMPARE(watcher.watchedItems().front().path, keep);
    // Made again, it can be watched again.
    QVERIFY(QDir().mkpath(gone));
    watcher.watchDirectory(gone);
    QCOMPARE(watcher.watchedItems().size(), 2);
}

void TestVfsWatcher::oldestDirectoryPushedOut()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    VfsWatcher watcher(new FixturePlatform, fastTimings());
    QStringList paths;
    for (int i = 0; i < 34; ++i) {
        paths << dir.filePath(QStringLiteral("d%1").arg(i));
        QVERIFY(QDir().mkpath(paths.last()));
    }
    watcher.watchDirectory(dir.filePath(QStringLiteral("missing")));
    QVERIFY(QFile(dir.filePath(QStringLiteral("file"))).open(QIODevice::WriteOnly));
    watcher.watchDirectory(dir.filePath(QStringLiteral("file")));
    QCOMPARE(watcher.watchedItems().size(), 0);

    for (int i = 0; i < 33; ++i)
        watcher.watchDirectory(paths.at(i));
    watcher.watchDirectory(paths.at(5)); // already watched: no change
    QCOMPARE(watcher.watchedItems().size(), 33);
    QCOMPARE(watcher.watchedItems().front().path, paths.at(0));

    watcher.watchDirectory(paths.at(33));
    const QVector<WatchItem> items = watcher.watchedItems();
    QCOMPARE(items.size(), 33);
    QCOMPARE(items.front().path, paths.at(1));
    QCOMPARE(items.back().path, paths.at(33));
    QVERIFY(items.back().exists);
    QCOMPARE(items.back().hash, quint64(0));
    QVERIFY(!items.back().lastChecked.isValid());
}

void TestVfsWatcher::watchFromOtherThread()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    VfsWatcher watcher(new FixturePlatform, fastTimings());
    QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);
    QThread* caller = QThread::create([&] { watcher.watchDirectory(dir.path()); });
    caller->start();
    QVERIFY(caller->wait(10000));
    delete caller;
    QTRY_COMPARE_WITH_TIMEOUT(watcher.watchedItems().size(), 1, 10000);
    QVERIFY(appendTo(dir.filePath(QStringLiteral("new")), "x"));
    QTRY_VERIFY_WITH_TIMEOUT(countOf(spy, dir.path()) >= 1, 10000);
}

void TestVfsWatcher::defaultPlatformStartsAndStops()
{
    QCOMPARE(VfsWatcher::instance(), nullptr);
    {
        VfsWatcher watcher;
        QCOMPARE(VfsWatcher::instance(), &watcher);
        QSignalSpy spy(&watcher, &VfsWatcher::directoryChanged);
        // The machine's real drives; udevadm may be missing.
        QTRY_COMPARE_WITH_TIMEOUT(countOf(spy, kDrives), 1, 120000);
        for (const DriveCache& drive : watcher.drives()) {
            QVERIFY(!drive.rootPath.isEmpty());
            QVERIFY(drive.bytesTotal > 0);
        }
    }
    QCOMPARE(VfsWatcher::instance(), nullptr);
}

QTEST_GUILESS_MAIN(TestVfsWatcher)
#include "tst_vfswatcher.moc"

#include "vfs/watch/vfswatcher.h"

#include "core/logger.h"
#include "vfs/watch/driveplatformlinux.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFutureWatcher>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QUuid>
#include <QtConcurrent>

#include <deque>

namespace {

VfsWatcher* s_instance = nullptr;

const QString kDrivesPath = QStringLiteral("%drives");
const char kEfiSystemPartition[] = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";

// Labels and udev values keep unusual bytes as "\xNN"; turn them into text.
QByteArray decodeEscapes(const QByteArray& text)
{
    QByteArray percent = text;
    percent.replace("\\x", "%");
    return QUrl::fromPercentEncoding(percent).toUtf8();
}

} // namespace

class VfsWatcherPrivate
{
public:
    IDrivePlatform* platform = nullptr;
    VfsWatcher::Timings timings;

    QFileSystemWatcher* fsWatcher = nullptr; // used on the watcher's thread only
    quint64 checkIndex = 0;
    QFutureWatcher<WatchItem> checkWatcher;
    QFutureWatcher<std::vector<DriveCache>> driveWatcher;
    bool driveRefreshAgain = false;
    QTimer* checkTimer = nullptr;
    QTimer* notifyTimer = nullptr;
    QTimer* driveTimer = nullptr;
    QElapsedTimer burstClock; // since the first change of the current burst

    // Guarded by mutex: read by other threads through drives() and watchedItems().
    mutable QMutex mutex;
    std::deque<WatchItem> items;
    std::vector<DriveCache> drives;
    QStringList pending;
};

VfsWatcher::VfsWatcher(QObject* parent)
    : VfsWatcher(new DrivePlatformLinux, Timings(), parent)
{
}

VfsWatcher::VfsWatcher(IDrivePlatform* platform, const Timings& timings, QObject* parent)
    : QObject(parent), d(new VfsWatcherPrivate)
{
    d->platform = platform;
    d->platform->setParent(this);
    d->timings = timings;

    d->fsWatcher = new QFileSystemWatcher(this);
    connect(d->fsWatcher, &QFileSystemWatcher::directoryChanged, this,
            &VfsWatcher::onDirectoryChanged);
    connect(&d->checkWatcher, &QFutureWatcher<WatchItem>::finished, this,
            &VfsWatcher::onCheckFutureFinished);
    connect(&d->driveWatcher, &QFutureWatcher<std::vector<DriveCache>>::finished, this,
            &VfsWatcher::onDriveFutureFinished);

    d->checkTimer = new QTimer(this);
    connect(d->checkTimer, &QTimer::timeout, this, &VfsWatcher::onCheckTimerFired);
    d->checkTimer->start(d->timings.checkInterval);

    d->notifyTimer = new QTimer(this);
    d->notifyTimer->setSingleShot(true);
    d->notifyTimer->setInterval(d->timings.notifyDelay);
    connect(d->notifyTimer, &QTimer::timeout, this, &VfsWatcher::onNotifyTimerFired);

    s_instance = this;

    d->driveTimer = new QTimer(this);
    d->driveTimer->setSingleShot(true);
    connect(d->driveTimer, &QTimer::timeout, this, &VfsWatcher::onDriveTimerFired);
    d->driveTimer->start(d->timings.driveStartDelay);

    connect(d->platform, &IDrivePlatform::volumeEvent, this, &VfsWatcher::onVolumeEvent);
    initDriveWatch();
    connect(this, &VfsWatcher::drivesChangedInternal, this,
            &VfsWatcher::onDrivesChangedInternal);
}

VfsWatcher::~VfsWatcher()
{
    if (s_instance == this)
        s_instance = nullptr;
    // Pool tasks use the platform and copies of items; let them end first.
    d->platform->abort();
    d->checkWatcher.waitForFinished();
    d->driveWatcher.waitForFinished();
}

VfsWatcher* VfsWatcher::instance()
{
    return s_instance;
}

void VfsWatcher::watchDirectory(const QString& path)
{
    if (QThread::currentThread() != thread()) {
        // QFileSystemWatcher is not safe to use from two threads.
        QMetaObject::invokeMethod(
            this, [this, path] { watchDirectory(path); }, Qt::QueuedConnection);
        return;
    }
    if (path.isEmpty() || !QFileInfo(path).isDir())
        return;

    const bool systemWatches = d->fsWatcher->directories().contains(path);
    bool known = false;
    {
        QMutexLocker lock(&d->mutex);
        for (const WatchItem& item : d->items) {
            if (item.path == path) {
                known = true;
                break;
            }
        }
    }
    if (known) {
        // The system may have dropped a directory that was removed and made again.
        if (!systemWatches)
            d->fsWatcher->addPath(path);
        return;
    }

    QString dropped;
    {
        QMutexLocker lock(&d->mutex);
        if (d->items.size() >= size_t(MaxWatchedDirectories)) {
            dropped = d->items.front().path;
            d->items.pop_front();
            // Keep the round robin on the item it was going to check.
            if (d->checkIndex > 0)
                --d->checkIndex;
        }
        WatchItem item;
        item.path = path;
        item.exists = true;
        d->items.push_back(item);
    }
    if (!dropped.isEmpty()) {
        Logger::log(Logger::VFS1, "stop watching %s", qPrintable(dropped));
        d->fsWatcher->removePath(dropped);
    }
    Logger::log(Logger::VFS1, "start watching %s", qPrintable(path));
    if (!systemWatches)
        d->fsWatcher->addPath(path);
}

std::vector<DriveCache> VfsWatcher::drives() const
{
    QMutexLocker lock(&d->mutex);
    return d->drives;
}

QVector<WatchItem> VfsWatcher::watchedItems() const
{
    QMutexLocker lock(&d->mutex);
    return QVector<WatchItem>(d->items.begin(), d->items.end());
}

void VfsWatcher::addPending(const QString& path)
{
    QMutexLocker lock(&d->mutex);
    if (!d->pending.contains(path))
        d->pending.append(path);
}

void VfsWatcher::startNotifyTimer()
{
    // A burst restarts the quiet time with every change, but never beyond the
    // maximum delay counted from the burst's first change.
    if (!d->notifyTimer->isActive())
        d->burstClock.start();
    const qint64 left = d->timings.notifyMaxDelay - d->burstClock.elapsed();
    const int interval = int(qBound<qint64>(0, left, d->timings.notifyDelay));
    d->notifyTimer->start(interval);
}

void VfsWatcher::onDirectoryChanged(const QString& path)
{
    addPending(path);
    startNotifyTimer();
}

void VfsWatcher::onNotifyTimerFired()
{
    QString path;
    bool more = false;
    {
        QMutexLocker lock(&d->mutex);
        if (!d->pending.isEmpty()) {
            path = d->pending.takeFirst();
            more = !d->pending.isEmpty();
        }
    }
    if (!path.isNull()) {
        emit directoryChanged(path);
        if (more) {
            d->burstClock.start();
            d->notifyTimer->start(d->timings.notifyDelay);
            return;
        }
        if (path == kDrivesPath)
            return;
    }
    // Free space has likely changed too.
    if (!d->driveTimer->isActive())
        d->driveTimer->start(d->timings.driveActivityDelay);
}

void VfsWatcher::onCheckTimerFired()
{
    if (d->checkWatcher.isRunning())
        return;
    WatchItem item;
    {
        QMutexLocker lock(&d->mutex);
        if (d->items.empty())
            return;
        if (d->checkIndex >= d->items.size())
            d->checkIndex = 0;
        item = d->items[d->checkIndex];
    }
    d->checkWatcher.setFuture(QtConcurrent::run(&VfsWatcher::checkDirectory, item));
}

WatchItem VfsWatcher::checkDirectory(WatchItem item)
{
    QElapsedTimer clock;
    clock.start();
    item.previousHash = item.hash;
    item.lastChecked = QDateTime::currentDateTime();
    const QDir dir(item.path);
    item.exists = dir.exists();
    if (!item.exists)
        return item;

    quint64 hash = 0;
    // What a listing shows (hidden entries too), without "." and "..": the
    // folder around the directory changes without the listing changing.
    const QFileInfoList entries = dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                    | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        if (!entry.isDir())
            hash += quint64(entry.size());
        hash += quint64(entry.lastModified().toSecsSinceEpoch());
        hash += quint64(qHash(entry.fileName(), 0));
    }
    item.hash = hash;
    if (item.previousHash == 0)
        item.previousHash = item.hash; // the first look only sets the reference
    item.checkMillis = clock.elapsed();
    return item;
}

void VfsWatcher::onCheckFutureFinished()
{
    if (d->checkWatcher.isCanceled())
        return;
    const WatchItem result = d->checkWatcher.result();
    Logger::log(Logger::VFS1, "checked dir %s, hash-unchanged: %u, t: %lld, exists: %u",
                qPrintable(result.path), unsigned(result.previousHash == result.hash),
                result.checkMillis, unsigned(result.exists));
    bool gone = false;
    {
        QMutexLocker lock(&d->mutex);
        if (d->checkIndex >= d->items.size())
            return;
        WatchItem& item = d->items[d->checkIndex];
        if (item.path != result.path)
            return;
        if (result.exists) {
            item = result;
            ++d->checkIndex;
        } else {
            gone = true;
            item = d->items.back();
            d->items.pop_back();
        }
    }
    if (gone) {
        Logger::log(Logger::VFS1, "stop watch %s (non existing)", qPrintable(result.path));
        d->fsWatcher->removePath(result.path);
    }
    if (result.previousHash != result.hash) {
        addPending(result.path);
        if (!d->notifyTimer->isActive())
            startNotifyTimer();
    }
}

void VfsWatcher::initDriveWatch()
{
    d->platform->startVolumeMonitor();
}

void VfsWatcher::onVolumeEvent(IDrivePlatform::VolumeEvent event, const QString& details)
{
    static const char* const texts[] = { "drive changed",  "drive connected", "drive disconnected",
                                         "volume added",   "volume changed",  "volume removed" };
    const int index = int(event);
    if (index < 0 || index >= int(sizeof(texts) / sizeof(texts[0])))
        return;
    if (details.isEmpty())
        Logger::log(Logger::VFS1, "%s", texts[index]);
    else
        Logger::log(Logger::VFS1, "%s %s", texts[index], qPrintable(details));
    if (event != IDrivePlatform::VolumeChanged)
        emit drivesChangedInternal();
}

void VfsWatcher::onDrivesChangedInternal()
{
    d->driveTimer->stop();
    d->driveTimer->start(d->timings.driveSignalDelay);
}

void VfsWatcher::onDriveTimerFired()
{
    // udevadm may take long; never on this thread.
    if (d->driveWatcher.isRunning()) {
        d->driveRefreshAgain = true;
        return;
    }
    d->driveWatcher.setFuture(QtConcurrent::run([this] { return readDrives(); }));
}

void VfsWatcher::onDriveFutureFinished()
{
    if (d->driveWatcher.isCanceled())
        return;
    std::vector<DriveCache> fresh = d->driveWatcher.result();
    {
        QMutexLocker lock(&d->mutex);
        d->drives.swap(fresh);
    }
    onDirectoryChanged(kDrivesPath);
    if (d->driveRefreshAgain) {
        d->driveRefreshAgain = false;
        if (!d->driveTimer->isActive())
            d->driveTimer->start(0);
    }
}

std::vector<DriveCache> VfsWatcher::readDrives() const
{
    std::vector<DriveCache> drives;
    const QVector<MountedVolume> volumes = d->platform->mountedVolumes();
    QVector<QPair<QString, QString>> byUuid;
    bool byUuidRead = false;

    for (const MountedVolume& volume : volumes) {
        if (!volume.ready || !volume.valid || volume.bytesTotal <= 0)
            continue;
        if (volume.fileSystemType == "tmpfs" || volume.fileSystemType == "squashfs")
            continue;
        Logger::log(Logger::VFS1, "fs: %s type: %s, %s, %s", qPrintable(volume.rootPath),
                    volume.device.constData(), volume.fileSystemType.constData(),
                    volume.subvolume.constData());

        DriveCache drive;
        drive.readOnly = volume.readOnly ? 1 : 0;
        drive.bytesTotal = quint64(volume.bytesTotal);
        drive.bytesAvailable = quint64(qMax<qint64>(0, volume.bytesAvailable));
        drive.name = volume.displayName.toUtf8();
        drive.rootPath = volume.rootPath.toUtf8();

        if (volume.fileSystemType == "smbfs" || volume.fileSystemType == "cifs") {
            drive.plugType = DriveCache::PlugNetworkShare;
            drive.name = volume.device;
            drive.id = QUuid::createUuidV5(QUuid(QStringLiteral("smb")), volume.device)
                           .toString(QUuid::WithBraces);
        }
        if (drive.name.contains("\\x") || drive.name.contains('%'))
            drive.name = decodeEscapes(drive.name);

        bool leaveOut = false;
        const QList<QByteArray> lines = d->platform->udevInfo(volume.device).split('\n');
        for (const QByteArray& line : lines) {
            if (!line.startsWith("E:"))
                continue;
            const QList<QByteArray> parts = line.split('=');
            if (parts.size() != 2)
                continue;
            const QByteArray& key = parts.at(0);
            const QByteArray& value = parts.at(1);
            const bool usb = key.contains("ID_BUS") && value == "usb";
            const bool sdCard = key.contains("ID_DRIVE_FLASH_SD");
            if (usb && drive.plugType == DriveCache::PlugGeneral) {
                drive.type = DriveCache::HotPluggable;
                drive.plugType = DriveCache::PlugUsb;
            } else if (sdCard && drive.plugType == DriveCache::PlugGeneral) {
                drive.type = DriveCache::HotPluggable;
                drive.plugType = DriveCache::PlugMemoryCard;
            }
            if ((usb || sdCard) && drive.plugType == DriveCache::PlugUsb
                && line.contains("ATTRS{version}") && line.contains("3.")) {
                drive.plugType = DriveCache::PlugUsb3;
            }
            if (key.contains("ID_MODEL") && drive.name == drive.rootPath)
                drive.name = decodeEscapes(value.trimmed()).trimmed();
            if (key.contains("ID_PART_ENTRY_TYPE")
                && value.toUpper() == QByteArray(kEfiSystemPartition)) {
                leaveOut = true;
            }
        }
        if (leaveOut)
            continue;

        if (!byUuidRead) {
            byUuid = d->platform->diskByUuidLinks();
            byUuidRead = true;
        }
        const QString device = QString::fromLocal8Bit(volume.device);
        for (const auto& link : qAsConst(byUuid)) {
            if (link.second == device) {
                Logger::log(Logger::VFS1, "uuid: %s --> %s", qPrintable(link.first),
                            qPrintable(link.second));
                drive.id = QUuid::fromString(link.first).toString(QUuid::WithBraces);
                break;
            }
        }
        drives.push_back(drive);
    }
    return drives;
}

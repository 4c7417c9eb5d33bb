#include "vfs/watch/driveplatformlinux.h"

#include "core/logger.h"
#include "vfs/watch/giovolumemonitor.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStorageInfo>

#include <atomic>

class DrivePlatformLinuxPrivate
{
public:
    // Set before the pool first uses the object, read-only afterwards.
    QString udevadm = QStringLiteral("udevadm");
    QString byUuidDirectory = QStringLiteral("/dev/disk/by-uuid");
    int udevTimeout = 30000;
    std::atomic_bool aborted{ false };
    std::atomic_bool missingReported{ false };
    GioVolumeMonitor monitor;
};

namespace {

void volumeMonitorCallback(void* context, GioVolumeMonitor::Event event, const char* details)
{
    auto* platform = static_cast<IDrivePlatform*>(context);
    IDrivePlatform::VolumeEvent mapped = IDrivePlatform::DriveChanged;
    switch (event) {
    case GioVolumeMonitor::DriveChanged:
        mapped = IDrivePlatform::DriveChanged;
        break;
    case GioVolumeMonitor::DriveConnected:
        mapped = IDrivePlatform::DriveConnected;
        break;
    case GioVolumeMonitor::DriveDisconnected:
        mapped = IDrivePlatform::DriveDisconnected;
        break;
    case GioVolumeMonitor::VolumeAdded:
        mapped = IDrivePlatform::VolumeAdded;
        break;
    case GioVolumeMonitor::VolumeChanged:
        mapped = IDrivePlatform::VolumeChanged;
        break;
    case GioVolumeMonitor::VolumeRemoved:
        mapped = IDrivePlatform::VolumeRemoved;
        break;
    }
    emit platform->volumeEvent(mapped, QString::fromUtf8(details ? details : ""));
}

} // namespace

DrivePlatformLinux::DrivePlatformLinux(QObject* parent)
    : IDrivePlatform(parent), d(new DrivePlatformLinuxPrivate)
{
}

DrivePlatformLinux::~DrivePlatformLinux()
{
    d->monitor.stop();
}

void DrivePlatformLinux::setUdevadmProgram(const QString& program)
{
    d->udevadm = program;
}

void DrivePlatformLinux::setDiskByUuidDirectory(const QString& directory)
{
    d->byUuidDirectory = directory;
}

void DrivePlatformLinux::setUdevTimeout(int milliseconds)
{
    d->udevTimeout = milliseconds;
}

QString DrivePlatformLinux::udevadmPath() const
{
    if (d->udevadm.contains(QLatin1Char('/'))) {
        const QFileInfo info(d->udevadm);
        return info.isFile() && info.isExecutable() ? d->udevadm : QString();
    }
    // Never handed to QProcess as a bare name: it would try to start the
    // program even where the PATH has none.
    return d->udevadm.isEmpty() ? QString() : QStandardPaths::findExecutable(d->udevadm);
}

void DrivePlatformLinux::writeLog(const QByteArray& line) const
{
    Logger::log(Logger::VFS1, "%s", line.constData());
}

QVector<MountedVolume> DrivePlatformLinux::mountedVolumes() const
{
    QVector<MountedVolume> volumes;
    const QList<QStorageInfo> infos = QStorageInfo::mountedVolumes();
    volumes.reserve(infos.size());
    for (const QStorageInfo& info : infos) {
        MountedVolume volume;
        volume.rootPath = info.rootPath();
        volume.device = info.device();
        volume.fileSystemType = info.fileSystemType();
        volume.subvolume = info.subvolume();
        volume.displayName = info.displayName();
        volume.ready = info.isReady();
        volume.valid = info.isValid();
        volume.readOnly = info.isReadOnly();
        volume.bytesTotal = info.bytesTotal();
        volume.bytesAvailable = info.bytesAvailable();
        volumes.append(volume);
    }
    return volumes;
}

QByteArray DrivePlatformLinux::udevInfo(const QByteArray& device) const
{
    if (d->aborted)
        return QByteArray();
    const QString program = udevadmPath();
    if (program.isEmpty()) {
        if (!d->missingReported.exchange(true))
            writeLog("udevadm not found (" + QFile::encodeName(d->udevadm)
                     + "), drives are listed without udev details");
        return QByteArray();
    }
    QProcess process;
    process.start(program,
                  { QStringLiteral("info"), QStringLiteral("-x"), QString::fromLocal8Bit(device) },
                  QIODevice::ReadOnly);
    if (!process.waitForStarted(d->udevTimeout))
        return QByteArray();
    // Wait in short steps so that shutdown need not sit out a hanging udevadm.
    QElapsedTimer clock;
    clock.start();
    while (process.state() != QProcess::NotRunning) {
        if (d->aborted) {
            process.kill();
            process.waitForFinished(1000);
            return QByteArray();
        }
        if (clock.elapsed() >= d->udevTimeout) {
            process.kill();
            process.waitForFinished(1000);
            break;
        }
        process.waitForFinished(50);
    }
    return process.readAllStandardOutput();
}

QVector<QPair<QString, QString>> DrivePlatformLinux::diskByUuidLinks() const
{
    QVector<QPair<QString, QString>> links;
    const QFileInfoList entries = QDir(d->byUuidDirectory)
                                      .entryInfoList(QDir::AllEntries | QDir::System
                                                     | QDir::Hidden | QDir::NoDotAndDotDot,
                                                     QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink())
            links.append(qMakePair(entry.fileName(), entry.symLinkTarget()));
    }
    return links;
}

void DrivePlatformLinux::startVolumeMonitor()
{
    d->monitor.start(&volumeMonitorCallback, static_cast<IDrivePlatform*>(this));
}

void DrivePlatformLinux::abort()
{
    d->aborted = true;
}

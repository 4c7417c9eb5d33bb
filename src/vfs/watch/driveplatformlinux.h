#pragma once

#include "vfs/watch/idriveplatform.h"

#include <QString>

#include <memory>

class DrivePlatformLinuxPrivate;

// The drive sources of a Linux desktop: QStorageInfo's mount table, the
// udevadm program, the /dev/disk/by-uuid directory and GIO's volume monitor.
// The program and the directory can be pointed elsewhere.
class DrivePlatformLinux : public IDrivePlatform
{
    Q_OBJECT
public:
    explicit DrivePlatformLinux(QObject* parent = nullptr);
    ~DrivePlatformLinux() override;

    void setUdevadmProgram(const QString& program);
    void setDiskByUuidDirectory(const QString& directory);
    // How long one udevadm run may take before it is given up.
    void setUdevTimeout(int milliseconds);

    QVector<MountedVolume> mountedVolumes() const override;
    QByteArray udevInfo(const QByteArray& device) const override;
    QVector<QPair<QString, QString>> diskByUuidLinks() const override;
    void startVolumeMonitor() override;
    void abort() override;

private:
    std::unique_ptr<DrivePlatformLinuxPrivate> d;
};

#pragma once

#include "vfs/watch/idriveplatform.h"

#include <QString>

#include <memory>

class DrivePlatformLinuxPrivate;

// The drive sources of a Linux desktop: QStorageInfo's mount table, the
// udevadm program, the /dev/disk/by-uuid directory and GIO's volume monitor.
// The program and the directory can be pointed elsewhere. Where udevadm is
// not installed, drives are listed without what udev knows of them, and the
// log says so once.
class DrivePlatformLinux : public IDrivePlatform
{
    Q_OBJECT
public:
    explicit DrivePlatformLinux(QObject* parent = nullptr);
    ~DrivePlatformLinux() override;

    // A program name is looked up on the PATH at every run; a path (with a
    // '/') is taken as it is. "udevadm" by default.
    void setUdevadmProgram(const QString& program);
    // The udevadm that would run now; empty when there is none.
    QString udevadmPath() const;
    void setDiskByUuidDirectory(const QString& directory);
    // How long one udevadm run may take before it is given up.
    void setUdevTimeout(int milliseconds);

    QVector<MountedVolume> mountedVolumes() const override;
    QByteArray udevInfo(const QByteArray& device) const override;
    QVector<QPair<QString, QString>> diskByUuidLinks() const override;
    void startVolumeMonitor() override;
    void abort() override;

protected:
    // One line for the log (channel VFS1). Called from any thread.
    virtual void writeLog(const QByteArray& line) const;

private:
    std::unique_ptr<DrivePlatformLinuxPrivate> d;
};

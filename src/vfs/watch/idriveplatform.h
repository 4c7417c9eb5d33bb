#pragma once

#include "vfs/watch/mountedvolume.h"

#include <QObject>
#include <QPair>
#include <QVector>

// What the drive list is made from: the mount table, the udev database,
// the links in /dev/disk/by-uuid and the desktop's volume monitor.
// mountedVolumes(), udevInfo() and diskByUuidLinks() are called on pool
// threads and must be safe to call from any thread.
class IDrivePlatform : public QObject
{
    Q_OBJECT
public:
    enum VolumeEvent {
        DriveChanged,
        DriveConnected,
        DriveDisconnected,
        VolumeAdded,
        VolumeChanged,
        VolumeRemoved,
    };
    Q_ENUM(VolumeEvent)

    using QObject::QObject;

    virtual QVector<MountedVolume> mountedVolumes() const = 0;
    // The output of "udevadm info -x <device>", empty when it cannot be had.
    virtual QByteArray udevInfo(const QByteArray& device) const = 0;
    // (link name, absolute link target) of every symbolic link in /dev/disk/by-uuid.
    virtual QVector<QPair<QString, QString>> diskByUuidLinks() const = 0;
    // Starts reporting volumeEvent(); called once, on the object's thread.
    virtual void startVolumeMonitor() = 0;
    // Makes running and later udevInfo() calls give up at once (shutdown).
    virtual void abort() = 0;

signals:
    void volumeEvent(IDrivePlatform::VolumeEvent event, const QString& details);
};

#pragma once

#include "vfs/protocol/drivecache.h"
#include "vfs/watch/idriveplatform.h"
#include "vfs/watch/watchitem.h"

#include <QObject>
#include <QString>
#include <QVector>

#include <memory>
#include <vector>

class VfsWatcherPrivate;

// Tells the file-system servers when a directory that a peer looks at has
// changed, and keeps the list of local drives they report. Changes come from
// the operating system's notifications, from a slow poll that hashes one
// watched directory at a time on the thread pool, and from the desktop's
// volume monitor. Reports are merged and go out one path at a time; the path
// "%drives" stands for a change of the drive list.
//
// The watcher lives on the main thread. watchDirectory() and drives() may be
// called from any thread.
class VfsWatcher : public QObject
{
    Q_OBJECT
public:
    // Delays in milliseconds; tests shorten them.
    struct Timings
    {
        int notifyDelay = 50;         // quiet time that merges a burst of changes
        int notifyMaxDelay = 500;     // a changing directory is reported after this at the latest
        int checkInterval = 10000;    // one directory is polled per interval
        int driveStartDelay = 50;     // first drive refresh after start
        int driveSignalDelay = 500;   // refresh after a volume-monitor signal
        int driveActivityDelay = 5000; // refresh after directory activity
    };

    static constexpr int MaxWatchedDirectories = 33;

    explicit VfsWatcher(QObject* parent = nullptr);
    // Takes ownership of platform.
    VfsWatcher(IDrivePlatform* platform, const Timings& timings, QObject* parent = nullptr);
    ~VfsWatcher() override;

    static VfsWatcher* instance();

    void watchDirectory(const QString& path);
    std::vector<DriveCache> drives() const;
    // The watched directories, oldest first.
    QVector<WatchItem> watchedItems() const;

    // The poll of one directory: hashes its listing (sizes, modification
    // times, names). Runs on a pool thread.
    static WatchItem checkDirectory(WatchItem item);

signals:
    void directoryChanged(const QString& path);
    void drivesChangedInternal();

public slots:
    void onDirectoryChanged(const QString& path);
    void onCheckFutureFinished();
    void onCheckTimerFired();
    void onNotifyTimerFired();
    void initDriveWatch();
    // Reads the drive list from the platform; blocks while udevadm runs, so
    // it is called on a pool thread.
    std::vector<DriveCache> readDrives() const;

private slots:
    void onDriveTimerFired();
    void onDriveFutureFinished();
    void onDrivesChangedInternal();
    void onVolumeEvent(IDrivePlatform::VolumeEvent event, const QString& details);

private:
    void addPending(const QString& path);
    void startNotifyTimer();

    std::unique_ptr<VfsWatcherPrivate> d;
};

#pragma once

#include <QString>

#include <memory>

class InstanceLockPrivate;

// One running instance per configuration directory. The lock is a kernel
// lock (flock) on the file "velm.lock" in the directory, held through an
// open file that child processes do not inherit: it ends with the process,
// however the process ends, so a killed instance never blocks the next
// start. The file keeps the holder's process id for the message of a second
// start; its presence alone means nothing.
class InstanceLock
{
public:
    static const char* const FileName;

    explicit InstanceLock(const QString& directory);
    ~InstanceLock();

    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock without waiting. False when another process holds it
    // (heldElsewhere() is then true) or the lock file cannot be made.
    bool tryLock();
    bool isLocked() const;
    bool heldElsewhere() const;
    // The process id the holder wrote into the file; 0 when unknown.
    qint64 holderPid() const;
    // Why tryLock() failed, in English, naming the file.
    QString errorString() const;
    QString filePath() const;

private:
    std::unique_ptr<InstanceLockPrivate> d;
};

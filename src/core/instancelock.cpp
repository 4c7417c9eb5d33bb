#include "core/instancelock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

const char* const InstanceLock::FileName = "velm.lock";

class InstanceLockPrivate
{
public:
    QString path;
    int fd = -1;
    bool locked = false;
    bool heldElsewhere = false;
    QString error;

    qint64 readPid() const;
};

qint64 InstanceLockPrivate::readPid() const
{
    if (fd < 0)
        return 0;
    char buffer[32] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0)
        return 0;
    bool ok = false;
    const qint64 pid = QByteArray(buffer, int(n)).trimmed().toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

InstanceLock::InstanceLock(const QString& directory) : d(new InstanceLockPrivate)
{
    d->path = QDir(directory).filePath(QLatin1String(FileName));
}

InstanceLock::~InstanceLock()
{
    // Closing the file ends the lock; the file stays for the next holder.
    if (d->fd >= 0)
        ::close(d->fd);
}

bool InstanceLock::tryLock()
{
    if (d->locked)
        return true;
    d->heldElsewhere = false;
    d->error.clear();
    if (d->fd < 0) {
        const QByteArray name = QFile::encodeName(d->path);
        d->fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (d->fd < 0) {
            d->error = QStringLiteral("cannot open the lock file %1: %2")
                           .arg(d->path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    int rc;
    do {
        rc = ::flock(d->fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EWOULDBLOCK) {
            d->heldElsewhere = true;
            const qint64 pid = d->readPid();
            d->error = pid > 0 ? QStringLiteral("another instance (process %1) uses the configuration directory %2")
                                     .arg(pid)
                                     .arg(QFileInfo(d->path).absolutePath())
                               : QStringLiteral("another instance uses the configuration directory %1")
                                     .arg(QFileInfo(d->path).absolutePath());
        } else {
            d->error = QStringLiteral("cannot lock %1: %2").arg(d->path, QString::fromLocal8Bit(std::strerror(errno)));
        }
        return false;
    }
    d->locked = true;
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    // The id is only for the message of a second start; a failed write
    // leaves the lock as good as ever.
    if (::ftruncate(d->fd, 0) == 0)
        (void)!::pwrite(d->fd, pid.constData(), size_t(pid.size()), 0);
    return true;
}

bool InstanceLock::isLocked() const
{
    return d->locked;
}

bool InstanceLock::heldElsewhere() const
{
    return d->heldElsewhere;
}

qint64 InstanceLock::holderPid() const
{
    return d->readPid();
}

QString InstanceLock::errorString() const
{
    return d->error;
}

QString InstanceLock::filePath() const
{
    return d->path;
}

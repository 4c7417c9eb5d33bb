#include "filer/launchcopydirectory.h"

#include "core/logger.h"

#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Makes one level with mode 0700, or takes the existing one when it is
// private; never follows a link.
bool ensurePrivate(const QString& path, QString* error)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        //% "Cannot make the folder %1: %2"
        *error = qtTrId("launch-dir-make-failed").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (!LaunchCopyDirectory::isPrivateDirectory(path)) {
        //% "The folder %1 is not private to you; nothing is copied there"
        *error = qtTrId("launch-dir-not-private").arg(path);
        return false;
    }
    return true;
}

} // namespace

bool LaunchCopyDirectory::isPrivateDirectory(const QString& path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

QString LaunchCopyDirectory::forPeer(const QString& peerUuid, QString* error)
{
    QString ignored;
    if (!error)
        error = &ignored;
    static const QRegularExpression braced(
        QStringLiteral("^\\{[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}\\}$"));
    if (!braced.match(peerUuid).hasMatch()) {
        //% "%1 is no machine id"
        *error = qtTrId("launch-dir-bad-peer").arg(peerUuid);
        return QString();
    }

    // The runtime directory is the user's own and private by its standard;
    // it is checked all the same.
    QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QString velm;
    if (!base.isEmpty() && base.startsWith(QLatin1Char('/')) && isPrivateDirectory(base)) {
        velm = base + QStringLiteral("/velm");
    } else {
        base = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
        velm = base + QStringLiteral("/velm-") + QString::number(::geteuid());
    }
    if (!ensurePrivate(velm, error)) {
        Logger::log(Logger::ERR1, "launch copies: %s", qUtf8Printable(*error));
        return QString();
    }
    const QString dir = velm + QLatin1Char('/') + peerUuid;
    if (!ensurePrivate(dir, error)) {
        Logger::log(Logger::ERR1, "launch copies: %s", qUtf8Printable(*error));
        return QString();
    }
    return dir;
}

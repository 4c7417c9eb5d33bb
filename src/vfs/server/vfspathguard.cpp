#include "vfs/server/vfspathguard.h"

#include "core/uuid.h"

#include <QDir>
#include <QFile>
#include <QList>

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kSharesRoot("%shares");
const QByteArray kSharesPrefix("%shares/");

// Symbolic links followed in one resolution before giving up, as the kernel does.
constexpr int kMaxLinks = 40;

QList<QByteArray> components(const QByteArray& path)
{
    QList<QByteArray> parts;
    for (const QByteArray& part : path.split('/')) {
        if (!part.isEmpty())
            parts.append(part);
    }
    return parts;
}

QByteArray parentOf(const QByteArray& path)
{
    const int slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray() : path.left(slash);
}

// A selector in the form paths are compared in; empty when it names no path
// (the "*" selector, a relative or malformed one).
QByteArray selectorPath(const PeerAclDto& share)
{
    QByteArray normalised;
    const QByteArray bytes = QDir::fromNativeSeparators(share.selector).toUtf8();
    if (!VfsPathGuard::isValidText(bytes) || !VfsPathGuard::normalise(bytes, &normalised))
        return QByteArray();
    return normalised;
}

// The share whose folder is the path, else (unless exactOnly) the directory
// share whose folder holds it by whole components, the longest folder first;
// -1 when none. folders[i] is the folder of share i, empty when it has none.
int chooseShare(const std::vector<PeerAclDto>& shares, const std::vector<QByteArray>& folders,
                const QByteArray& path, bool exactOnly)
{
    if (path.isEmpty())
        return -1;
    for (size_t i = 0; i < shares.size(); ++i) {
        if (folders[i] == path)
            return int(i);
    }
    if (exactOnly)
        return -1;
    int best = -1;
    int bestLength = -1;
    for (size_t i = 0; i < shares.size(); ++i) {
        if ((shares[i].flags & VfsPathGuard::ShareDirectory) && folders[i].size() > bestLength
            && VfsPathGuard::contains(folders[i], path)) {
            best = int(i);
            bestLength = folders[i].size();
        }
    }
    return best;
}

} // namespace

const QString VfsPathGuard::SharesRoot = QStringLiteral("%shares");

VfsPathGuard::VfsPathGuard(quint8 accessMode, std::vector<PeerAclDto> shares)
    : m_accessMode(accessMode == Unrestricted ? Unrestricted : Restricted)
    , m_shares(std::move(shares))
{
}

bool VfsPathGuard::isValidText(const QByteArray& bytes)
{
    if (bytes.contains('\0'))
        return false;
    // Invalid sequences decode to U+FFFD and do not encode back to themselves.
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

bool VfsPathGuard::normalise(const QByteArray& path, QByteArray* out)
{
    if (!path.startsWith('/'))
        return false;
    QByteArray result;
    result.reserve(path.size());
    for (const QByteArray& part : path.split('/')) {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..")
            return false;
        result.append('/');
        result.append(part);
    }
    if (result.isEmpty())
        result = "/";
    *out = result;
    return true;
}

QByteArray VfsPathGuard::mapSharesPath(const std::vector<PeerAclDto>& shares,
                                       const QByteArray& path)
{
    if (!path.startsWith(kSharesPrefix))
        return path;
    QList<QByteArray> parts = path.split('/');
    parts.removeFirst();
    const QString uuid = normalizedUuid(QString::fromUtf8(parts.first()));
    for (const PeerAclDto& share : shares) {
        if (normalizedUuid(share.uuid) != uuid)
            continue;
        const QByteArray selector = selectorPath(share);
        if (selector.isEmpty())
            return QByteArray();
        parts.first() = selector;
        return parts.join('/');
    }
    return QByteArray();
}

bool VfsPathGuard::contains(const QByteArray& folder, const QByteArray& path)
{
    if (folder.isEmpty() || path.isEmpty())
        return false;
    if (folder == "/")
        return path.startsWith('/');
    return path == folder || (path.startsWith(folder) && path.at(folder.size()) == '/');
}

int VfsPathGuard::findShare(const std::vector<PeerAclDto>& shares, const QByteArray& path,
                            bool exactOnly)
{
    std::vector<QByteArray> selectors;
    selectors.reserve(shares.size());
    for (const PeerAclDto& share : shares)
        selectors.push_back(selectorPath(share));
    return chooseShare(shares, selectors, path, exactOnly);
}

bool VfsPathGuard::resolve(const QByteArray& path, bool followLast, QByteArray* out)
{
    if (!path.startsWith('/'))
        return false;
    QList<QByteArray> todo = components(path);
    QByteArray done; // resolved so far; empty stands for "/"
    int links = 0;
    while (!todo.isEmpty()) {
        const QByteArray part = todo.takeFirst();
        if (part == ".")
            continue;
        if (part == "..") { // only from link targets: done holds no links, so this is exact
            done = parentOf(done);
            continue;
        }
        const QByteArray candidate = done + '/' + part;
        struct stat st;
        if (::lstat(candidate.constData(), &st) != 0) {
            if (errno != ENOENT && errno != ENOTDIR)
                return false;
            // Nothing below a missing component can be a link; ".." there
            // would make the answer depend on what gets created later.
            done = candidate;
            for (const QByteArray& rest : todo) {
                if (rest == "..")
                    return false;
                if (rest != ".")
                    done += '/' + rest;
            }
            todo.clear();
            break;
        }
        if (S_ISLNK(st.st_mode) && (followLast || !todo.isEmpty())) {
            if (++links > kMaxLinks)
                return false;
            QByteArray target(PATH_MAX, Qt::Uninitialized);
            const ssize_t length = ::readlink(candidate.constData(), target.data(),
                                              size_t(target.size()));
            if (length <= 0 || length >= target.size())
                return false;
            target.truncate(int(length));
            const QList<QByteArray> targetParts = components(target);
            for (int i = targetParts.size() - 1; i >= 0; --i)
                todo.prepend(targetParts.at(i));
            if (target.startsWith('/'))
                done.clear();
            continue;
        }
        done = candidate;
    }
    *out = done.isEmpty() ? QByteArray("/") : done;
    return true;
}

VfsPathGuard::Decision VfsPathGuard::check(const QString& path, quint32 options) const
{
    return check(path.toUtf8(), options);
}

VfsPathGuard::Decision VfsPathGuard::check(const QByteArray& wirePath, quint32 options) const
{
    Decision decision;
    const bool restricted = m_accessMode == Restricted;
    // A restricted peer learns nothing from the kind of refusal.
    const Verdict malformed = restricted ? NotPermitted : Malformed;
    decision.verdict = malformed;

    if (wirePath.isEmpty() || !isValidText(wirePath))
        return decision;

    if (wirePath == kSharesRoot) {
        if (!(options & AcceptSharesRoot))
            return decision;
        decision.verdict = Allowed;
        decision.sharesRoot = true;
        decision.lexicalPath = SharesRoot;
        return decision;
    }

    const QByteArray mapped = mapSharesPath(m_shares, wirePath);
    if (mapped.isEmpty()) {
        decision.verdict = NotPermitted;
        return decision;
    }
    QByteArray normalised;
    if (!normalise(mapped, &normalised)) {
        // ".." is refused as not permitted; anything else is no path at all.
        decision.verdict = mapped.split('/').contains("..") ? NotPermitted : malformed;
        return decision;
    }
    decision.lexicalPath = QFile::decodeName(normalised);

    if (!restricted) {
        decision.verdict = Allowed;
        decision.nativePath = normalised;
        decision.path = decision.lexicalPath;
        return decision;
    }

    decision.verdict = NotPermitted;
    const int share = findShare(m_shares, normalised, false);
    if (share < 0)
        return decision;
    const quint32 rights = options & (NeedRead | NeedWrite);
    if ((m_shares[size_t(share)].flags & rights) != rights)
        return decision;

    // Where the path really leads must lie inside the folder of the share
    // that admitted it...
    QByteArray folder;
    QByteArray resolved;
    if (!resolve(selectorPath(m_shares[size_t(share)]), true, &folder))
        return decision;
    struct stat st;
    if (::stat(folder.constData(), &st) != 0) // a share whose folder is gone admits nothing
        return decision;
    if (!resolve(normalised, options & FollowLastLink, &resolved) || !contains(folder, resolved))
        return decision;
    // ...and the share that holds that place must grant the rights too, so a
    // link in a writable share cannot lead into a read-only one inside it.
    const int real = shareOfResolved(resolved);
    if (real < 0 || (m_shares[size_t(real)].flags & rights) != rights)
        return decision;

    decision.verdict = Allowed;
    decision.share = share;
    decision.nativePath = resolved;
    decision.path = QFile::decodeName(resolved);
    return decision;
}

bool VfsPathGuard::holdsShareFolder(const QString& localPath) const
{
    if (m_accessMode != Restricted)
        return false;
    const QByteArray raw = QFile::encodeName(localPath);
    QByteArray normalised;
    QByteArray target;
    if (!normalise(raw, &normalised) || !resolve(normalised, false, &target))
        return true; // cannot tell: treat it as holding one
    for (const PeerAclDto& share : m_shares) {
        const QByteArray selector = selectorPath(share);
        if (selector.isEmpty())
            continue;
        if (contains(normalised, selector) || contains(target, selector))
            return true;
        QByteArray folder;
        if (resolve(selector, true, &folder) && contains(target, folder))
            return true;
    }
    return false;
}

int VfsPathGuard::shareOfResolved(const QByteArray& resolved) const
{
    std::vector<QByteArray> folders;
    folders.reserve(m_shares.size());
    for (const PeerAclDto& share : m_shares) {
        const QByteArray selector = selectorPath(share);
        QByteArray folder;
        folders.push_back(!selector.isEmpty() && resolve(selector, true, &folder) ? folder
                                                                                 : QByteArray());
    }
    return chooseShare(m_shares, folders, resolved, false);
}

int VfsPathGuard::shareOf(const QString& localPath) const
{
    if (m_accessMode != Restricted)
        return -1;
    QByteArray normalised;
    if (!normalise(QFile::encodeName(localPath), &normalised))
        return -1;
    return findShare(m_shares, normalised, false);
}

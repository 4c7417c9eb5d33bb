#include "models/vfsmodel_p.h"

#include "core/logger.h"

#include <QVarLengthArray>

using namespace vfsmodel;

// --- Paths -------------------------------------------------------------------

// The components from the top down, joined by the separator; a top-level
// component that is the separator itself (the "/" drive) is not followed by
// another one. Built in one allocation: select-all asks this of every row.
QString VfsModelPrivate::pathOf(const VfsEntry* entry, QChar separator) const
{
    QVarLengthArray<const QString*, 32> components; // bottom up
    int size = 0;
    for (const VfsEntry* e = entry; e && e != &root; e = e->parent) {
        components.append(&componentOf(e));
        size += componentOf(e).size() + 1;
    }
    if (components.isEmpty())
        return QString();
    QString path;
    path.reserve(size);
    int i = components.size() - 1;
    const QString& top = *components[i];
    if (top.size() == 1 && top.at(0) == separator) {
        path.append(separator);
        if (--i < 0)
            return path;
    } else {
        path.append(top);
        if (--i < 0)
            return path;
        path.append(separator);
    }
    for (;; --i) {
        path.append(*components[i]);
        if (i == 0)
            return path;
        path.append(separator);
    }
}

QString VfsModelPrivate::convertPath(const QString& path) const
{
    if (separator.isNull() || path.contains(separator))
        return path;
    const QChar other = separator == QLatin1Char('/') ? QLatin1Char('\\') : QLatin1Char('/');
    return path.split(other).join(separator);
}

VfsEntry* VfsModelPrivate::findChild(const VfsEntry* dir, const QString& component) const
{
    if (!dir->byComponent)
        return nullptr;
    return dir->byComponent->value(component, nullptr);
}

// Whether paths are looked up through a top-level row. On a peer with '/'
// paths the drives other than "/" are reached through "/", where they are
// mounted.
bool VfsModelPrivate::reachesThrough(const VfsEntry* top) const
{
    return separator != QLatin1Char('/') || top->type != VfsModel::DriveType || top->path == QLatin1String("/");
}

// Walks the top-level rows whose path holds the wanted path (by whole
// components) and then down by component.
VfsEntry* VfsModelPrivate::findEntry(const QString& rawPath) const
{
    const QString path = convertPath(rawPath);
    if (path.isEmpty())
        return nullptr;
    const QChar s = sep();
    for (VfsEntry* top : root.children) {
        if (!reachesThrough(top))
            continue;
        const QString topPath = pathOf(top, s);
        if (topPath == path)
            return top;
        if (topPath.isEmpty() || !path.startsWith(topPath))
            continue;
        if (!topPath.endsWith(s) && path.at(topPath.size()) != s)
            continue;
        const QStringList components = path.mid(topPath.size()).split(s, Qt::SkipEmptyParts);
        VfsEntry* e = top;
        for (const QString& component : components) {
            e = findChild(e, component);
            if (!e)
                break;
        }
        if (e)
            return e;
    }
    return nullptr;
}

// --- Top-level rows, path resolution and watching ---------------------------

// The top-level row a path is reached through, as findEntry walks: the one
// with the longest path that starts the given path.
VfsEntry* VfsModelPrivate::topRowFor(const QString& path) const
{
    VfsEntry* best = nullptr;
    int bestLength = -1;
    for (VfsEntry* top : root.children) {
        if (!reachesThrough(top))
            continue;
        const QString topPath = pathOf(top, sep());
        if (!topPath.isEmpty() && path.startsWith(topPath) && topPath.size() > bestLength) {
            best = top;
            bestLength = topPath.size();
        }
    }
    return best;
}

VfsEntry* VfsModelPrivate::topOf(VfsEntry* e) const
{
    while (e && e->parent && e->parent != &root)
        e = e->parent;
    return e && e->parent == &root ? e : nullptr;
}

// A server of a peer with '\' paths, reached by its UNC name.
VfsEntry* VfsModelPrivate::appendServerRoot(const QString& path)
{
    VfsEntry* e = newEntry(&root);
    e->name = path.mid(2);
    e->ref = path;
    e->mode = VfsModel::ReadUser | VfsModel::ExecUser;
    e->origType = VfsModel::ShareType;
    e->type = VfsModel::DirectoryType;
    e->mime = kNetworkMime;
    e->icon = driveIcon(true);
    insertChild(&root, e, int(root.children.size()));
    return e;
}

// The key a file of a path is watched under; false when no top-level row
// reaches the path.
bool VfsModelPrivate::watchKeyFor(const QString& path, quint64 fileId, WatchKey* key) const
{
    const VfsEntry* top = topRowFor(path);
    if (!top)
        return false;
    *key = WatchKey{pathOf(top, sep()), fileId};
    return true;
}

// The watched files among a directory's children that the listing of the
// given sequence number held.
std::vector<FoundWatchItem> VfsModelPrivate::watchedChildren(VfsEntry* dir, quint64 sequence) const
{
    std::vector<FoundWatchItem> found;
    if (watchItems.isEmpty())
        return found;
    VfsEntry* top = topOf(dir);
    const QString topPath = top ? pathOf(top, sep()) : QString();
    for (VfsEntry* child : dir->children) {
        auto it = watchItems.constFind(WatchKey{topPath, child->inode});
        if (child->inode == 0 || it == watchItems.constEnd())
            continue;
        Logger::log(Logger::VMDL, "found watch item %s, fileId: %llu", qUtf8Printable(pathOf(child, '/')),
                    static_cast<unsigned long long>(child->inode));
        if (child->seen == sequence)
            found.push_back(FoundWatchItem{pathOf(child, sep()), child->inode, *it});
    }
    return found;
}

void VfsModelPrivate::finishResolve(int status)
{
    const QString target = resolveTarget;
    resolveTarget.clear();
    resolvePriority = 0;
    resolveTimer->stop();
    emit q->pathResolved(status, target);
    // The signal may have started another path.
    if (resolveTarget.isEmpty())
        q->resolveNextPath();
}

// --- VfsModel: paths --------------------------------------------------------

QModelIndex VfsModel::indexForPath(const QString& path) const
{
    return d->indexOf(d->findEntry(path));
}

QString VfsModel::pathForIndex(const QModelIndex& index) const
{
    return d->pathOf(d->entryOf(index), d->sep());
}

QString VfsModel::PathWalk::pathOf(const QModelIndex& index)
{
    const VfsModelPrivate* d = m_model ? m_model->d.get() : nullptr;
    const VfsEntry* e = d && index.model() == m_model ? d->entryOf(index) : nullptr;
    // Top-level rows (and the odd index on the invisible root) as PathRole
    // gives them.
    if (!e || e == &d->root || !e->parent || e->parent == &d->root)
        return index.data(PathRole).toString();
    const VfsEntry* dir = e->parent;
    const QChar separator = d->sep();
    if (dir != m_parent) {
        m_parent = dir;
        const QString& top = componentOf(dir);
        // Below a top-level "/" the path is "/" and the name, not "//name".
        m_parentPath = dir->parent == &d->root && top.size() == 1 && top.at(0) == separator
                           ? QString()
                           : d->pathOf(dir, separator);
    }
    const QString& name = componentOf(e);
    QString path;
    path.reserve(m_parentPath.size() + 1 + name.size());
    path.append(m_parentPath).append(separator).append(name);
    return path;
}

QChar VfsModel::pathSeparator() const
{
    return d->sep();
}

void VfsModel::retainEntry(const QString& path)
{
    if (VfsEntry* e = d->findEntry(path))
        ++e->useCount;
}

void VfsModel::releaseEntry(const QString& path)
{
    VfsEntry* e = d->findEntry(path);
    if (e && e->useCount > 0)
        --e->useCount;
}

int VfsModel::useCount(const QString& path) const
{
    const VfsEntry* e = d->findEntry(path);
    return e ? int(e->useCount) : 0;
}

// --- Path resolution ---------------------------------------------------------

QString VfsModel::resolvePath(const QString& rawPath, bool priority)
{
    const QString path = d->convertPath(rawPath);
    if (path == d->resolveTarget)
        return path;
    Logger::log(Logger::VMDL, "resolve path %s", qUtf8Printable(path));
    if (!d->resolveTarget.isEmpty()) {
        // The displaced path is resolved later, before the others of its
        // kind, unless it waits there already.
        QStringList& queue = d->resolvePriority ? d->priorityQueue : d->normalQueue;
        if (!queue.contains(d->resolveTarget))
            queue.prepend(d->resolveTarget);
    }
    d->resolveTarget = path;
    d->resolvePriority = priority ? 1 : 0;
    d->resolveStartedAt = d->now();
    d->resolveTimer->start(0);
    return path;
}

QString VfsModel::requestResolvePath(const QString& rawPath)
{
    if (d->resolveTarget.isEmpty())
        return resolvePath(rawPath, false);
    const QString path = d->convertPath(rawPath);
    d->normalQueue.append(path);
    return path;
}

void VfsModel::resolveNextPath()
{
    if (!d->priorityQueue.isEmpty())
        resolvePath(d->priorityQueue.takeFirst(), true);
    else if (!d->normalQueue.isEmpty())
        resolvePath(d->normalQueue.takeFirst(), false);
}

void VfsModel::onResolvePathTimerFired()
{
    if (d->resolveTarget.isEmpty())
        return;
    if (d->now() - d->resolveStartedAt > ResolveLimitMs) {
        Logger::log(Logger::VMDL, "resolve path %s timed out", qUtf8Printable(d->resolveTarget));
        d->finishResolve(1);
        return;
    }
    if (!d->linkUp()) {
        d->scheduleResolve(ResolveWaitStepMs);
        return;
    }
    if (!d->resolveTarget.startsWith(kSharesPath) && d->driveModel && d->driveModel->rowCount() == 0
        && (d->drivesRequestedAt < 0 || d->now() - d->drivesRequestedAt > ResolveDriveListRetryMs)) {
        fetchMore(QModelIndex());
        d->scheduleResolve(ResolveWaitStepMs);
        return;
    }

    QChar s = d->separator;
    if (s.isNull()) {
        if (d->resolveTarget.contains(QLatin1Char('/')))
            s = QLatin1Char('/');
        else if (d->resolveTarget.contains(QLatin1Char('\\')))
            s = QLatin1Char('\\');
    }
    d->resolveTarget = d->convertPath(d->resolveTarget);
    const QString target = d->resolveTarget;

    // The deepest entry of the path that the tree holds.
    QString path = target;
    VfsEntry* found = d->findEntry(path);
    while (!found && !s.isNull()) {
        const int cut = path.lastIndexOf(s);
        if (cut < 0)
            break;
        if (s == QLatin1Char('\\') && cut == 1) {
            found = d->appendServerRoot(path);
            break;
        }
        const QString shorter = cut == 0 ? path.left(1) : path.left(cut);
        if (shorter.size() >= path.size())
            break;
        path = shorter;
        found = d->findEntry(path);
    }

    if (found && found != d->findEntry(target)) {
        // An ancestor: list it and look again once it is merged.
        const QModelIndex index = d->indexOf(found);
        if (found->busy) {
            d->scheduleResolve(ResolveFetchStepMs);
            return;
        }
        if (canFetchMore(index)) {
            fetchMore(index);
            d->scheduleResolve(ResolveFetchStepMs);
            return;
        }
        found = nullptr; // it cannot be listed (again): the path is not there
    } else if (found) {
        const QModelIndex index = d->indexOf(found);
        const int status = (found->mode & ExecUser) ? 0 : 1;
        if (!found->busy && canFetchMore(index))
            fetchMore(index);
        Logger::log(Logger::VMDL, "resolved path %s: %d", qUtf8Printable(target), status);
        d->finishResolve(status);
        return;
    }

    if (d->root.children.size() < 2) {
        d->scheduleResolve(ResolveDrivesStepMs); // the drives have not come yet
        return;
    }
    Logger::log(Logger::VMDL, "cannot resolve path %s", qUtf8Printable(target));
    d->finishResolve(1);
}

// --- Watching ----------------------------------------------------------------

void VfsModel::startWatching(const QString& rawPath, quint64 fileId)
{
    if (fileId == 0) {
        Logger::log(Logger::VMDL, "skip watch %s, invalid fileId: %llu", qUtf8Printable(rawPath),
                    static_cast<unsigned long long>(fileId));
        return;
    }
    const QString path = d->convertPath(rawPath);
    WatchKey key;
    if (!d->watchKeyFor(path, fileId, &key))
        return;
    auto it = d->watchItems.find(key);
    if (it == d->watchItems.end()) {
        Logger::log(Logger::VMDL, "start watching %s, fileId: %llu", qUtf8Printable(path),
                    static_cast<unsigned long long>(fileId));
        d->watchItems.insert(key, path);
    } else if (*it != path) {
        Logger::log(Logger::VMDL, "changed watch path %s, fileId: %llu", qUtf8Printable(path),
                    static_cast<unsigned long long>(fileId));
        *it = path;
    }
}

void VfsModel::stopWatching(const QString& rawPath, quint64 fileId)
{
    const QString path = d->convertPath(rawPath);
    WatchKey key;
    if (fileId == 0 || !d->watchKeyFor(path, fileId, &key))
        return;
    auto it = d->watchItems.find(key);
    if (it != d->watchItems.end() && *it == path) {
        Logger::log(Logger::VMDL, "stop watching %s, fileId: %llu", qUtf8Printable(path),
                    static_cast<unsigned long long>(fileId));
        d->watchItems.erase(it);
    }
}

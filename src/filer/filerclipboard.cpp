#include "filer/filer.h"
#include "filer/filer_p.h"

#include "core/logger.h"
#include "desktop/applauncher.h"
#include "filer/filerhub.h"
#include "filer/launchcopydirectory.h"
#include "filer/sharedactions.h"
#include "jobs/vfscopydto.h"
#include "jobs/vfsmanager.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"

#include <QAction>
#include <QDateTime>
#include <QItemSelectionModel>
#include <QStackedWidget>
#include <QUuid>

#include <algorithm>

// Copy, cut, paste and the copy marks; the copy of other machines' files
// that an application is to open, and its launch once the copy has ended.

namespace {

constexpr int StatusTimeout = 8000;

qint64 msecs(const QModelIndex& index, int role)
{
    const QDateTime time = index.data(role).toDateTime();
    return time.isValid() ? time.toMSecsSinceEpoch() : 0;
}

// An entry of the request, read from the peer's own model.
VfsCopyEntry entryOf(const QModelIndex& source)
{
    VfsCopyEntry entry;
    entry.path = source.data(VfsModel::PathRole).toString();
    entry.type = source.data(VfsModel::TypeRole).toInt();
    entry.size = source.data(VfsModel::SizeRole).toULongLong();
    entry.atime = msecs(source, VfsModel::AtimeRole);
    entry.ctime = msecs(source, VfsModel::CtimeRole);
    entry.mtime = msecs(source, VfsModel::MtimeRole);
    return entry;
}

// The directory that holds path, with the peer's separator.
QString parentOf(const QString& path, QChar separator)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(separator))
        trimmed.chop(1);
    const int cut = trimmed.lastIndexOf(separator);
    if (cut < 0)
        return QString();
    return cut == 0 ? QString(separator) : trimmed.left(cut);
}

QString withoutTrailing(QString path, QChar separator)
{
    while (path.size() > 1 && path.endsWith(separator))
        path.chop(1);
    return path;
}

// A name that can become one local file name in the launch directory.
bool isPlainName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

} // namespace

// ---- FilerPrivate -------------------------------------------------------------

VfsModel* FilerPrivate::clipboardSourceModel() const
{
    if (!clipboard || clipboard->srcPeerUuid.isEmpty())
        return nullptr;
    PeerModel* peers = PeerModel::instance();
    IPeer* source = peers ? peers->getPeerForUuid(clipboard->srcPeerUuid) : nullptr;
    if (!source && peer && peer->uuid() == clipboard->srcPeerUuid)
        source = peer;
    return source ? qobject_cast<VfsModel*>(source->vfsFileSystemModel()) : nullptr;
}

void FilerPrivate::clearCopyMarks()
{
    VfsModel* source = clipboardSourceModel();
    if (!source)
        return;
    for (const VfsCopyEntry& entry : clipboard->entries) {
        const QModelIndex index = source->indexForPath(entry.path);
        if (!index.isValid())
            continue;
        const int flags = index.data(VfsModel::FlagsRole).toInt();
        if (flags & VfsModel::CopyMarkFlag)
            source->setData(index, flags & ~int(VfsModel::CopyMarkFlag), VfsModel::FlagsRole);
    }
}

void FilerPrivate::setPasteEnabled(bool enabled)
{
    if (SharedActions::paste)
        SharedActions::paste->setEnabled(enabled);
}

// ---- copy, cut and paste ---------------------------------------------------------

void Filer::onCopyActionTriggered()
{
    const bool cut = sender() && sender() == SharedActions::cut.data();
    const bool copy = sender() && sender() == SharedActions::copy.data();
    if (!d->act(cut ? QStringLiteral("cut") : QStringLiteral("copy")))
        return;
    if (!d->peer || !d->proxy || !d->selectionModel || !d->clipboard)
        return;

    // The previous content loses its marks; the pending work stays.
    d->clearCopyMarks();
    d->setPasteEnabled(false);
    VfsCopyDto& record = *d->clipboard;
    const std::vector<VfsMakeDirectoryJob*> makeDirectories = record.pendingMakeDirectoryJobs;
    const std::vector<VfsMoveJob*> moves = record.pendingMoveJobs;
    const std::vector<VfsDeferredLaunch> launches = record.pendingLaunches;
    record = VfsCopyDto();
    record.pendingMakeDirectoryJobs = makeDirectories;
    record.pendingMoveJobs = moves;
    record.pendingLaunches = launches;

    record.id = QUuid::createUuid().toString();
    record.srcPeerUuid = d->peer->uuid();
    if (!copy && !cut)
        return;
    record.move = cut ? 1 : 0;

    // Only the files page has a selection to copy.
    if (d->pages->currentWidget() != d->filesPage)
        return;
    VfsModel* model = d->model();
    if (!model)
        return;
    const QModelIndexList selected = d->selectionModel->selectedIndexes();
    for (const QModelIndex& index : selected) {
        if (index.column() != 0)
            continue;
        const QModelIndex source = d->proxy->mapToSource(index);
        if (!source.isValid())
            continue;
        const int flags = source.data(VfsModel::FlagsRole).toInt();
        model->setData(source, flags | int(VfsModel::CopyMarkFlag), VfsModel::FlagsRole);
        record.entries.push_back(entryOf(source));
    }
    Logger::log(Logger::VFS1, "%s %u entries from %s", cut ? "cut" : "copy", unsigned(record.entries.size()),
                qUtf8Printable(record.srcPeerUuid));
    d->setPasteEnabled(!record.entries.empty());
}

void Filer::onPasteActionTriggered()
{
    if (!d->act(QStringLiteral("paste")))
        return;
    if (!d->peer || !d->currentView || !d->proxy || !d->selectionModel || !d->clipboard)
        return;
    VfsCopyDto& record = *d->clipboard;
    // A destination typed for "Copy to" or "Move to" serves this one paste.
    QString destination = record.dstPath;
    record.dstPath.clear();
    if (record.entries.empty())
        return;
    if (destination.isEmpty() && d->pages->currentWidget() == d->filesPage) {
        const QModelIndex root = d->sourceRoot();
        if (root.isValid())
            destination = root.data(VfsModel::PathRole).toString();
    }
    if (destination.isEmpty()) {
        Logger::log(Logger::VFS1, "have no dst path for paste action, abort");
        return;
    }

    VfsCopyDto request = requestPart(record);
    request.dstPeerUuid = d->peer->uuid();
    request.dstPath = destination;

    if (request.move) {
        // A cut put back where it came from: nothing to move.
        VfsModel* model = d->model();
        const QChar separator = model ? model->pathSeparator() : QLatin1Char('/');
        const QString target = withoutTrailing(destination, separator);
        const bool samePlace = request.srcPeerUuid == request.dstPeerUuid
                               && std::all_of(request.entries.begin(), request.entries.end(),
                                              [&](const VfsCopyEntry& entry) {
                                                  return parentOf(entry.path, separator) == target;
                                              });
        if (samePlace) {
            Logger::log(Logger::VFS1, "cut pasted into its own directory %s: nothing to do",
                        qUtf8Printable(destination));
            //% "The items are in this folder already"
            showStatusMessage(qtTrId("filer-paste-same-folder"), StatusTimeout);
            return;
        }
        // A folder moved into its own subtree: the copy job refuses it and its
        // window says why; nothing moves, the clipboard keeps its content.
        const bool intoItself = request.srcPeerUuid == request.dstPeerUuid
                                && std::any_of(request.entries.begin(), request.entries.end(),
                                               [&](const VfsCopyEntry& entry) {
                                                   const QString folder = withoutTrailing(entry.path, separator);
                                                   return entry.type == VfsCopyEntry::TypeDirectory
                                                          && (target == folder
                                                              || target.startsWith(folder + separator));
                                               });
        if (intoItself) {
            Logger::log(Logger::VFS1, "cut pasted into its own subtree %s: refused by the copy",
                        qUtf8Printable(destination));
            d->transfers()->copy(request);
            return;
        }
        Logger::log(Logger::VFS1, "paste: move %u entries to %s", unsigned(request.entries.size()),
                    qUtf8Printable(destination));
        d->transfers()->move(request);
        // A cut is pasted once: the record empties, its marks go.
        d->clearCopyMarks();
        record.id.clear();
        record.srcPeerUuid.clear();
        record.dstPeerUuid.clear();
        record.move = 0;
        record.overwrite = 0;
        record.overwriteAll = 0;
        record.entries.clear();
        d->setPasteEnabled(false);
        return;
    }
    Logger::log(Logger::VFS1, "paste: copy %u entries to %s", unsigned(request.entries.size()),
                qUtf8Printable(destination));
    d->transfers()->copy(request);
}

void Filer::clearMarkedFiles()
{
    d->act(QStringLiteral("clear-marked"));
    if (!d->clipboard)
        return;
    d->clearCopyMarks();
    d->setPasteEnabled(false);
}

void Filer::onCopyRequest(const VfsCopyDto& dto)
{
    if (d && d->vfsManager)
        d->transfers()->copy(dto);
}

void Filer::onMoveRequest(const VfsCopyDto& dto)
{
    if (d && d->vfsManager)
        d->transfers()->move(dto);
}

// ---- files of other machines opened with an application -----------------------

void Filer::onDeferAppLaunch(int appId, const QString& peerUuid, const std::vector<QString>& paths)
{
    if (!d || !d->isActive() || !d->hub || paths.empty())
        return;
    PeerModel* peers = PeerModel::instance();
    IPeer* source = peers ? peers->getPeerForUuid(peerUuid) : nullptr;
    IPeer* own = peers ? peers->getPeerForUuid(ownPeerUuid()) : nullptr;
    auto* sourceModel = source ? qobject_cast<VfsModel*>(source->vfsFileSystemModel()) : nullptr;
    if (!sourceModel || !own) {
        Logger::log(Logger::VFS1, "deferred launch: peer %s unknown", qUtf8Printable(peerUuid));
        return;
    }

    VfsDeferredLaunch launch;
    launch.id = QUuid::createUuid().toString();
    launch.appId = appId;
    launch.srcPeerUuid = source->uuid();
    launch.dstPeerUuid = own->uuid();
    launch.move = 0;
    launch.overwrite = 1;
    launch.overwriteAll = 1;
    for (const QString& path : paths) {
        const QModelIndex index = sourceModel->indexForPath(path);
        const QString name = index.data(VfsModel::NameRole).toString();
        if (!index.isValid() || !isPlainName(name)) {
            Logger::log(Logger::VFS1, "deferred launch: %s is not loaded", qUtf8Printable(path));
            //% "%1 is not loaded; nothing was opened"
            showStatusMessage(qtTrId("launch-copy-not-loaded").arg(path), StatusTimeout);
            return;
        }
        launch.entries.push_back(entryOf(index));
        launch.localPaths.push_back(name); // made full below
    }

    QString error;
    const QString directory = LaunchCopyDirectory::forPeer(launch.srcPeerUuid, &error);
    if (directory.isEmpty()) {
        showStatusMessage(error, StatusTimeout);
        return;
    }
    launch.dstPath = directory;
    for (QString& local : launch.localPaths)
        local = directory + QLatin1Char('/') + local;
    // Two files of one name would end as one copy.
    std::vector<QString> sorted = launch.localPaths;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        //% "Files of the same name cannot be opened together"
        showStatusMessage(qtTrId("launch-copy-same-name"), StatusTimeout);
        return;
    }

    // The hub keeps the launch: it outlives this Filer.
    d->hub->startDeferredLaunch(launch);
}

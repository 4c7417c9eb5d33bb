#include "filer/filer.h"
#include "filer/filer_p.h"

#include "archive/p7zip.h"
#include "core/idatabase.h"
#include "core/logger.h"
#include "core/peerdto.h"
#include "desktop/applauncher.h"
#include "desktop/openwithmenu.h"
#include "filer/filerhub.h"
#include "filer/sharedactions.h"
#include "models/vfsdrivemodel.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "share/sharemenus.h"
#include "share/shareopener.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

// The enabling of the file actions, the status bar, the item menu and the
// commands that show, open or share the selection elsewhere.

namespace {

const char kFileManagerService[] = "org.freedesktop.FileManager1";
const char kFileManagerPath[] = "/org/freedesktop/FileManager1";
// Long enough for the desktop to start its file manager on the first call.
constexpr int kRevealTimeoutMs = 20000;
// The applications are offered for at most this many files: the launcher
// looks up the type of every file it is given, on this thread, and nobody
// opens thousands of files in one application.
constexpr int kMaxOpenWithFiles = 500;
// Beyond this many selected rows the paths that selectionChanged carries
// are built this many a pass of the event loop, after the status bar and
// the actions: one path is one allocation, and 100,000 of them held the
// window for some 40 ms on their own.
constexpr int kPathsInOnePass = 5000;

QString sizeText(quint64 bytes)
{
    return QLocale().formattedDataSize(qint64(bytes), 1, QLocale::DataSizeSIFormat);
}

// What the selection holds, gathered in one walk.
struct SelectionSummary
{
    quint32 access = VfsModel::ReadUser | VfsModel::WriteUser | 0x1000;
    int entries = 0;
    int dirCount = 0;
    quint64 totalSize = 0;
    QStringList paths;
    std::vector<QString> launchPaths;
};

} // namespace

// ---- FilerPrivate ----------------------------------------------------------

QModelIndexList FilerPrivate::selectedEntries(int limit) const
{
    QModelIndexList out;
    if (!selectionModel || !proxy)
        return out;
    // The ranges, not selectedRows(): those would ask every column of every
    // row whether it is selected, and select-all of a large folder is one
    // range. The selection model keeps its ranges apart, so a row comes once.
    const QItemSelection selection = selectionModel->selection();
    for (const QItemSelectionRange& range : selection) {
        if (range.left() != 0)
            continue;
        const QModelIndex parent = range.parent();
        for (int row = range.top(); row <= range.bottom(); ++row) {
            if (limit >= 0 && out.size() >= limit)
                return out;
            out.append(proxy->index(row, 0, parent));
        }
    }
    return out;
}

bool FilerPrivate::showsOwnMachine() const
{
    return peer && peer->uuid() == ownPeerUuid();
}

void FilerPrivate::revealInFileManager(const QString& path)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        Logger::log(Logger::NFO1, "reveal: no session bus, opening the folder");
        openContainingFolder(path);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kFileManagerService),
                                                       QLatin1String(kFileManagerPath),
                                                       QLatin1String(kFileManagerService), QStringLiteral("ShowItems"));
    call << QStringList{ QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded) } << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kRevealTimeoutMs), q);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, q, [this, path](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<> reply = *w;
        if (!reply.isError())
            return;
        Logger::log(Logger::NFO1, "reveal: file manager service: %s, opening the folder",
                    qUtf8Printable(reply.error().message()));
        openContainingFolder(path);
    });
}

void FilerPrivate::openContainingFolder(const QString& path)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
        return;
    Logger::log(Logger::ERR1, "reveal: cannot open %s", qUtf8Printable(folder));
    //% "Cannot show %1 in the file manager"
    q->showStatusMessage(qtTrId("filer-reveal-failed").arg(path), 10000);
}

void FilerPrivate::buildSelectionPaths()
{
    // Bound to the Filer: a Filer that goes takes the next slice with it.
    QTimer::singleShot(0, q, [this, generation = selectionPathsGeneration] {
        if (generation == selectionPathsGeneration)
            continueSelectionPaths();
    });
}

void FilerPrivate::continueSelectionPaths()
{
    SelectionPaths& build = selectionPaths;
    if (!proxy || !selectionModel)
        return;
    // Rows sorted, filtered or replaced meanwhile: the walk starts again
    // over the selection as it is now.
    if (selectionModel->selection() != build.ranges) {
        const QString peerUuid = build.peerUuid;
        build = SelectionPaths();
        build.ranges = selectionModel->selection();
        build.peerUuid = peerUuid;
    }
    VfsModel::PathWalk walk(model());
    int made = 0;
    while (build.range < build.ranges.size() && made < kPathsInOnePass) {
        const QItemSelectionRange& range = build.ranges.at(build.range);
        if (range.left() != 0 || !range.isValid()) {
            ++build.range;
            build.row = -1;
            continue;
        }
        if (build.row < 0)
            build.row = range.top();
        const QModelIndex parent = range.parent();
        for (; build.row <= range.bottom() && made < kPathsInOnePass; ++build.row, ++made) {
            const QString path = walk.pathOf(proxy->mapToSource(proxy->index(build.row, 0, parent)));
            if (!path.isEmpty())
                build.paths.append(path);
        }
        if (build.row > range.bottom()) {
            ++build.range;
            build.row = -1;
        }
    }
    if (build.range < build.ranges.size()) {
        buildSelectionPaths();
        return;
    }
    const QString peerUuid = build.peerUuid;
    const QStringList paths = std::move(build.paths);
    build = SelectionPaths();
    emit q->selectionChanged(peerUuid, paths);
}

// ---- accessors ---------------------------------------------------------------

QMenu* Filer::contextMenu() const
{
    return d ? d->contextMenu : nullptr;
}

QString Filer::statusMessage() const
{
    return d && d->selectionLabel ? d->selectionLabel->text() : QString();
}

QString Filer::statusSpaceText() const
{
    return d && d->statusLabel ? d->statusLabel->text() : QString();
}

// ---- actions and status bar ------------------------------------------------------

void Filer::updateFileActions()
{
    if (!d || !d->proxy || !d->currentView)
        return;
    IPeer* peer = d->peer;
    VfsModel* model = d->model();
    const QModelIndex shown = d->currentView->rootIndex();
    const quint32 rootInfo = shown.data(VfsModel::InfoRole).toUInt();

    // One walk over the selection's ranges, reading the source model
    // directly: select-all of a large folder is one range of many rows.
    SelectionSummary sel;
    const QChar separator = model ? model->pathSeparator() : QLatin1Char('/');
    // The rows of a range share their directory: its path is worked out once.
    VfsModel::PathWalk paths(model);
    const QItemSelection selection = d->selectionModel->selection();
    int rows = 0;
    for (const QItemSelectionRange& range : selection)
        rows += range.left() == 0 ? range.height() : 0;
    // A large selection's paths come later, in slices; those of its first
    // rows are still needed here for the applications and Extract.
    const bool pathsLater = rows > kPathsInOnePass;
    auto take = [&](const QModelIndex& index) {
        const quint32 info = index.data(VfsModel::InfoRole).toUInt();
        sel.access &= info | ~quint32(VfsModel::ReadUser | VfsModel::WriteUser);
        const bool needPath = !pathsLater || sel.entries <= kMaxOpenWithFiles;
        const QString path = needPath ? paths.pathOf(index) : QString();
        if (needPath && path.isEmpty())
            return;
        ++sel.entries;
        if (!pathsLater)
            sel.paths.append(path);
        else if (sel.paths.isEmpty())
            sel.paths.append(path);
        if (sel.entries > kMaxOpenWithFiles)
            sel.launchPaths.clear();
        else if (index.data(VfsModel::OrigTypeRole).toInt() == VfsModel::ShareType)
            sel.launchPaths.push_back(QStringLiteral("%shares") + separator
                                      + index.data(VfsModel::NameRole).toString());
        else
            sel.launchPaths.push_back(path);
        if (index.data(VfsModel::TypeRole).toInt() == VfsModel::DirectoryType)
            ++sel.dirCount;
        else
            sel.totalSize += index.data(VfsModel::SizeRole).toULongLong();
    };
    if (!pathsLater)
        sel.paths.reserve(rows);
    for (const QItemSelectionRange& range : selection) {
        if (range.left() != 0)
            continue;
        const QModelIndex parent = range.parent();
        for (int row = range.top(); row <= range.bottom(); ++row)
            take(d->proxy->mapToSource(d->proxy->index(row, 0, parent)));
    }
    const int itemCount = sel.entries == 0 ? d->proxy->rowCount(shown) : 0;

    d->selectionPaths = FilerPrivate::SelectionPaths();
    ++d->selectionPathsGeneration;
    if (pathsLater) {
        d->selectionPaths.ranges = selection;
        d->selectionPaths.peerUuid = peer ? peer->uuid() : QString();
        d->buildSelectionPaths();
    } else {
        emit selectionChanged(peer ? peer->uuid() : QString(), sel.paths);
    }

    const bool active = d->isActive();
    const bool linkUp = peer && peer->linkState() == IPeer::LinkUp;
    // Only the active Filer's selection is what "Open with" opens: a Filer
    // in the background must not replace it.
    if (active) {
        if (AppLauncher* launcher = AppLauncher::current()) {
            if (linkUp && !sel.launchPaths.empty() && sel.dirCount < sel.entries)
                launcher->selectFiles(peer->uuid(), sel.launchPaths);
            else
                launcher->clear();
        }
    }

    // The status bar is every Filer's own. The selection's text sits under
    // the bar's passing messages, so a failure shown for ten seconds is not
    // wiped by the next change of selection.
    if (peer && !linkUp) {
        //% "%1 is not connected"
        d->selectionLabel->setText(qtTrId("filer-status-offline").arg(peer->name()));
        d->statusLabel->clear();
    } else if (peer) {
        if (sel.dirCount > 0 && sel.dirCount == sel.entries)
            //% "%n folder(s) selected"
            d->selectionLabel->setText(qtTrId("filer-status-dirselection", sel.entries));
        else if (sel.entries > 0)
            //% "%n item(s) selected %1"
            d->selectionLabel->setText(qtTrId("filer-status-selection", sel.entries).arg(sizeText(sel.totalSize)));
        else
            //% "%n item(s)"
            d->selectionLabel->setText(qtTrId("filer-status-dir", itemCount));
        auto* drives = qobject_cast<VfsDriveModel*>(peer->vfsDriveModel());
        const QString shownPath = shown.data(VfsModel::PathRole).toString();
        const quint64 available = drives && !shownPath.isEmpty() ? drives->driveForPath(shownPath).bytesAvailable : 0;
        if (available != 0)
            //% "%1 free"
            d->statusLabel->setText(qtTrId("filer-status-freespace").arg(sizeText(available)));
        else
            d->statusLabel->clear();
    }

    // The shared actions belong to the active Filer.
    if (!active)
        return;
    const bool usable = linkUp && d->pages->currentWidget() == d->filesPage;
    const bool any = usable && sel.entries > 0;
    const bool one = usable && sel.entries == 1;
    const bool canWrite = sel.access & VfsModel::WriteUser;
    const bool canRead = sel.access & VfsModel::ReadUser;
    const bool rootWritable = usable && (rootInfo & VfsModel::WriteUser);
    const bool own = d->showsOwnMachine();
    auto set = [](QAction* action, bool enabled) {
        if (action)
            action->setEnabled(enabled);
    };
    set(SharedActions::cut, any && canWrite);
    set(SharedActions::copy, any && canRead);
    set(SharedActions::trash, any && canWrite);
    set(SharedActions::deleteItems, any && canWrite);
    // 7z runs on this machine: only an archive of this machine is extracted.
    set(SharedActions::extract, one && own && P7Zip::isAvailable(sel.paths.first()));
    set(SharedActions::rename, one && rootWritable);
    set(SharedActions::newFolder, rootWritable);
    set(SharedActions::showProperties, any && own);
    set(SharedActions::showInExplorer, any && own);
    for (QAction* action : { SharedActions::openLeft.data(), SharedActions::openRight.data(),
                             SharedActions::openLeftTab.data(), SharedActions::openRightTab.data() })
        set(action, any);
}

// ---- the item menu ---------------------------------------------------------------

void Filer::updateOpenWithMenu(QMenu* menu, QAction* extraAction)
{
    OpenWithMenu::fill(menu, extraAction, AppLauncher::current());
}

void Filer::onCustomContextMenuRequested(const QPoint& pos)
{
    if (!d)
        return;
    if (qAbs(pos.x() - d->pressPos.x()) + qAbs(pos.y() - d->pressPos.y()) > 16) {
        Logger::log(Logger::NFO1, "gesture detected, discard context menu");
        return;
    }
    emit contextMenuRequested(pos);
    if (!d->peer || !d->currentView || !d->proxy)
        return;

    if (!d->contextMenu) {
        d->contextMenu = new QMenu(this);
        d->contextMenu->setObjectName(QStringLiteral("filerContextMenu"));
        connect(d->contextMenu, &QMenu::triggered, this, &Filer::onContextMenuActionTriggered);
    } else {
        // The submenus of the last opening are the menu's children; clear()
        // leaves them.
        const QList<QMenu*> submenus = d->contextMenu->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly);
        d->contextMenu->clear();
        qDeleteAll(submenus);
    }
    QMenu* menu = d->contextMenu;

    // How many entries are selected matters only up to two.
    const QModelIndexList list = d->selectedEntries(2);
    updateOpenWithMenu(menu, SharedActions::preview);
    if (!menu->actions().isEmpty())
        menu->addSeparator();

    const bool own = d->showsOwnMachine();
    auto enabled = [](QAction* action) { return action && action->isEnabled(); };
    auto add = [menu](QAction* action) {
        if (action)
            menu->addAction(action);
    };
    if (own && list.size() == 1 && SharedActions::extract
        && P7Zip::isAvailable(list.first().data(VfsModel::PathRole).toString())) {
        SharedActions::extract->setIcon(list.first().data(Qt::DecorationRole).value<QIcon>());
        add(SharedActions::extract);
    }
    if (!list.isEmpty() && enabled(SharedActions::copy)) {
        add(SharedActions::cut);
        add(SharedActions::copy);
    }
    add(SharedActions::paste);
    if (list.size() == 1 && enabled(SharedActions::rename))
        add(SharedActions::rename);
    add(SharedActions::newFolder);
    menu->addSeparator();

    if (own) {
        ShareMenus::Inputs inputs;
        inputs.ownMachine = true;
        if (d->database) {
            for (const PeerDto& stored : d->database->getPeers(QStringLiteral("velm")))
                inputs.peerUuids.append(stored.uuid);
        }
        inputs.knownPeer = [](const QString& uuid) {
            PeerModel* peers = PeerModel::instance();
            return peers ? peers->getPeerForUuid(uuid) : nullptr;
        };
        inputs.shareDrive = SharedActions::shareDrive && SharedActions::shareDrive->isChecked();
        inputs.receiver = this;
        inputs.shareSlot = SLOT(onShareTriggered());
        inputs.shareDriveSlot = SLOT(onShareDriveTriggered());
        inputs.peerIcon = &ShareMenus::themeIcon;
        ShareMenus::addShareSubmenus(menu, inputs);
    }
    if (!list.isEmpty() && enabled(SharedActions::trash))
        add(SharedActions::trash);

    menu->popup(QCursor::pos());
}

void Filer::onContextMenuActionTriggered(QAction* action)
{
    // The open-with entries carry their application; the shared actions in
    // the menu act through their own connections.
    OpenWithMenu::launch(action, AppLauncher::current());
}

// ---- reveal, properties, open in -----------------------------------------------------

void Filer::onShowInExplorerActionTriggered()
{
    if (!d->act(QStringLiteral("reveal")) || !d->showsOwnMachine())
        return;
    const QString path = currentItemPath();
    if (!path.isEmpty())
        d->revealInFileManager(path);
}

void Filer::onShowPropertiesActionTriggered()
{
    if (!d->act(QStringLiteral("properties")) || !d->peer || !d->proxy || !d->selectionModel)
        return;
    // The desktop has no common properties window to hand them to.
    QStringList paths;
    for (const QModelIndex& index : d->selectedEntries())
        paths.append(index.data(VfsModel::PathRole).toString());
    Logger::log(Logger::NFO1, "properties of %d item(s)", int(paths.size()));
}

void Filer::onOpenInActionTriggered()
{
    auto* action = qobject_cast<QAction*>(sender());
    if (!d || !action)
        return;
    const QString command = action->data().toString();
    if (command.isEmpty())
        return;
    int count = 0;
    for (const QModelIndex& index : d->selectedEntries()) {
        if (!index.data(VfsModel::PathRole).toString().isEmpty())
            ++count;
    }
    // Windows programs and libraries are never started here.
    if (command.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)
        || command.endsWith(QLatin1String(".dll"), Qt::CaseInsensitive))
        Logger::log(Logger::ERR1, "open-in command %s for %d item(s) ignored: not a program of this system",
                    qUtf8Printable(command), count);
    else
        Logger::log(Logger::ERR1, "unsupported exec command: %s", qUtf8Printable(command));
}

// ---- sharing ------------------------------------------------------------------------

void Filer::onShareTriggered()
{
    auto* action = qobject_cast<QAction*>(sender());
    if (!d || !d->isActive() || !action || !d->currentView)
        return;
    ShareOpener::shareItem(d->engine, d->database, PeerModel::instance(), action->data().toString(),
                           d->selectedEntries(1), d->currentView->rootIndex(), d->showsOwnMachine(), this);
}

void Filer::onShareDriveTriggered()
{
    auto* action = qobject_cast<QAction*>(sender());
    if (!d || !d->isActive() || !action)
        return;
    ShareOpener::shareDrive(d->engine, d->database, PeerModel::instance(), action->data().toString(),
                            d->selectedEntries(), this);
}

void Filer::onEditPeerAcl(const QString& peerUuid, const QString& aclUuid)
{
    if (!d)
        return;
    // Opens nothing for a peer or share that has gone meanwhile.
    ShareOpener::editShare(d->engine, d->database, PeerModel::instance(), peerUuid, aclUuid, this);
}

// Filer: going to paths, history, view modes, zoom and filters.
#include "filer/filer.h"
#include "filer/filer_p.h"

#include "core/logger.h"
#include "filer/filerhub.h"
#include "filer/filericonview.h"
#include "filer/filertreeview.h"
#include "filer/sharedactions.h"
#include "models/vfsdrivemodel.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QQuickItem>
#include <QQuickWidget>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>

namespace {
constexpr int kResolvedGotoDelayMs = 10;

bool isFolder(const QModelIndex& index)
{
    const int type = index.data(VfsModel::TypeRole).toInt();
    return type == VfsModel::DriveType || type == VfsModel::DirectoryType;
}

bool canEnter(const QModelIndex& index)
{
    return index.data(VfsModel::InfoRole).toUInt() & VfsModel::ExecUser;
}
} // namespace

// ---- queries -------------------------------------------------------------------

QString Filer::path() const
{
    if (!d)
        return QString();
    if (d->pages->currentWidget() == d->peerViewPage)
        return QStringLiteral("%peerview");
    if (d->pages->currentWidget() == d->machineListPage)
        return QStringLiteral("%machinelist");
    if (!d->currentView || !d->proxy || !d->peer)
        return QString();
    return d->currentView->rootIndex().data(VfsModel::PathRole).toString();
}

QStringList Filer::pathList() const
{
    return d ? d->sourceRoot().data(VfsModel::PathListRole).toStringList() : QStringList();
}

QStringList Filer::displayPath() const
{
    return d ? d->sourceRoot().data(VfsModel::DisplayPathListRole).toStringList() : QStringList();
}

QString Filer::currentItemPath() const
{
    if (!d || !d->currentView)
        return QString();
    const QModelIndex current = d->currentView->currentIndex();
    return current.isValid() ? current.data(VfsModel::PathRole).toString() : QString();
}

// ---- going to a path ------------------------------------------------------------------

void Filer::gotoPath(const QString& path)
{
    if (!d)
        return;
    // The machine list lists the machines; it needs none of them, so it
    // opens before this machine has started (or after its peer went).
    if (path == QLatin1String("%machinelist")) {
        raise();
        if (d->pages->currentWidget() != d->machineListPage)
            showMachineList();
        return;
    }
    if (!d->peer)
        return;
    raise();
    if (path == QLatin1String("%peerview") || path == QLatin1String("%shares")) {
        if (d->pages->currentWidget() != d->peerViewPage)
            showPeerView();
        return;
    }

    if (path == QLatin1String("%home") && d->peer->uuid() != ownPeerUuid()) {
        PeerModel* peers = PeerModel::instance();
        IPeer* own = peers ? peers->getPeerForUuid(ownPeerUuid()) : nullptr;
        if (!own)
            return;
        setPeer(own);
    }
    VfsModel* model = d->model();
    if (!model || !d->currentView)
        return;

    // 3. Where the Filer is now.
    const QModelIndex previousRoot = d->sourceRoot();
    const QString previous = previousRoot.data(VfsModel::PathRole).toString();
    Logger::log(Logger::NFO2, "previous0: %s", qUtf8Printable(previous));

    // 4. Where it goes.
    QString wanted = path;
    QModelIndex target;
    if (path == QLatin1String("%home")) {
        const QStringList homes = QStandardPaths::standardLocations(QStandardPaths::HomeLocation);
        wanted = homes.value(0);
        if (!wanted.isEmpty())
            target = model->indexForPath(wanted);
    } else if (path.isEmpty()) {
        target = model->index(0, 0, QModelIndex());
    } else {
        target = model->indexForPath(path);
    }
    Logger::log(Logger::NFO2, "goto path %s --> index(%d,%d,%p)", qUtf8Printable(path), target.row(), target.column(),
                target.internalPointer());

    // 5. Not loaded yet: resolve first.
    if (!target.isValid()) {
        if (!wanted.isEmpty())
            d->pendingPath = model->resolvePath(wanted, true);
        return;
    }

    // 6. A file: its directory, with the file selected.
    if (!isFolder(target)) {
        const QModelIndex file = d->proxy->mapFromSource(target);
        const QModelIndex parent = target.parent();
        if (!parent.isValid()) {
            d->pendingPath = model->resolvePath(wanted, true);
            return;
        }
        target = parent;
        if (file.isValid())
            d->selectionModel->setCurrentIndex(file, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Current
                                                         | QItemSelectionModel::Rows);
    }

    // 7. The nearest enterable directory.
    while (target.isValid() && !canEnter(target)) {
        d->selectionModel->clearSelection();
        target = target.parent();
    }

    // 8. The new root.
    d->pendingPath.clear();
    d->retriedPath.clear();
    d->proxy->setRootIndex(target);
    const QModelIndex proxyRoot = d->proxy->mapFromSource(target);
    d->currentView->setRootIndex(proxyRoot);
    const unsigned info = target.data(VfsModel::InfoRole).toUInt();
    const QString rootPath = target.data(VfsModel::PathRole).toString();
    Logger::log(Logger::NFO2, "new root: %s, permissions 0x%08X", qUtf8Printable(rootPath), info);

    // 9.
    if (SharedActions::newFolder && d->isActive())
        SharedActions::newFolder->setEnabled(info & VfsModel::WriteUser);
    const QString name = target.data(VfsModel::NameRole).toString();
    emit directoryChanged(name);
    setWindowTitle(name);

    // 10. One use of the shown directory, on the model it belongs to.
    if (d->retainedModel != model || d->retainedPath != rootPath) {
        d->releaseRetained();
        if (!rootPath.isEmpty()) {
            model->retainEntry(rootPath);
            d->retainedModel = model;
            d->retainedPath = rootPath;
        }
    }

    // 11. The current row.
    const QModelIndex left = d->proxy->mapFromSource(model->indexForPath(previous));
    const QModelIndex current = d->selectionModel->currentIndex();
    if (!previous.isEmpty() && left.isValid() && left.parent() == proxyRoot) {
        Logger::log(Logger::NFO2, "previous: %s", qUtf8Printable(previous));
        d->selectionModel->setCurrentIndex(left, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Current
                                                     | QItemSelectionModel::Rows);
    } else if (current.isValid() && current.parent() == proxyRoot) {
        // stays
    } else {
        const QModelIndex first = d->proxy->index(0, 0, proxyRoot);
        d->selectionModel->setCurrentIndex(first, QItemSelectionModel::Clear | QItemSelectionModel::Current
                                                      | QItemSelectionModel::Rows);
        Logger::log(Logger::NFO2, "current: %s", qUtf8Printable(first.data(VfsModel::PathRole).toString()));
    }

    // 12.
    if (d->currentView->currentIndex().isValid())
        d->currentView->scrollTo(d->currentView->currentIndex(), QAbstractItemView::PositionAtCenter);
    showFilesView();
    emit pathChanged();
}

void Filer::resolvePath(const QString& pathList)
{
    emit pathResolveStart();
    VfsModel* model = d ? d->model() : nullptr;
    if (!model) {
        emit pathResolveFailed();
        return;
    }
    Logger::log(Logger::NFO2, "resolve path %s", qUtf8Printable(pathList));
    d->pendingPath = model->resolvePath(pathList, true);
}

void Filer::onPathResolved(int status, const QString& pathList)
{
    VfsModel* model = d ? d->model() : nullptr;
    if (!model || !d->proxy || sender() != model || pathList != d->pendingPath || pathList.isEmpty())
        return;
    const QModelIndex index = model->indexForPath(pathList);
    if (status != 0) {
        emit pathResolveFailed();
        Logger::log(Logger::NFO2, "failed to resolve path %s", qUtf8Printable(pathList));
        // A file, or a directory that may not be entered, is in the tree
        // now: the Filer opens its directory, or the nearest it may enter.
        if (index.isValid()) {
            d->pendingPath.clear();
            gotoPath(pathList);
        }
        return;
    }
    if (index.isValid()) {
        d->pendingPath.clear();
        d->retriedPath.clear();
        emit pathResolved(d->proxy->mapFromSource(index), index.data(VfsModel::PathListRole).toStringList());
        QPointer<Filer> self(this);
        const QString path = pathList;
        QTimer::singleShot(kResolvedGotoDelayMs, this, [self, path] {
            if (self)
                self->gotoPath(path);
        });
        return;
    }
    // Success without an entry: resolve once more, then give up, so that the
    // model and the Filer never call each other in a ring.
    if (d->retriedPath != pathList) {
        d->retriedPath = pathList;
        gotoPath(pathList);
        return;
    }
    d->retriedPath.clear();
    d->pendingPath.clear();
    Logger::log(Logger::NFO2, "resolved path %s has no entry", qUtf8Printable(pathList));
    emit pathResolveFailed();
}

void Filer::setCurrentIndexToPath(const QString& path)
{
    VfsModel* model = d ? d->model() : nullptr;
    if (!model || !d->currentView)
        return;
    const QModelIndex index = d->proxy->mapFromSource(model->indexForPath(path));
    if (!index.isValid())
        return;
    d->selectionModel->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Current
                                                  | QItemSelectionModel::Rows);
    d->currentView->scrollTo(index);
}

// ---- activation ------------------------------------------------------------------

void Filer::onActivated(const QModelIndex& index)
{
    if (!d || !d->proxy || !d->peer || !d->currentView)
        return;
    Logger::log(Logger::NFO2, "activated: %s", qUtf8Printable(index.data(VfsModel::PathRole).toString()));
    if (index.isValid() && !isFolder(index)) {
        openWithDefaultApplication(index.data(VfsModel::PathRole).toString());
        return;
    }
    QModelIndex target = index;
    while (target.isValid() && !canEnter(target)) {
        d->selectionModel->clearSelection();
        target = target.parent();
    }
    const QString path = target.data(VfsModel::PathRole).toString();
    if (!path.isEmpty())
        gotoPath(path);
}

void Filer::activateCurrent()
{
    if (d && d->currentView)
        onActivated(d->currentView->currentIndex());
}

void Filer::onDriveClicked(const QModelIndex& index)
{
    gotoPath(index.data(VfsDriveModel::PathRole).toString());
}

void Filer::onHomeClicked()
{
    gotoPath(QStringLiteral("%home"));
}

void Filer::onSharesButtonClicked()
{
    gotoPath(QStringLiteral("%shares"));
}

void Filer::onBreadCrumpDriveClicked(const QString& path)
{
    Logger::log(Logger::NFO2, "breadcrump drive clicked path: %s", qUtf8Printable(path));
    gotoPath(path);
}

void Filer::onBreadCrumpPathEdited(const QString& path)
{
    Logger::log(Logger::NFO2, "breadcrump edited path: %s", qUtf8Printable(path));
    gotoPath(path);
}

void Filer::onBreadCrumpClicked(int index)
{
    Logger::log(Logger::NFO2, "bread crump index %d", index);
    if (!d || !d->peer || !d->proxy || !d->currentView)
        return;
    emit activated();
    QModelIndex target;
    if (index < 0) {
        target = d->proxy->index(0, 0).parent();
    } else {
        target = d->currentView->rootIndex();
        QStringList list = target.data(VfsModel::PathListRole).toStringList();
        while (list.size() > index + 1 && target.isValid()) {
            list.removeLast();
            target = target.parent();
        }
        Logger::log(Logger::NFO2, "Bread crump -> %s", qUtf8Printable(list.join(QLatin1Char('/'))));
    }
    onActivated(target);
}

void Filer::onUpClicked()
{
    if (!d || !d->currentView)
        return;
    const QModelIndex parent = d->currentView->rootIndex().parent();
    const QString path = parent.data(VfsModel::PathRole).toString();
    if (parent.isValid() && !path.isEmpty())
        gotoPath(path);
}

void Filer::onForwardClicked() {}

void Filer::onBackClicked()
{
    if (!d || d->history.empty())
        return;
    FilerHistoryEntry entry = d->history.back();
    d->history.pop_back();
    Logger::log(Logger::NFO2, "pop history %s : %s", qUtf8Printable(entry.peerUuid), qUtf8Printable(entry.path));
    const QString here = path();
    const QString peerUuid = d->peer ? d->peer->uuid() : QString();
    while (entry.peerUuid == peerUuid && entry.path == here) {
        if (d->history.empty())
            return;
        entry = d->history.back();
        d->history.pop_back();
    }
    PeerModel* peers = PeerModel::instance();
    IPeer* peer = peers ? peers->getPeerForUuid(entry.peerUuid) : nullptr;
    if (!peer)
        return;
    setPeer(peer);
    gotoPath(entry.path);
}

void Filer::onPathChanged()
{
    if (!d)
        return;
    // The bar keeps the real parts (what a crumb click goes to) apart from
    // the names it shows (a drive's label for its mount point).
    const QStringList parts = pathList();
    d->setBreadCrumbProperty("pathList", parts);
    d->setBreadCrumbProperty("displayPathList", displayPath());
    d->setBreadCrumbProperty("fullPath", path());
    if (d->topNavigation && d->topNavigation->rootObject()) {
        QObject* root = d->topNavigation->rootObject();
        if (root->metaObject()->indexOfMethod("setPath(QVariant)") >= 0)
            QMetaObject::invokeMethod(root, "setPath", Q_ARG(QVariant, QVariant(parts)));
    }
    if (d->peer)
        pushHistory(FilerHistoryEntry{ d->peer->uuid(), path() });
    updateFileActions();
}

void Filer::pushHistory(const FilerHistoryEntry& entry)
{
    if (!d || entry.path.isEmpty())
        return;
    // The same place again is no new entry (and costs no old one).
    if (!d->history.empty() && d->history.back().peerUuid == entry.peerUuid && d->history.back().path == entry.path)
        return;
    if (int(d->history.size()) >= HistoryLimit)
        d->history.pop_front();
    Logger::log(Logger::NFO2, "push history %s : %s", qUtf8Printable(entry.peerUuid), qUtf8Printable(entry.path));
    d->history.push_back(entry);
}

// ---- view modes and sizes -----------------------------------------------------------

void Filer::setViewMode(int mode)
{
    if (!d || mode == d->viewMode || mode < ViewList || mode > ViewNone)
        return;
    QModelIndex root;
    QModelIndex current;
    if (d->currentView) {
        root = d->currentView->rootIndex();
        current = d->currentView->currentIndex();
    }
    d->viewMode = mode;
    updateViewModeActions();
    d->visibleColumns = { VfsModel::NameColumn };
    if (mode == ViewColumns)
        d->visibleColumns.insert(d->visibleColumns.end(),
                                 { VfsModel::AccessColumn, VfsModel::SizeColumn, VfsModel::MTimeStringColumn });
    if (mode == ViewList || mode == ViewColumns) {
        d->iconView->hide();
        d->currentView = d->treeView;
    } else if (mode == ViewIcons) {
        d->treeView->hide();
        d->currentView = d->iconView;
    }
    if (d->currentView == d->treeView) {
        for (int column = 0; column < VfsModel::ColumnCount; ++column) {
            const bool visible = std::find(d->visibleColumns.begin(), d->visibleColumns.end(), column)
                                 != d->visibleColumns.end();
            d->treeView->setColumnHiddenPolished(column, !visible);
        }
    }
    if (d->currentView) {
        if (root.isValid())
            d->currentView->setRootIndex(root);
        d->currentView->show();
        setFocusProxy(d->currentView);
        if (current.isValid() && d->currentView->currentIndex() != current)
            d->selectionModel->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
    }
    emit viewModeChanged();
}

void Filer::viewAsIcons()
{
    if (d && d->isActive())
        setViewMode(ViewIcons);
}

void Filer::viewAsList()
{
    if (d && d->isActive())
        setViewMode(ViewList);
}

void Filer::viewAsColumns()
{
    if (d && d->isActive())
        setViewMode(ViewColumns);
}

void Filer::updateViewModeActions()
{
    if (!d || !d->isActive())
        return;
    if (SharedActions::viewIcons)
        SharedActions::viewIcons->setChecked(d->viewMode == ViewIcons);
    if (SharedActions::viewList)
        SharedActions::viewList->setChecked(d->viewMode == ViewList);
    if (SharedActions::viewColumns)
        SharedActions::viewColumns->setChecked(d->viewMode == ViewColumns);
}

void Filer::increaseItemSize()
{
    if (!d || !d->isActive())
        return;
    if (d->viewMode == ViewList || d->viewMode == ViewColumns)
        d->treeView->increaseItemSize();
    else if (d->viewMode == ViewIcons)
        d->iconView->increaseItemSize();
}

void Filer::decreaseItemSize()
{
    if (!d || !d->isActive())
        return;
    if (d->viewMode == ViewList || d->viewMode == ViewColumns)
        d->treeView->decreaseItemSize();
    else if (d->viewMode == ViewIcons)
        d->iconView->decreaseItemSize();
}

bool Filer::viewWheelEvent(QWheelEvent* event)
{
    if (!d || d->pages->currentWidget() != d->filesPage)
        return false;
    if (event->angleDelta().y() > 0)
        d->largerAction->trigger();
    else
        d->smallerAction->trigger();
    return true;
}

void Filer::filterHidden(bool show)
{
    if (d)
        d->proxy->setFilterHidden(show);
}

void Filer::filterMaxAge(int seconds)
{
    if (d)
        d->proxy->setFilterMaxAge(seconds);
}

void Filer::selectNextItem()
{
    if (!d || d->pages->currentWidget() != d->filesPage)
        return;
    const QModelIndex current = d->selectionModel->currentIndex();
    const QModelIndex next = current.sibling(current.row() + 1, current.column());
    if (next.isValid())
        d->selectionModel->setCurrentIndex(next, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void Filer::selectPreviousItem()
{
    if (!d || d->pages->currentWidget() != d->filesPage)
        return;
    const QModelIndex current = d->selectionModel->currentIndex();
    const QModelIndex previous = current.sibling(current.row() - 1, current.column());
    if (previous.isValid())
        d->selectionModel->setCurrentIndex(previous, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// ---- the breadcrumb ------------------------------------------------------------------

void Filer::adjustBreadCrumpHeight()
{
    if (!d || !d->topNavigation || !d->topNavigation->rootObject())
        return;
    QObject* root = d->topNavigation->rootObject();
    root->setProperty("width", width());
    bool ok = false;
    const int height = root->property("implicitHeight").toInt(&ok);
    if (ok && height > 32)
        d->topNavigation->setMinimumHeight(height);
}

void Filer::setButtons(int buttons)
{
    if (!d)
        return;
    d->buttons = buttons;
    d->setBreadCrumbProperty("showCreateNewWindowButton", bool(buttons & 1));
    d->setBreadCrumbProperty("showToggleNodeViewButton", bool(buttons & 2));
}

void Filer::onActiveFilerChanged()
{
    if (!d)
        return;
    const bool active = d->isActive();
    d->setBreadCrumbProperty("activeFiler", active);
    updateViewModeActions();
    if (active)
        adjustBreadCrumpHeight();
}

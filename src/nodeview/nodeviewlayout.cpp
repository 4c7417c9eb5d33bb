// The node view's relations between nodes, the node visitor, watched
// directories, the growth of sectors and the default nodes of a first start.

#include "core/databasetransaction.h"
#include "core/idatabase.h"
#include "core/logger.h"
#include "models/vfsdrivemodel.h"
#include "models/vfsmodel.h"
#include "nodeview/connectionsitem.h"
#include "nodeview/guinode.h"
#include "nodeview/noderelations.h"
#include "nodeview/nodeview.h"
#include "nodeview/nodeview_p.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QQuickItem>
#include <QStandardPaths>
#include <QTimer>
#include <QUuid>

namespace {
VfsModel* fileModelOf(IPeer* peer)
{
    return peer ? qobject_cast<VfsModel*>(peer->vfsFileSystemModel()) : nullptr;
}

VfsDriveModel* driveModelOf(IPeer* peer)
{
    return peer ? qobject_cast<VfsDriveModel*>(peer->vfsDriveModel()) : nullptr;
}

bool isWatchable(const QString& type)
{
    return type == QLatin1String("directory");
}
} // namespace

// ---------------------------------------------------------------- relations

namespace {
// Writes an item property only when its value changes: every write sets off
// the item's bindings.
void writeIfChanged(QQuickItem* item, const char* name, const QVariant& value)
{
    if (item->property(name) != value)
        item->setProperty(name, value);
}
} // namespace

void NodeViewPrivate::updateNodeRelations(SectorView& view)
{
    PeerModel* model = peerModel();
    QHash<QString, IPeer*> peers;
    auto peerOf = [&](const QString& uuid) -> IPeer* {
        auto it = peers.constFind(uuid);
        if (it != peers.constEnd())
            return *it;
        IPeer* peer = model ? model->getPeerForUuid(uuid) : nullptr;
        peers.insert(uuid, peer);
        return peer;
    };
    QVector<NodeRelations::Node> input;
    input.reserve(int(view.nodes.size()));
    for (GuiNode* node : view.nodes) {
        QQuickItem* item = node->item();
        IPeer* peer = peerOf(node->peerUuid());
        if (item && peer && !item->property("peer").value<QObject*>())
            item->setProperty("peer", QVariant::fromValue<IPeer*>(peer));
        input.push_back(NodeRelations::Node{ node->type(), node->peerUuid(), node->path(), peer != nullptr });
    }
    const QVector<NodeRelations::Relation> relations = NodeRelations::compute(input);
    for (int i = 0; i < relations.size(); ++i) {
        GuiNode* node = view.nodes[size_t(i)];
        const NodeRelations::Relation& r = relations.at(i);
        if (!r.placed)
            continue;
        if (ConnectionsItem* connector = node->connector())
            connector->markDirty();
        GuiNode* parent = r.parent >= 0 ? view.nodes[size_t(r.parent)] : nullptr;
        node->parentNode = parent;
        QQuickItem* item = node->item();
        if (!item)
            continue;
        writeIfChanged(item, "hasChildren", r.hasChildren);
        writeIfChanged(item, "indirect", r.indirect);
        QQuickItem* parentItem = parent ? parent->item() : nullptr;
        if (item->property("parentDir").value<QQuickItem*>() != parentItem || !item->property("parentDir").isValid())
            item->setProperty("parentDir", QVariant::fromValue<QQuickItem*>(parentItem));
        if (!parent) {
            if (IPeer* peer = peerOf(node->peerUuid())) {
                const QString display = peer->displayName();
                writeIfChanged(item, "peerName", display.isEmpty() ? peer->name() : display);
            }
        }
        writeIfChanged(item, "dirDepth", r.depth);
    }
}

void NodeViewPrivate::updateAllRelations()
{
    for (auto& view : views)
        updateNodeRelations(view);
}

void NodeView::onPeerModelChanged()
{
    d->updateAllRelations();
    PeerModel* model = NodeViewPrivate::peerModel();
    if (!model)
        return;
    for (int row = 0; row < model->rowCount(); ++row) {
        IPeer* peer = model->getPeerForRow(row);
        if (!peer)
            continue;
        disconnect(peer, &IPeer::nameChanged, this, &NodeView::onPeerNameChanged);
        connect(peer, &IPeer::nameChanged, this, &NodeView::onPeerNameChanged);
    }
}

void NodeView::onPeerNameChanged()
{
    d->updateAllRelations();
}

// ---------------------------------------------------------------- moves and growth

void NodeView::onNodeMoved()
{
    if (d->destroying)
        return;
    if (NodeViewPrivate::SectorView* view = d->currentView()) {
        if (GuiNode* node = d->nodeOfItem(*view, sender())) {
            if (ConnectionsItem* connector = node->connector())
                connector->markDirty();
            if (node->parentNode && node->parentNode->connector())
                node->parentNode->connector()->markDirty();
            node->restartTimer(d->db);
        }
    }
    d->rescaleCountdown = 2;
    if (d->rescaleTimer && !d->rescaleTimer->isActive())
        d->rescaleTimer->start();
}

void NodeView::rescaleViewTimerFired()
{
    if (d->rescaleCountdown <= 0)
        return;
    --d->rescaleCountdown;
    if (d->rescaleCountdown > 0) {
        d->rescaleTimer->start();
        return;
    }
    d->rescale();
}

void NodeViewPrivate::rescale()
{
    constexpr double kMargin = 2048;
    for (SectorView& view : views) {
        if (!view.page)
            continue;
        double minX = 999999, minY = 999999, maxX = 0, maxY = 0;
        bool any = false;
        for (GuiNode* node : view.nodes) {
            QQuickItem* item = node->item();
            if (!item)
                continue;
            any = true;
            minX = qMin(minX, item->x());
            minY = qMin(minY, item->y());
            maxX = qMax(maxX, item->x());
            maxY = qMax(maxY, item->y());
        }
        // An empty sector never grows.
        if (!any)
            continue;
        const double w = maxX - minX;
        const double h = maxY - minY;
        const double contentX = view.page->property("contentX").toDouble();
        const double contentY = view.page->property("contentY").toDouble();
        const double contentWidth = view.page->property("contentWidth").toDouble();
        const double contentHeight = view.page->property("contentHeight").toDouble();
        if (contentWidth >= w + kMargin && contentHeight >= h + kMargin)
            continue;
        const double dx = kMargin - minX;
        const double dy = kMargin - minY;
        view.page->setProperty("contentWidth", w + 2 * kMargin);
        view.page->setProperty("contentHeight", h + 2 * kMargin);
        view.page->setProperty("contentX", contentX + dx);
        view.page->setProperty("contentY", contentY + dy);
        for (GuiNode* node : view.nodes) {
            if (QQuickItem* item = node->item())
                item->setPosition(QPointF(item->x() + dx, item->y() + dy));
        }
    }
}

// ---------------------------------------------------------------- the visitor

void NodeView::visitorTimerFired()
{
    if (d->views.empty())
        return;
    NodeViewPrivate::SectorView& view = d->views[size_t(d->visitViewIndex % d->views.size())];
    if (d->visitNodeIndex < view.nodes.size()) {
        GuiNode* node = view.nodes[size_t(d->visitNodeIndex)];
        ++d->visitNodeIndex;
        d->visit(node);
    } else {
        d->visitNodeIndex = 0;
        d->visitViewIndex = (d->visitViewIndex + 1) % d->views.size();
    }
}

void NodeViewPrivate::visit(GuiNode* node)
{
    IPeer* peer = node->peer();
    if (!peer || peer->linkState() != IPeer::LinkUp || !isWatchable(node->type()))
        return;
    VfsModel* files = fileModelOf(peer);
    if (!files)
        return;
    if (node->fileId() != 0)
        files->startWatching(node->path(), node->fileId());
    const QModelIndex index = files->indexForPath(node->path());
    ++node->visitCount;
    node->lastVisit.restart();
    QQuickItem* item = node->item();
    if (!index.isValid()) {
        files->requestResolvePath(node->path());
        if (node->visitCount >= 2 && item)
            item->setProperty("reachable", false);
        return;
    }
    if (item && !item->property("reachable").toBool())
        item->setProperty("reachable", true);
    const quint64 fileId = index.data(VfsModel::IdRole).toULongLong();
    if (fileId != node->fileId()) {
        node->setFileId(fileId);
        // A new identity is worth storing now, not only at the next move.
        node->restartTimer(db);
    }
}

// ---------------------------------------------------------------- drives and watched directories

void NodeView::driveRowsInserted(const QModelIndex& parent, int first, int last)
{
    auto* drives = qobject_cast<QAbstractItemModel*>(sender());
    PeerModel* model = NodeViewPrivate::peerModel();
    if (!drives || !model || parent.isValid())
        return;
    // The drive model names its peer, or is the drive model of a peer.
    IPeer* peer = drives->objectName().isEmpty() ? nullptr : model->getPeerForUuid(drives->objectName());
    for (int row = 0; !peer && row < model->rowCount(); ++row) {
        IPeer* candidate = model->getPeerForRow(row);
        if (candidate && candidate->vfsDriveModel() == drives)
            peer = candidate;
    }
    if (peer)
        d->refreshDriveNodes(peer, drives, first, last);
}

void NodeViewPrivate::refreshDriveNodes(IPeer* peer, QAbstractItemModel* drives, int first, int last)
{
    const QString peerUuid = peer->uuid();
    std::vector<SectorView*> all;
    for (auto& view : views)
        all.push_back(&view);
    all.push_back(&rootView);
    // Every row of the batch, not only its first.
    for (int row = qMax(0, first); row <= last && row < drives->rowCount(); ++row) {
        const QModelIndex index = drives->index(row, 0);
        const QString drivePath = index.data(VfsDriveModel::PathRole).toString();
        if (drivePath.isEmpty())
            continue;
        const QString name = index.data(VfsDriveModel::NameRole).toString();
        const quint64 bytesTotal = index.data(VfsDriveModel::BytesTotalRole).toULongLong();
        const QString size = QLocale().formattedDataSize(qint64(bytesTotal), 0, QLocale::DataSizeSIFormat);
        const QString iconUrl = QStringLiteral("image://theme/") + index.data(VfsDriveModel::IconNameRole).toString();
        const QChar sep = NodeRelations::separatorOf(QStringLiteral("drive"), drivePath);
        const QStringList driveParts = NodeRelations::components(drivePath, sep.isNull() ? QLatin1Char('/') : sep);
        for (SectorView* view : all) {
            for (GuiNode* node : view->nodes) {
                QQuickItem* item = node->item();
                if (!item || node->peerUuid() != peerUuid)
                    continue;
                if (node->type() == QLatin1String("drive") && node->path() == drivePath) {
                    item->setProperty("name", name);
                    item->setProperty("totalSize", size);
                    item->setProperty("icon", iconUrl);
                } else if (node->type() == QLatin1String("directory") && !node->watching && node->fileId() != 0) {
                    const QStringList parts =
                        NodeRelations::components(node->path(), sep.isNull() ? QLatin1Char('/') : sep);
                    if (!NodeRelations::isAncestor(driveParts, parts))
                        continue;
                    if (VfsModel* files = fileModelOf(peer)) {
                        node->watching = true;
                        files->startWatching(node->path(), node->fileId());
                    }
                }
            }
        }
    }
}

void NodeView::onFoundWatchItem(const QString& path, qulonglong fileId, const QString& watchPath)
{
    auto* files = qobject_cast<VfsModel*>(sender());
    IPeer* peer = files ? files->peer() : nullptr;
    if (!peer)
        return;
    const QString peerUuid = peer->uuid();
    for (auto& view : d->views) {
        for (GuiNode* node : view.nodes) {
            if (node->peerUuid() != peerUuid || node->fileId() != fileId || node->path() != watchPath
                || !isWatchable(node->type()) || node->path() == path)
                continue;
            if (files->indexForPath(node->path()).isValid())
                continue; // still where it was
            const QModelIndex found = files->indexForPath(path);
            if (!found.isValid())
                continue;
            node->setPath(path);
            if (QQuickItem* item = node->item()) {
                item->setProperty("name", found.data(VfsModel::NameRole).toString());
                item->setProperty("path", path);
                item->setProperty("reachable", true);
            }
            node->restartTimer(d->db);
            d->updateNodeRelations(view);
            files->stopWatching(watchPath, fileId);
            files->startWatching(path, fileId);
        }
    }
}

// ---------------------------------------------------------------- first start

void NodeView::initDefaultNodes()
{
    if (d->destroying || d->views.empty())
        return;
    PeerModel* model = NodeViewPrivate::peerModel();
    IPeer* own = model ? model->getPeerForUuid(QUuid().toString()) : nullptr;
    VfsDriveModel* drives = driveModelOf(own);
    if (!own || own->linkState() != IPeer::LinkUp || own->name().isEmpty() || !drives || drives->rowCount() < 1) {
        QTimer::singleShot(DefaultNodesRetryMs, this, &NodeView::initDefaultNodes);
        return;
    }
    NodeViewPrivate::SectorView& first = d->views.front();
    const double cx = first.page ? first.page->property("contentX").toDouble() : 0;
    const double cy = first.page ? first.page->property("contentY").toDouble() : 0;
    QObject* source = d->styleSource();

    struct Place
    {
        QStandardPaths::StandardLocation location;
        const char* icon;
        double dx;
        double dy;
    };
    static const Place places[] = {
        { QStandardPaths::HomeLocation, "image://theme/icon/dev-local.svg", 280, 400 },
        { QStandardPaths::DownloadLocation, "", 350, 280 },
        { QStandardPaths::PicturesLocation, "", 420, 330 },
        { QStandardPaths::DocumentsLocation, "", 420, 400 },
        { QStandardPaths::MusicLocation, "", 420, 496 },
        { QStandardPaths::MoviesLocation, "", 300, 520 },
    };
    // Stored as soon as they stand, in one write: a run that is killed
    // before its orderly end keeps them.
    std::vector<GuiNode*> made;
    QStringList placed;
    for (const Place& place : places) {
        const QString path = QStandardPaths::writableLocation(place.location);
        if (path.isEmpty() || placed.contains(path) || !QFileInfo(path).isDir())
            continue;
        const int entries = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size();
        if (entries < 5)
            continue;
        placed << path;
        const QString name = place.location == QStandardPaths::HomeLocation ? QDir(path).dirName()
                                                                           : QStandardPaths::displayName(place.location);
        const VNodeDto row{ QUuid::createUuid().toString(),
                            QUuid().toString(),
                            first.uuid,
                            name,
                            QStringLiteral("node0"),
                            path,
                            QStringLiteral("directory"),
                            QLatin1String(place.icon),
                            0,
                            cx + place.dx,
                            cy + place.dy };
        if (GuiNode* node = d->createNode(&first, row, source))
            made.push_back(node);
    }
    // A peer that names no icon of its own gets its kind of machine's.
    QString iconName = own->icon();
    if (iconName.isEmpty())
        iconName = own->deviceType() == IPeer::DeviceLaptop ? QStringLiteral("laptop") : QStringLiteral("computer");
    //% "This PC"
    const VNodeDto pc{ QUuid::createUuid().toString(),
                       QUuid().toString(),
                       first.uuid,
                       qtTrId("label-this-pc"),
                       QStringLiteral("style0"),
                       QStringLiteral("%"),
                       QStringLiteral("peer"),
                       QStringLiteral("image://theme/icon/") + iconName + QStringLiteral(".svg"),
                       0,
                       cx + 100,
                       cy + 300 };
    if (GuiNode* node = d->createNode(&first, pc, source))
        made.push_back(node);
    d->updateNodeRelations(first);
    if (d->db && !made.empty()) {
        DatabaseTransaction transaction(d->db);
        for (GuiNode* node : made)
            node->save(d->db);
        if (transaction.isActive())
            transaction.commit();
    }
}

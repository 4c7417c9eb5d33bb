// Dropping peers, drives, directories and files onto a sector.

#include "core/logger.h"
#include "filer/filer.h"
#include "models/vfsdrivemodel.h"
#include "models/vfsmodel.h"
#include "nodeview/guinode.h"
#include "nodeview/nodeview.h"
#include "nodeview/nodeview_p.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QQuickItem>
#include <QUrl>
#include <QUuid>

namespace {
const char* const kPeerFormat = "application/velm-peer-uuid";
const char* const kBreadcrumbFormat = "application/velm-breadcrumb";
constexpr int kMaxDragText = 64 * 1024;

// The text of a drag format: UTF-8 up to the first NUL byte, bounded.
QString dragText(const QByteArray& bytes)
{
    QByteArray data = bytes.left(kMaxDragText);
    const int nul = data.indexOf('\0');
    if (nul >= 0)
        data.truncate(nul);
    return QString::fromUtf8(data);
}
} // namespace

QString NodeView::remotePathsFormat()
{
    // The file panes write it.
    return Filer::remotePathsFormat();
}

QString NodeView::firstRemotePath(const QByteArray& data)
{
    const QString text = dragText(data);
    for (const QStringRef& line : text.splitRef(QLatin1Char('\n'))) {
        const QString path = line.trimmed().toString();
        if (path.startsWith(QLatin1Char('/')) || (path.size() > 2 && path.at(1) == QLatin1Char(':')))
            return path;
    }
    return QString();
}

void NodeView::dragEnterEvent(QDragEnterEvent* event)
{
    d->dragPeerUuid.clear();
    d->dragPath.clear();
    const QMimeData* data = event->mimeData();
    if (!data)
        return;
    d->dragPeerUuid = data->hasFormat(QLatin1String(kPeerFormat))
        ? dragText(data->data(QLatin1String(kPeerFormat))).trimmed()
        : QUuid().toString();
    if (data->hasFormat(QLatin1String(kBreadcrumbFormat)))
        d->dragPath = dragText(data->data(QLatin1String(kBreadcrumbFormat)));
    if (d->dragPath.isEmpty() && data->hasFormat(remotePathsFormat()))
        d->dragPath = firstRemotePath(data->data(remotePathsFormat()));

    PeerModel* model = NodeViewPrivate::peerModel();
    IPeer* peer = model ? model->getPeerForUuid(d->dragPeerUuid) : nullptr;
    if (!peer) {
        d->dragPeerUuid.clear();
        d->dragPath.clear();
        return;
    }
    if (data->hasUrls()) {
        for (const QUrl& url : data->urls()) {
            if (!d->dragPath.isEmpty())
                break;
            if (!url.isLocalFile())
                continue;
            QString path = url.toLocalFile();
            if (path.size() > 2 && path.startsWith(QLatin1Char('/')) && path.at(2) == QLatin1Char(':'))
                path = path.mid(1);
            d->dragPath = path;
        }
    }
    if (!d->dragPath.isEmpty()) {
        if (auto* files = qobject_cast<VfsModel*>(peer->vfsFileSystemModel())) {
            const QModelIndex index = files->indexForPath(d->dragPath);
            if (!index.isValid()) {
                files->resolvePath(d->dragPath, true);
            } else {
                const QString path = index.data(VfsModel::PathRole).toString();
                if (!path.isEmpty())
                    d->dragPath = path;
            }
        }
    }
    event->acceptProposedAction();
}

void NodeView::dropEvent(QDropEvent* event)
{
    NodeViewPrivate::SectorView* view = d->currentView();
    PeerModel* model = NodeViewPrivate::peerModel();
    IPeer* peer = model && !d->dragPeerUuid.isEmpty() ? model->getPeerForUuid(d->dragPeerUuid) : nullptr;
    if (view && view->page && peer) {
        const QPoint p = event->pos();
        const double x = view->page->property("contentX").toDouble() + p.x();
        const double y = view->page->property("contentY").toDouble() + p.y();
        VNodeDto row;
        bool make = false;
        if (d->dragPath.isEmpty()) {
            bool present = false;
            for (GuiNode* node : view->nodes)
                present = present || (node->type() == QLatin1String("peer") && node->peerUuid() == d->dragPeerUuid);
            if (!present) {
                row = VNodeDto{ QUuid::createUuid().toString(),
                                d->dragPeerUuid,
                                view->uuid,
                                peer->name(),
                                QStringLiteral("style0"),
                                QStringLiteral("%"),
                                QStringLiteral("peer"),
                                QStringLiteral("image://theme/icon/") + peer->icon() + QStringLiteral(".svg"),
                                0,
                                x,
                                y };
                make = true;
            }
        } else {
            bool present = false;
            for (GuiNode* node : view->nodes)
                present = present || (node->peerUuid() == d->dragPeerUuid && node->path() == d->dragPath);
            auto* files = qobject_cast<VfsModel*>(peer->vfsFileSystemModel());
            const QModelIndex index = files && !present ? files->indexForPath(d->dragPath) : QModelIndex();
            if (index.isValid()) {
                const int type = index.data(VfsModel::TypeRole).toInt();
                QString name = index.data(VfsModel::NameRole).toString();
                QString style = QStringLiteral("style0");
                QString kind;
                QString icon;
                if (type == VfsModel::DriveType) {
                    auto* drives = qobject_cast<VfsDriveModel*>(peer->vfsDriveModel());
                    const QModelIndex drive = drives ? drives->indexForPath(d->dragPath) : QModelIndex();
                    if (drive.isValid()) {
                        name = drive.data(VfsDriveModel::NameRole).toString();
                        icon = QStringLiteral("image://theme/") + drive.data(VfsDriveModel::IconNameRole).toString();
                    }
                    style = QStringLiteral("drive0");
                    kind = QStringLiteral("drive");
                } else if (type == VfsModel::DirectoryType) {
                    kind = QStringLiteral("directory");
                } else if (type == VfsModel::FileType) {
                    kind = QStringLiteral("file");
                }
                if (!kind.isEmpty()) {
                    row = VNodeDto{ QUuid::createUuid().toString(), d->dragPeerUuid, view->uuid, name, style,
                                    d->dragPath, kind, icon, 0, x, y };
                    make = true;
                }
            } else if (!present) {
                Logger::log(Logger::NFO2, "drop of %s ignored: not loaded yet", qUtf8Printable(d->dragPath));
            }
        }
        if (make) {
            if (GuiNode* node = d->createNode(view, row, d->styleSource())) {
                node->restartTimer(d->db);
                d->updateNodeRelations(*view);
            }
        }
    }
    QQuickWidget::dropEvent(event);
}

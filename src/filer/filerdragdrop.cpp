#include "filer/filer.h"
#include "filer/filer_p.h"

#include "core/logger.h"
#include "models/vfsmodel.h"
#include "peer/ipeer.h"

#include <QDropEvent>
#include <QIcon>
#include <QMimeData>
#include <QUrl>

// Drags out of the views and drops onto them.

QPixmap Filer::createDragPixmap(const QModelIndexList& indexes) const
{
    for (const QModelIndex& index : indexes) {
        const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
        if (!icon.isNull())
            return icon.pixmap(48, 48);
    }
    return QPixmap();
}

QMimeData* Filer::createDragMimeData(const QModelIndexList& indexes) const
{
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const QModelIndex& index : indexes) {
        if (index.column() == 0)
            urls << QUrl::fromLocalFile(index.data(VfsModel::PathRole).toString());
    }
    mime->setUrls(urls);
    if (d && d->peer)
        mime->setData(QStringLiteral("application/velm-peer-uuid"), d->peer->uuid().toUtf8());
    return mime;
}

void Filer::handleDrop(QDropEvent* event, const QString& dropTargetPath)
{
    Logger::log(Logger::NFO2, "drop on %s", qUtf8Printable(dropTargetPath));
    event->acceptProposedAction();
}

void Filer::clearDropTargetPath(const QString& path)
{
    VfsModel* model = d ? d->model() : nullptr;
    if (!model || path.isEmpty())
        return;
    const QModelIndex index = model->indexForPath(path);
    if (!index.isValid())
        return;
    const int flags = index.data(VfsModel::FlagsRole).toInt();
    if (flags & VfsModel::DropTargetFlag)
        model->setData(index, flags & ~VfsModel::DropTargetFlag, VfsModel::FlagsRole);
}

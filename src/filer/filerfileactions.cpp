#include "filer/filer.h"
#include "filer/filer_p.h"

#include "models/vfsmodel.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "share/shareopener.h"

#include <QItemSelectionModel>

// The enabling of the file actions, the context menu and the commands that
// show or open the selection elsewhere.

void Filer::updateFileActions()
{
    if (!d || !d->isActive())
        return;
    QStringList paths;
    const QModelIndexList rows = d->selectionModel->selectedRows();
    for (const QModelIndex& index : rows)
        paths << index.data(VfsModel::PathRole).toString();
    emit selectionChanged(d->peer ? d->peer->uuid() : QString(), paths);
}

void Filer::onCustomContextMenuRequested(const QPoint& pos)
{
    emit contextMenuRequested(pos);
}

void Filer::onShowPropertiesActionTriggered()
{
    d->act(QStringLiteral("properties"));
}

void Filer::onShowInExplorerActionTriggered()
{
    d->act(QStringLiteral("reveal"));
}

void Filer::onEditPeerAcl(const QString& peerUuid, const QString& aclUuid)
{
    if (!d)
        return;
    // Opens nothing for a peer or share that has gone meanwhile.
    ShareOpener::editShare(d->engine, d->database, PeerModel::instance(), peerUuid, aclUuid, this);
}

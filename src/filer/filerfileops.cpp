#include "filer/filer.h"
#include "filer/filer_p.h"

#include "core/logger.h"
#include "jobs/vfscopyentry.h"
#include "jobs/vfsdeletejob.h"
#include "jobs/vfsmanager.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/ipeer.h"
#include "vfs/client/vfsclient.h"
#include "vfs/protocol/fsostatus.h"
#include "vfs/protocol/vfsentryname.h"

#include <QAbstractItemView>
#include <QDialogButtonBox>
#include <QIcon>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QMessageBox>
#include <QMutexLocker>
#include <QPushButton>
#include <QStatusBar>

#include <algorithm>
#include <memory>

// Trash, delete, new folder and rename.

namespace {

constexpr int kFailureTimeout = 10000;

// Why a request failed, from the reply's status byte.
QString reasonOf(quint8 status, quint32 existing)
{
    if (existing != 0 || status == FSO_STATUS_EXISTS) {
        //% "an item of that name exists already"
        return qtTrId("filer-reason-exists");
    }
    switch (status) {
    case FSO_STATUS_NOT_PERMITTED:
        //% "not permitted"
        return qtTrId("filer-reason-not-permitted");
    case FSO_STATUS_NOT_FOUND:
        //% "the item is not there any more"
        return qtTrId("filer-reason-not-found");
    case FSO_STATUS_NO_SPACE:
        //% "the disk is full"
        return qtTrId("filer-reason-no-space");
    case FSO_STATUS_TIMEOUT:
        //% "the machine did not answer in time"
        return qtTrId("filer-reason-timeout");
    case FSO_STATUS_CROSS_DEVICE:
        //% "it would have to move to another drive"
        return qtTrId("filer-reason-cross-device");
    default:
        //% "error %1"
        return qtTrId("filer-reason-error").arg(status);
    }
}

QChar separatorOf(const QAbstractItemModel* model)
{
    const auto* files = qobject_cast<const VfsModel*>(model);
    return files ? files->pathSeparator() : QLatin1Char('/');
}

// A path and a name joined with the peer's separator, without doubling it
// after a drive root ("/" or "C:\").
QString childPath(const QString& parent, QChar separator, const QString& name)
{
    return parent.endsWith(separator) ? parent + name : parent + separator + name;
}

// Loads a path that a request made into the model: its folder is listed
// again (no change notice may come for it), then the path is resolved.
void loadNewPath(VfsModel* model, const QString& path)
{
    const QChar separator = model->pathSeparator();
    const int cut = path.lastIndexOf(separator);
    if (cut >= 0) {
        const QModelIndex parent = model->indexForPath(cut == 0 ? path.left(1) : path.left(cut));
        if (parent.isValid() && !model->isBusy(parent))
            model->fetchMore(parent);
    }
    model->resolvePath(path, true);
}

} // namespace

// ---- names -------------------------------------------------------------------------

QString Filer::refusedNameReason(const QString& name, QChar separator)
{
    if (name.isEmpty()) {
        //% "A name is needed."
        return qtTrId("filer-name-empty");
    }
    if (name == QLatin1String(".") || name == QLatin1String("..")) {
        //% "“%1” cannot be used as a name."
        return qtTrId("filer-name-reserved").arg(name);
    }
    // The file model takes both slashes for separators and drops entries
    // named with either, whatever the peer's own separator is.
    if (name.contains(separator) || !isSafeEntryName(name.toUtf8())) {
        //% "A name cannot hold “/”, “\\” or a NUL character."
        return qtTrId("filer-name-separator");
    }
    return QString();
}

int Filer::pendingRequests() const
{
    return d ? d->requests->count() : 0;
}

// ---- trash and delete ----------------------------------------------------------

VfsDeleteJob* FilerPrivate::newDeleteJob(quint32 flags)
{
    if (!peer || !selectionModel || !proxy)
        return nullptr;
    std::vector<VfsDeleteItem> items;
    for (const QModelIndex& index : selectionModel->selectedIndexes()) {
        if (index.column() != 0)
            continue;
        const QModelIndex source = proxy->mapToSource(index);
        VfsDeleteItem item;
        item.unused = source.data(VfsModel::NameRole).toString();
        item.path = source.data(VfsModel::PathRole).toString();
        item.size = source.data(VfsModel::SizeRole).toULongLong();
        item.type = quint64(source.data(VfsModel::TypeRole).toInt());
        if (!item.path.isEmpty())
            items.push_back(item);
    }
    if (items.empty())
        return nullptr;
    // The job works from the back of its list: reversed, it goes through
    // the items in the order they were selected.
    std::reverse(items.begin(), items.end());
    auto* job = new VfsDeleteJob(vfsManager);
    job->setPeer(peer);
    job->setFlags(flags);
    job->setItems(items);
    QObject::connect(job, &VfsJob::jobFinished, q, &Filer::onDeleteJobFinished);
    QObject::connect(job, &VfsJob::jobAborted, q, &Filer::onDeleteJobAborted);
    QObject::connect(job, &VfsJob::jobUpdated, q, &Filer::onDeleteJobUpdated);
    return job;
}

void FilerPrivate::askDelete(VfsDeleteJob* job, const QString& text, const std::function<void(bool)>& answer)
{
    auto* box = new QMessageBox(q);
    box->setObjectName(QStringLiteral("confirmDeleteBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIcon(QMessageBox::Question);
    //% "Confirm deletion"
    box->setWindowTitle(qtTrId("dlg-confirm-delete-title"));
    box->setStyleSheet(QStringLiteral("QLabel{width: 400px; padding: 16px 0;}"));
    // Names come from peers: never rich text.
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    //% "Cancel"
    QPushButton* cancel = box->addButton(qtTrId("btn-cancel"), QMessageBox::NoRole);
    //% "Delete"
    QPushButton* confirm = box->addButton(qtTrId("btn-delete"), QMessageBox::YesRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    confirm->setObjectName(QStringLiteral("deleteButton"));
    box->setDefaultButton(confirm);
    box->setEscapeButton(cancel);
    QPointer<VfsDeleteJob> alive(job);
    QObject::connect(box, &QMessageBox::finished, q, [box, confirm, alive, answer](int) {
        if (alive)
            answer(box->clickedButton() == confirm);
    });
    box->open();
}

void Filer::onTrashActionTriggered()
{
    if (!d->act(QStringLiteral("trash")) || !d->peer || !d->selectionModel)
        return;
    if (!hasFocus()) {
        Logger::log(Logger::NFO1, "Dismiss trash action, no focus");
        return;
    }
    VfsDeleteJob* job = d->newDeleteJob(VfsDeleteJob::FlagTrash | 0x02);
    if (!job)
        return;
    connect(job, &VfsDeleteJob::trashFailedAskDelete, this, &Filer::onDeleteJobUpdatedTrashFailedAskDelete);
    d->vfsManager->addJob(job);
    job->start();
}

void Filer::onDeleteActionTriggered()
{
    if (!d->act(QStringLiteral("delete")) || !d->peer || !d->selectionModel)
        return;
    if (!hasFocus()) {
        Logger::log(Logger::NFO1, "Dismiss delete action, no focus");
        return;
    }
    VfsDeleteJob* job = d->newDeleteJob(0x02);
    if (!job)
        return;
    const std::vector<VfsDeleteItem>& items = job->items();
    QString text;
    if (items.size() > 1) {
        //% "Do you really want to delete these %n items permanently?"
        text = qtTrId("dlg-confirm-delete-q-items", int(items.size()));
    } else if (items.front().type == quint64(VfsCopyEntry::TypeDirectory)) {
        //% "Do you really want to delete the folder “%1” permanently?"
        text = qtTrId("dlg-confirm-delete-q-folder").arg(items.front().unused);
    } else {
        //% "Do you really want to delete “%1” permanently?"
        text = qtTrId("dlg-confirm-delete-q-item").arg(items.front().unused);
    }
    QPointer<VfsManager> manager(d->vfsManager);
    d->askDelete(job, text, [job, manager](bool confirmed) {
        if (!confirmed || !manager) {
            job->deleteLater();
            return;
        }
        manager->addJob(job);
        job->start();
    });
}

void Filer::onDeleteJobUpdatedTrashFailedAskDelete()
{
    auto* job = qobject_cast<VfsDeleteJob*>(sender());
    if (!job || job->remainingItems().empty())
        return;
    // The job stopped at the item the peer could not trash; what follows it
    // would now be deleted permanently as well.
    const std::vector<VfsDeleteItem>& remaining = job->remainingItems();
    //% "“%1” cannot be moved to the trash. Do you want to delete %n item(s) permanently, beginning with it?"
    const QString text = qtTrId("dlg-trash-failed-q", int(remaining.size())).arg(remaining.back().unused);
    d->askDelete(job, text, [job](bool confirmed) {
        if (confirmed)
            job->setFlags(job->flags() & ~quint32(VfsDeleteJob::FlagTrash));
        else
            job->abort();
        job->process(VfsJob::ActionStep);
    });
}

void Filer::onDeleteJobFinished()
{
    auto* job = qobject_cast<VfsDeleteJob*>(sender());
    if (!job)
        return;
    VfsModel* model = d->model();
    if (model && !job->items().empty()) {
        const QModelIndex index = model->indexForPath(job->items().back().path);
        if (index.isValid())
            model->fetchMore(index.parent());
    }
    if (d->statusBar)
        d->statusBar->clearMessage();
    job->deleteLater();
}

void Filer::onDeleteJobAborted()
{
    auto* job = qobject_cast<VfsDeleteJob*>(sender());
    if (!job)
        return;
    const std::vector<VfsDeleteItem>& remaining = job->remainingItems();
    if (!remaining.empty()) {
        const QString name = remaining.back().unused;
        if (job->flags() & VfsDeleteJob::FlagTrash) {
            //% "Failed to put %1 in the trash."
            showStatusMessage(qtTrId("msg-trash-failed1").arg(name), kFailureTimeout);
        } else {
            //% "Failed to delete %1."
            showStatusMessage(qtTrId("msg-delete-failed1").arg(name), kFailureTimeout);
        }
    }
    // What went before the failure is gone: the listing shows it.
    if (VfsModel* model = d->model()) {
        const QModelIndex index = model->indexForPath(job->items().back().path);
        if (index.isValid())
            model->fetchMore(index.parent());
    }
    job->deleteLater();
}

void Filer::onDeleteJobUpdated()
{
    auto* job = qobject_cast<VfsDeleteJob*>(sender());
    if (!job || job->items().size() < 2)
        return;
    const int total = int(job->items().size());
    const int done = total - int(job->remainingItems().size());
    //% "%1 of %2"
    showStatusMessage(qtTrId("filer-status-delete-progress").arg(done).arg(total), 0);
}

// ---- new folder --------------------------------------------------------------------

QString FilerPrivate::newFolderParent() const
{
    if (!proxy || !selectionModel || !currentView)
        return QString();
    const QModelIndexList selected = selectionModel->selectedIndexes();
    if (!selected.isEmpty()) {
        const QModelIndex parent = proxy->mapToSource(selected.first()).parent();
        if (!parent.isValid()) {
            Logger::log(Logger::NFO1, "abort create new folder (2)");
            return QString();
        }
        return parent.data(VfsModel::PathRole).toString();
    }
    const QModelIndex root = proxy->mapToSource(currentView->rootIndex());
    if (!root.isValid()) {
        Logger::log(Logger::NFO1, "abort create new folder (3)");
        return QString();
    }
    return root.data(VfsModel::PathRole).toString();
}

void Filer::onNewFolderActionTriggered()
{
    if (!d->act(QStringLiteral("new-folder")) || !d->peer || !d->selectionModel)
        return;
    // Where it goes is what the user saw when asking.
    const QString parent = d->newFolderParent();
    if (parent.isEmpty())
        return;
    QPointer<IPeer> peer(d->peer);

    auto* dialog = new QInputDialog(this, Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dialog->setObjectName(QStringLiteral("newFolderDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setStyleSheet(QStringLiteral("QLabel {min-width: 280px;}"));
    //% "Create new folder"
    dialog->setWindowTitle(qtTrId("title-create-new-folder"));
    //% "Folder name"
    dialog->setLabelText(qtTrId("label-new-folder-name"));
    //% "New Folder"
    dialog->setTextValue(qtTrId("default-new-folder-name"));
    //% "Create"
    dialog->setOkButtonText(qtTrId("btn-create"));
    dialog->setCancelButtonText(qtTrId("btn-cancel"));
    for (QDialogButtonBox* box : dialog->findChildren<QDialogButtonBox*>()) {
        for (QAbstractButton* button : box->buttons())
            button->setIcon(QIcon());
    }
    connect(dialog, &QInputDialog::textValueSelected, this, [this, peer, parent](const QString& name) {
        VfsModel* model = d->model();
        if (!peer || peer != d->peer || !model || !peer->vfsClient())
            return;
        const QString refused = refusedNameReason(name, model->pathSeparator());
        if (!refused.isEmpty()) {
            Logger::log(Logger::NFO1, "abort create new folder (1)");
            showStatusMessage(refused, kFailureTimeout);
            return;
        }
        auto* job = new VfsMakeDirectoryJob;
        job->path = childPath(parent, model->pathSeparator(), name);
        d->requests->send(peer->vfsClient(), job);
    });
    dialog->open();
}

void FilerPrivate::showRequestFailure(const QString& what, quint8 status, quint32 existing)
{
    q->showStatusMessage(what.arg(reasonOf(status, existing)), kFailureTimeout);
}

void Filer::onVfsMakeDirectoryJobUpdate(VfsMakeDirectoryJob* job)
{
    if (!d->requests->take(job))
        return; // not ours
    std::unique_ptr<VfsMakeDirectoryJob> record(job);
    const bool made = job->jobStatus == VfsClientJob::JobFinished && job->status == FSO_STATUS_OK
                      && job->existing == 0;
    if (!made) {
        Logger::log(Logger::ERR1, "Failed to create directory %s (status %u)", qUtf8Printable(job->path),
                    unsigned(job->status));
        //% "Failed to create folder: %1"
        d->showRequestFailure(qtTrId("filer-status-mkdir-failed"), job->status, job->existing);
        return;
    }
    if (VfsModel* model = d->model())
        loadNewPath(model, job->path);
}

// ---- rename ------------------------------------------------------------------------

void Filer::onRenameActionTriggered()
{
    if (!d->act(QStringLiteral("rename")) || !d->peer || !d->selectionModel || !d->currentView)
        return;
    for (const QModelIndex& index : d->selectionModel->selectedIndexes()) {
        const QModelIndex source = d->proxy->mapToSource(index);
        if (source.isValid() && source.column() == 0 && !source.data(VfsModel::PathRole).toString().isEmpty()) {
            d->currentView->setCurrentIndex(index);
            d->currentView->edit(index);
            return;
        }
    }
}

void Filer::onRenameEditDone(const QModelIndex& index, const QString& name)
{
    if (!d->peer || !index.isValid() || !index.model() || !d->currentView || !d->proxy)
        return;
    // The model tells every Filer on the peer; only the one whose editor
    // committed renames.
    const QModelIndex shown = d->proxy->mapFromSource(index);
    if (!shown.isValid() || !d->currentView->indexWidget(shown))
        return;
    const QChar separator = separatorOf(index.model());
    const QString refused = refusedNameReason(name, separator);
    if (!refused.isEmpty()) {
        showStatusMessage(refused, kFailureTimeout);
        return;
    }
    const QString oldPath = index.data(VfsModel::PathRole).toString();
    const QString parent = index.parent().data(VfsModel::PathRole).toString();
    if (oldPath.isEmpty() || parent.isEmpty())
        return;
    const QString newPath = childPath(parent, separator, name);
    if (newPath == oldPath || !d->peer->vfsClient())
        return;
    auto* job = new VfsMoveJob;
    job->flags = VfsMoveJob::RefuseCrossDevice | VfsMoveJob::RefuseExisting;
    job->sourcePath = oldPath;
    job->destinationPath = newPath;
    d->requests->send(d->peer->vfsClient(), job);
}

void Filer::onVfsMoveJobUpdate(VfsMoveJob* job)
{
    if (!d->requests->take(job))
        return; // not ours
    std::unique_ptr<VfsMoveJob> record(job);
    quint32 jobStatus;
    quint8 status;
    QString source;
    QString destination;
    {
        QMutexLocker lock(&job->mutex);
        jobStatus = job->jobStatus;
        status = job->status;
        source = job->sourcePath;
        destination = job->destinationPath;
    }
    if (jobStatus != VfsClientJob::JobFinished || status != FSO_STATUS_OK) {
        Logger::log(Logger::ERR1, "failed to rename %s (status %u)", qUtf8Printable(source), unsigned(status));
        //% "Failed to rename: %1"
        d->showRequestFailure(qtTrId("filer-status-rename-failed"), status, 0);
        return;
    }
    if (VfsModel* model = d->model())
        loadNewPath(model, destination);
}

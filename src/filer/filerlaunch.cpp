#include "filer/filer.h"
#include "filer/filer_p.h"

#include "archive/dialog/extractdialog.h"
#include "archive/p7zip.h"
#include "core/logger.h"
#include "desktop/applauncher.h"
#include "filer/sharedactions.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/ipeer.h"
#include "peer/peervelm.h"

#include <QAbstractItemView>
#include <QAction>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QStackedWidget>
#include <QTimer>

// Opening files with applications (after their copy when they live on
// another machine), extracting archives and the preview of the selection.

namespace {
constexpr int kStatusMs = 10000;
// The file model lists what an extraction made a moment later.
constexpr int kSelectExtractedDelayMs = 200;

bool isFolderType(const QModelIndex& index)
{
    const int type = index.data(VfsModel::TypeRole).toInt();
    return type == VfsModel::DriveType || type == VfsModel::DirectoryType;
}
} // namespace

// ---- FilerPrivate ------------------------------------------------------------

QString FilerPrivate::singleSelectedFile() const
{
    if (!selectionModel || !peer)
        return QString();
    const QModelIndexList rows = selectionModel->selectedRows();
    if (rows.size() != 1 || isFolderType(rows.first()))
        return QString();
    return rows.first().data(VfsModel::PathRole).toString();
}

void FilerPrivate::selectWhenListed(const QString& path)
{
    pendingSelection = path;
    pendingSelectionDirectory = q->path();
    onRowsListed();
}

void FilerPrivate::onRowsListed()
{
    if (pendingSelection.isEmpty())
        return;
    // The user went elsewhere meanwhile: what came out is no longer in view.
    if (q->path() != pendingSelectionDirectory) {
        pendingSelection.clear();
        return;
    }
    VfsModel* source = model();
    if (!source || !proxy || !proxy->mapFromSource(source->indexForPath(pendingSelection)).isValid())
        return;
    const QString path = pendingSelection;
    pendingSelection.clear();
    q->setCurrentIndexToPath(path);
}

// ---- launching -----------------------------------------------------------------

void Filer::openWithDefaultApplication(const QString& path)
{
    if (!d || !d->peer || path.isEmpty())
        return;
    AppLauncher* launcher = AppLauncher::current();
    if (!launcher) {
        Logger::log(Logger::ERR1, "no application launcher for %s", qUtf8Printable(path));
        return;
    }
    // The launcher selects the file itself (of this Filer's peer) and opens
    // it with the first application for its type; a file of another machine
    // comes back through its deferred launch.
    launcher->launchDefault(d->peer->uuid(), path);
    if (launcher->rowCount() == 0) {
        Logger::log(Logger::NFO1, "no application for %s", qUtf8Printable(path));
        //% "No application to open %1"
        showStatusMessage(qtTrId("launcher-no-application").arg(QFileInfo(path).fileName()), kStatusMs);
    }
}

void Filer::onLaunchFailed(const QString& message)
{
    if (d && d->isActive())
        showStatusMessage(message, kStatusMs);
}

// ---- extract -------------------------------------------------------------------

void Filer::onExtractActionTriggered()
{
    if (!d->act(QStringLiteral("extract")))
        return;
    // Only an archive of this machine: the path of another peer's file names
    // nothing here.
    if (!d->peer || d->peer->uuid() != ownPeerUuid())
        return;
    const QString archive = d->singleSelectedFile();
    if (archive.isEmpty() || !P7Zip::isAvailable(archive))
        return;
    const QString name = QFileInfo(archive).fileName();
    Logger::log(Logger::NFO1, "extract %s", qUtf8Printable(archive));
    P7Zip* zip = ExtractDialog::startExtraction(archive, this);
    if (!zip) {
        //% "Extraction of %1 failed"
        const QString message = qtTrId("archive-extract-failed").arg(name);
        showStatusMessage(message, kStatusMs);
        emit extractionFailed(message);
        return;
    }
    connect(zip, &P7Zip::extractionFailed, this, [this](const QString& message) {
        showStatusMessage(message, kStatusMs);
        emit extractionFailed(message);
    });
    connect(zip, &P7Zip::extracted, this, [this](const QString& path) {
        if (path.isEmpty())
            return;
        Logger::log(Logger::NFO1, "extracted %s", qUtf8Printable(path));
        VfsModel* model = d->model();
        const QModelIndex shown = d->sourceRoot();
        if (model && shown.isValid())
            model->fetchMore(shown);
        QTimer::singleShot(kSelectExtractedDelayMs, this, [this, path] { d->selectWhenListed(path); });
        emit extractionFinished(path);
    });
    if (!d->rowsListedHooked) {
        d->rowsListedHooked = true;
        connect(d->proxy, &QAbstractItemModel::rowsInserted, this, [this] { d->onRowsListed(); });
    }
}

// ---- preview -------------------------------------------------------------------

void Filer::requestPreviewOfSelection()
{
    if (!d || !d->peer || !d->currentView || d->pages->currentWidget() != d->filesPage)
        return;
    // The preview action has taken the key already.
    if (SharedActions::preview && SharedActions::preview->isEnabled())
        return;
    const QString path = d->singleSelectedFile();
    if (!path.isEmpty())
        emit previewRequest(d->peer->uuid(), path);
}

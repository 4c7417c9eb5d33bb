#include "filer/filer.h"
#include "filer/filer_p.h"

#include "core/logger.h"
#include "jobs/vfscopydto.h"
#include "jobs/vfsmanager.h"
#include "models/vfsmodel.h"
#include "models/vfssortfilterproxymodel.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QCursor>
#include <QDrag>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QImageWriter>
#include <QMenu>
#include <QMimeData>
#include <QMimeDatabase>
#include <QPainter>
#include <QStatusBar>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <memory>

// Drags out of the views and drops onto them.

namespace {

constexpr int kUnsupportedTimeout = 5000;
constexpr int kFailureTimeout = 10000;
// How many "name (n).ext" a dropped image tries before it gives up.
constexpr int kMaxNameTries = 1000;

QString unsupportedText()
{
    //% "Unsupported operation"
    return qtTrId("filer-status-unsupop");
}

// The text of a drag format: UTF-8 up to the first NUL byte.
QString formatText(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul >= 0 ? bytes.left(nul) : bytes);
}

VfsCopyEntry copyEntryOf(const QModelIndex& index)
{
    VfsCopyEntry entry;
    entry.path = index.data(VfsModel::PathRole).toString();
    entry.size = index.data(VfsModel::SizeRole).toULongLong();
    entry.atime = index.data(VfsModel::AtimeRole).toDateTime().toMSecsSinceEpoch();
    entry.ctime = index.data(VfsModel::CtimeRole).toDateTime().toMSecsSinceEpoch();
    entry.mtime = index.data(VfsModel::MtimeRole).toDateTime().toMSecsSinceEpoch();
    entry.type = index.data(VfsModel::TypeRole).toInt();
    return entry;
}

// Whether target is item itself or lies inside it, by whole path components.
bool isSameOrInside(const QString& target, const QString& item, QChar separator)
{
    if (target == item)
        return true;
    const QString prefix = item.endsWith(separator) ? item : item + separator;
    return target.startsWith(prefix);
}

// The paths a drop names on its source peer: file URLs from this machine,
// the private list from another one. Empty when the data holds none or
// more than a drag may carry.
QStringList droppedPaths(const QMimeData* data, bool fromOwnPeer)
{
    QStringList paths;
    if (!fromOwnPeer) {
        const QByteArray bytes = data->data(Filer::remotePathsFormat());
        if (bytes.size() > Filer::MaxRemotePathsBytes)
            return paths;
        for (const QString& line : formatText(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (line != QLatin1String("\r"))
                paths << line;
        }
        return paths;
    }
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile())
            continue;
        QString path = url.toLocalFile();
        if (path.size() > 2 && path.startsWith(QLatin1Char('/')) && path.at(2) == QLatin1Char(':'))
            path = path.mid(1);
        if (!path.isEmpty())
            paths << path;
    }
    return paths;
}

} // namespace

QString Filer::peerUuidFormat()
{
    return QStringLiteral("application/velm-peer-uuid");
}

QString Filer::remotePathsFormat()
{
    return QStringLiteral("application/velm-remote-paths");
}

bool Filer::acceptsDrag(const QMimeData* data)
{
    return data && (data->hasUrls() || data->hasFormat(remotePathsFormat()));
}

// ---- dragging ------------------------------------------------------------------------

QPixmap Filer::createDragPixmap(const QModelIndexList& indexes) const
{
    QStringList names;
    for (const QModelIndex& index : indexes) {
        if (index.column() == 0)
            names << index.data(VfsModel::NameRole).toString();
    }
    QString text;
    QIcon icon;
    if (names.size() != 1) {
        //% "%1 items"
        text = qtTrId("dnd-pixmap-nitems").arg(names.size());
    } else {
        text = names.first();
        for (const QModelIndex& index : indexes) {
            if (index.column() == 0) {
                icon = index.data(Qt::DecorationRole).value<QIcon>();
                break;
            }
        }
    }
    const QSize size = QFontMetrics(font()).size(Qt::TextSingleLine, text);
    const int w = size.width();
    const int h = size.height();
    const bool withIcon = !icon.isNull();
    QImage image(w + 8 + (withIcon ? 48 : 0), h + 8, QImage::Format_ARGB32_Premultiplied);
    image.fill(0);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawRoundedRect(QRectF(0.5, 0.5, image.width() - 1, image.height() - 1), 15, 15, Qt::RelativeSize);
    QFont textFont;
    textFont.setStyleStrategy(QFont::ForceOutline);
    painter.setFont(textFont);
    painter.setPen(palette().color(QPalette::Text));
    if (!withIcon) {
        painter.drawText(QRect(4, 4, w, h), Qt::AlignCenter, text);
    } else {
        painter.drawText(QRect(h + 4, 4, w + 48, h), Qt::AlignCenter, text);
        painter.drawPixmap(QRect(1, 1, h + 7, h + 7), icon.pixmap(64, 64, QIcon::Normal, QIcon::Off));
    }
    painter.end();
    return QPixmap::fromImage(image);
}

QMimeData* Filer::createDragMimeData(const QModelIndexList& indexes) const
{
    if (!d || !d->peer || !d->currentView || !d->proxy || d->peer->uuid().isEmpty())
        return nullptr;
    QStringList paths;
    for (const QModelIndex& index : indexes) {
        if (index.column() != 0)
            continue;
        const QString path = index.data(VfsModel::PathRole).toString();
        if (!path.isEmpty())
            paths << path;
    }
    if (paths.isEmpty())
        return nullptr;
    auto* mime = new QMimeData;
    if (d->peer->uuid() == ownPeerUuid()) {
        QList<QUrl> urls;
        for (const QString& path : paths)
            urls << QUrl::fromLocalFile(path);
        mime->setUrls(urls);
        return mime;
    }
    // Another machine's paths are no files of this one: they travel only
    // in the private format, one per line.
    QByteArray lines;
    for (const QString& path : paths) {
        const QByteArray bytes = path.toUtf8();
        if (bytes.contains('\n') || bytes.contains('\r') || bytes.contains('\0')
            || lines.size() + bytes.size() + 1 > MaxRemotePathsBytes) {
            delete mime;
            //% "These items cannot be dragged: there are too many, or a name holds a line break."
            if (d->statusBar)
                d->statusBar->showMessage(qtTrId("filer-status-drag-refused"), kFailureTimeout);
            return nullptr;
        }
        lines += bytes;
        lines += '\n';
    }
    mime->setData(peerUuidFormat(), d->peer->uuid().toLatin1());
    mime->setData(remotePathsFormat(), lines);
    return mime;
}

bool Filer::startFileDrag(QAbstractItemView* view, const QModelIndexList& indexes, const std::function<void()>& ended)
{
    if (!view || indexes.isEmpty())
        return false;
    QMimeData* mime = createDragMimeData(indexes);
    if (!mime)
        return false;
    auto* drag = new QDrag(view);
    drag->setPixmap(createDragPixmap(indexes));
    drag->setMimeData(mime);
    Logger::log(Logger::NFO2, "drag starts mime: %p", static_cast<void*>(mime));
    if (ended)
        connect(drag, &QObject::destroyed, view, ended);
    drag->exec(Qt::CopyAction);
    return true;
}

// ---- dropping ------------------------------------------------------------------------

void FilerPrivate::clearDropMark(const QString& path)
{
    q->clearDropTargetPath(path);
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

void Filer::handleDrop(QDropEvent* event, const QString& dropTargetPath)
{
    VfsModel* model = d->model();
    const QMimeData* data = event ? event->mimeData() : nullptr;
    if (!model || !data)
        return;
    const QModelIndex target = model->indexForPath(dropTargetPath);
    if (!target.isValid())
        return;
    event->acceptProposedAction();

    const QString own = ownPeerUuid();
    QString srcPeerUuid = data->hasFormat(peerUuidFormat())
                              ? formatText(data->data(peerUuidFormat()).left(256)).trimmed()
                              : own;
    const QString dstPeerUuid = d->peer->uuid();
    PeerModel* peers = PeerModel::instance();
    IPeer* source = peers ? peers->getPeerForUuid(srcPeerUuid) : nullptr;
    if (!source) {
        Logger::log(Logger::NFO1, "reject drag, unknown source peer uuid %s", qUtf8Printable(srcPeerUuid));
        d->clearDropMark(dropTargetPath);
        return;
    }
    const int type = target.data(VfsModel::TypeRole).toInt();
    if (type != VfsModel::DriveType && type != VfsModel::DirectoryType) {
        Logger::log(Logger::DBG1, "skip drop action invalid drop target type %d", type);
        d->clearDropMark(dropTargetPath);
        return;
    }
    VfsCopyDto request;
    request.id = QUuid::createUuid().toString();
    request.srcPeerUuid = srcPeerUuid;
    request.dstPeerUuid = dstPeerUuid;
    request.dstPath = target.data(VfsModel::PathRole).toString();
    if (request.dstPath.isEmpty()) {
        d->clearDropMark(dropTargetPath);
        return;
    }

    const bool samePeer = srcPeerUuid == dstPeerUuid;
    auto* sourceModel = qobject_cast<VfsModel*>(source->vfsFileSystemModel());
    const QChar separator = sourceModel ? sourceModel->pathSeparator() : QLatin1Char('/');
    for (const QString& path : droppedPaths(data, srcPeerUuid == own)) {
        const QModelIndex item = sourceModel ? sourceModel->indexForPath(path) : QModelIndex();
        if (!item.isValid()) {
            Logger::log(Logger::ERR1, "not fetched: %s", qUtf8Printable(path));
            continue;
        }
        const QString itemPath = item.data(VfsModel::PathRole).toString();
        if (itemPath.isEmpty())
            continue;
        if (samePeer) {
            // Into the folder that holds it: nothing to do. Onto itself or
            // into its own tree: it would go into itself.
            if (item.parent().data(VfsModel::PathRole).toString() == request.dstPath
                || isSameOrInside(request.dstPath, itemPath, separator)) {
                Logger::log(Logger::NFO1, "drop skips %s", qUtf8Printable(itemPath));
                continue;
            }
        }
        request.entries.push_back(copyEntryOf(item));
    }

    if (!request.entries.empty()) {
        auto* menu = new QMenu(this);
        menu->setObjectName(QStringLiteral("dropMenu"));
        //% "Move here"
        QAction* moveHere = menu->addAction(qtTrId("action-move-here"));
        moveHere->setObjectName(QStringLiteral("moveHere"));
        moveHere->setEnabled(samePeer);
        //% "Copy here"
        QAction* copyHere = menu->addAction(qtTrId("action-copy-here"));
        copyHere->setObjectName(QStringLiteral("copyHere"));
        auto chosen = std::make_shared<bool>(false);
        QPointer<VfsManager> manager(d->transfers());
        connect(moveHere, &QAction::triggered, this, [chosen, manager, request] {
            *chosen = true;
            VfsCopyDto move = request;
            move.move = 1;
            if (manager)
                manager->move(move);
        });
        connect(copyHere, &QAction::triggered, this, [chosen, manager, request] {
            *chosen = true;
            if (manager)
                manager->copy(request);
        });
        // The menu hides before the chosen action triggers: look once both
        // have happened.
        connect(menu, &QMenu::aboutToHide, this, [this, menu, chosen] {
            QTimer::singleShot(0, this, [this, menu, chosen] {
                if (!*chosen)
                    showStatusMessage(unsupportedText(), kUnsupportedTimeout);
                menu->deleteLater();
            });
        });
        d->clearDropMark(dropTargetPath);
        menu->popup(QCursor::pos());
        return;
    }

    // No known items: the drop may carry data for this machine.
    bool handled = false;
    const QList<QUrl> urls = data->urls();
    if (dstPeerUuid == own && !urls.isEmpty()) {
        const QUrl url = urls.first();
        const QString fileName = url.fileName(QUrl::FullyDecoded);
        if (url.scheme().startsWith(QLatin1String("http"))) {
            Logger::log(Logger::NFO1, "downloading not supported yet for: %s", qUtf8Printable(url.toString()));
        } else if (!refusedNameReason(fileName, model->pathSeparator()).isEmpty()) {
            Logger::log(Logger::NFO1, "drop of data with an unusable name");
        } else {
            QImage image;
            QByteArray format;
            QString name = fileName;
            if (data->hasImage()) {
                image = qvariant_cast<QImage>(data->imageData());
                format = QFileInfo(name).suffix().toLatin1().toLower();
                if (!QImageWriter::supportedImageFormats().contains(format)) {
                    format = "png";
                    name += QStringLiteral(".png");
                }
            } else if (data->hasFormat(QStringLiteral("application/octet-stream"))) {
                const QByteArray bytes = data->data(QStringLiteral("application/octet-stream"));
                const QMimeType mimeType = QMimeDatabase().mimeTypeForData(bytes);
                if (mimeType.name().startsWith(QLatin1String("image/"))) {
                    image = QImage::fromData(bytes);
                    const QString suffix = mimeType.preferredSuffix();
                    format = suffix.toLatin1();
                    if (!name.endsWith(QLatin1Char('.') + suffix, Qt::CaseInsensitive))
                        name += QLatin1Char('.') + suffix;
                }
            }
            if (!image.isNull() && !format.isEmpty()) {
                d->writeDroppedImage(image, format, request.dstPath, name);
                handled = true;
            }
        }
    }
    d->clearDropMark(dropTargetPath);
    if (!handled)
        showStatusMessage(unsupportedText(), kUnsupportedTimeout);
}

void FilerPrivate::writeDroppedImage(const QImage& image, const QByteArray& format, const QString& dir,
                                     const QString& fileName)
{
    QPointer<Filer> filer(q);
    // The disk is no business of the window's thread.
    QThreadPool::globalInstance()->start([filer, image, format, dir, fileName] {
        const QFileInfo info(fileName);
        const QString base = info.completeBaseName();
        const QString suffix = info.suffix();
        QString written;
        QString error;
        for (int n = 0; n < kMaxNameTries && written.isEmpty() && error.isEmpty(); ++n) {
            const QString ext = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
            const QString name = n == 0 ? fileName : QStringLiteral("%1 (%2)%3").arg(base, QString::number(n), ext);
            const QString path = dir + QLatin1Char('/') + name;
            QFile file(path);
            // Never over an existing file: the next name instead.
            if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
                if (file.exists())
                    continue;
                error = file.errorString();
                break;
            }
            QImageWriter writer(&file, format);
            const bool ok = writer.write(image) && file.flush();
            file.close();
            if (ok && file.error() == QFileDevice::NoError) {
                written = path;
            } else {
                error = writer.error() != QImageWriter::UnknownError ? writer.errorString() : file.errorString();
                // A partial file must not look like a finished one.
                QFile::remove(path);
            }
        }
        if (written.isEmpty() && error.isEmpty()) {
            //% "no free name"
            error = qtTrId("filer-reason-no-free-name");
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [filer, written, error] {
                if (!filer)
                    return;
                if (written.isEmpty()) {
                    Logger::log(Logger::ERR1, "failed to write dropped image: %s", qUtf8Printable(error));
                    //% "Failed to save the dropped image: %1"
                    filer->showStatusMessage(qtTrId("filer-status-drop-write-failed").arg(error), kFailureTimeout);
                } else {
                    Logger::log(Logger::NFO1, "dropped image written to %s", qUtf8Printable(written));
                }
            },
            Qt::QueuedConnection);
    });
}

#include "models/vfsmodel_p.h"

#include "core/logger.h"
#include "models/ithemepixmapprovider.h"

#include <QColor>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLocale>
#include <QMimeDatabase>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QtConcurrent>

#include <algorithm>
#include <limits>

using namespace vfsmodel;

namespace {

// Names holding one of these (anywhere, in any letter case) are images the
// preview reads.
const char* const kPreviewExtensions[] = {
    ".jpg", ".jpeg", ".png", ".svg", ".bmp", ".ico", ".gif", ".pbm", ".ARW",
    ".CR2", ".NEF", ".NRW", ".RAW", ".RW2", ".DNG", ".ai", ".eps", ".ps",
    ".psd", ".psb", ".webp", ".icns", ".xcf", ".kra", ".ora",
};

// The preview sizes asked for, smallest first; up to kPreviewIconMax the
// images also make the entry's decoration.
const int kPreviewSizes[] = {20, 24, 32, 48, 256};
constexpr int kPreviewIconMax = 64;
// The platform icon sizes tried for a local file, largest first.
const int kPlatformIconSizes[] = {256, 144, 64, 48, 32};

// Text colours of a name by the age of the file (seconds since its last
// change); older files take the palette's text colour.
struct AgeColour
{
    qint64 below;
    const char* colour;
};
const AgeColour kAgeColours[] = {
    {300, "#0baf00"},    {600, "#2ba200"},    {28800, "#269004"},  {86400, "#4a8439"},
    {172800, "#42850c"}, {259200, "#4e7a0a"}, {604800, "#656005"},
};

bool hasGui()
{
    // Icons, fonts and palettes need a GUI application; a headless engine
    // process gets none of them.
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

// Icons shared by every model of the process: folder, file, read-only and
// the icons learnt from local files by MIME type. Main thread only.
QHash<QString, QIcon>& sharedIcons()
{
    static QHash<QString, QIcon> icons;
    return icons;
}

QIcon themeIcon(const char* name, const char* fallback = nullptr)
{
    QIcon icon = QIcon::fromTheme(QLatin1String(name));
    if (icon.isNull() && fallback)
        icon = QIcon::fromTheme(QLatin1String(fallback));
    return icon;
}

// A bundled icon of the theme provider at the sizes a list shows; null
// without a provider.
QIcon bundledIcon(const QString& id)
{
    QIcon icon;
    IThemePixmapProvider* provider = IThemePixmapProvider::instance();
    if (!provider)
        return icon;
    for (int side : { 16, 24, 32 }) {
        const QPixmap pixmap = provider->requestPixmap(id, nullptr, QSize(side, side));
        if (!pixmap.isNull())
            icon.addPixmap(pixmap, QIcon::Normal, QIcon::Off);
    }
    return icon;
}

// One of the named shared icons, made on first use; a null icon when none
// can be had (no GUI, no theme), which is not kept.
QIcon sharedIcon(const QString& key)
{
    if (!hasGui())
        return QIcon();
    QHash<QString, QIcon>& icons = sharedIcons();
    auto it = icons.constFind(key);
    if (it != icons.constEnd())
        return *it;
    QIcon icon;
    // Without an icon theme the program's own folder and file icons.
    if (key == QLatin1String("x-directory")) {
        icon = themeIcon("folder", "inode-directory");
        if (icon.isNull())
            icon = bundledIcon(QStringLiteral("icon/folder.svg"));
    } else if (key == QLatin1String("x-file")) {
        icon = themeIcon("text-x-generic", "unknown");
        if (icon.isNull())
            icon = bundledIcon(QStringLiteral("icon/file.svg"));
    } else if (key == QLatin1String("read-only")) {
        if (IThemePixmapProvider* provider = IThemePixmapProvider::instance()) {
            const QPixmap pixmap = provider->requestPixmap(QStringLiteral("icon/read-only.svg"), nullptr,
                                                           QSize(16, 16));
            if (!pixmap.isNull())
                icon.addPixmap(pixmap, QIcon::Normal, QIcon::Off);
        }
        if (icon.isNull())
            icon = themeIcon("emblem-readonly");
    } else {
        return QIcon(); // a MIME type not learnt yet
    }
    if (!icon.isNull())
        icons.insert(key, icon);
    return icon;
}

// The desktop's icon of a local file, by its content type.
QIcon localFileIcon(const QFileInfo& info)
{
    if (!hasGui())
        return QIcon();
    const QMimeType type = QMimeDatabase().mimeTypeForFile(info);
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull())
        icon = QIcon::fromTheme(type.genericIconName());
    return icon;
}

bool hasPreviewExtension(const QString& name)
{
    for (const char* extension : kPreviewExtensions) {
        if (name.contains(QLatin1String(extension), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString sizeText(quint64 size)
{
    return QLocale().formattedDataSize(qint64(std::min<quint64>(size, quint64(std::numeric_limits<qint64>::max()))),
                                       1, QLocale::DataSizeSIFormat);
}

// Runs on the thread pool: the platform's pixmap of a local file at the
// first size it has.
QIcon loadPlatformIcon(const QString& peerUuid, const QString& path, bool isFile)
{
    if (Preview::canPreview(peerUuid, path))
        return QIcon(); // its preview will stand for it
    IThemePixmapProvider* provider = IThemePixmapProvider::instance();
    if (!provider)
        return QIcon();
    for (int size : kPlatformIconSizes) {
        Logger::log(Logger::VMDL, "test win icon: %s, size: %d", qUtf8Printable(path), size);
        const QPixmap pixmap = provider->platformFilePixmap(path, size, isFile);
        if (!pixmap.isNull()) {
            Logger::log(Logger::VMDL, "win icon: %s, size: %dx%d", qUtf8Printable(path), pixmap.width(),
                        pixmap.height());
            return QIcon(pixmap);
        }
    }
    return QIcon();
}

QVariant timeValue(qint64 ms)
{
    return ms != 0 ? QVariant(QDateTime::fromMSecsSinceEpoch(ms)) : QVariant(QDateTime());
}

// The columns that show the value of a role.
const struct
{
    int column;
    int role;
} kShownRoles[] = {
    {VfsModel::TypeColumn, VfsModel::TypeStringRole},
    {VfsModel::SizeColumn, VfsModel::SizeStringRole},
    {VfsModel::ATimeColumn, VfsModel::AtimeRole},
    {VfsModel::CTimeColumn, VfsModel::CtimeRole},
    {VfsModel::MTimeStringColumn, VfsModel::MtimeStringRole},
    {VfsModel::MTimeColumn, VfsModel::MtimeRole},
    {VfsModel::MimeColumn, VfsModel::MimeRole},
    {VfsModel::FlagsColumn, VfsModel::FlagsRole},
    {VfsModel::HiddenColumn, VfsModel::HiddenRole},
    {VfsModel::InfoColumn, VfsModel::InfoRole},
};

// The role whose value a column shows; 0 for the columns that show no role.
int shownRole(int column)
{
    for (const auto& shown : kShownRoles) {
        if (shown.column == column)
            return shown.role;
    }
    return 0;
}

} // namespace

QIcon vfsmodel::driveIcon(bool network)
{
    if (!hasGui())
        return QIcon();
    return network ? themeIcon("network-workgroup", "folder-remote") : themeIcon("drive-harddisk");
}

// The locale's narrow date with four-digit years and two-digit days and
// months; its short time with two-digit hours.
QString vfsmodel::widenedDateFormat()
{
    QString format = QLocale().dateFormat(QLocale::NarrowFormat);
    if (format.endsWith(QLatin1String("yy")) && !format.endsWith(QLatin1String("yyyy")))
        format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    if (format.contains(QLatin1Char('M')) && !format.contains(QLatin1String("MM")))
        format.replace(QLatin1Char('M'), QLatin1String("MM"));
    if (format.contains(QLatin1Char('d')) && !format.contains(QLatin1String("dd")))
        format.replace(QLatin1Char('d'), QLatin1String("dd"));
    return format;
}

QString vfsmodel::widenedTimeFormat()
{
    QString format = QLocale().timeFormat(QLocale::ShortFormat);
    if (format.contains(QLatin1Char('h')) && !format.contains(QLatin1String("hh")))
        format.replace(QLatin1Char('h'), QLatin1String("hh"));
    return format;
}

QFont VfsModel::numberFont()
{
    return QFont(QStringLiteral("TypeWriter"));
}

QStringList VfsModel::sampleMtimeTexts()
{
    const QString dateFormat = vfsmodel::widenedDateFormat();
    const QString timeFormat = vfsmodel::widenedTimeFormat();
    QStringList texts;
    for (int hour : { 10, 22 }) {
        const QDateTime time(QDate(2028, 12, 28), QTime(hour, 58));
        texts << QStringLiteral("%1  %2").arg(time.toString(dateFormat), time.toString(timeFormat));
    }
    return texts;
}

QStringList VfsModel::sampleSizeTexts()
{
    QStringList texts;
    for (quint64 size : { Q_UINT64_C(999), Q_UINT64_C(999999), Q_UINT64_C(999999999), Q_UINT64_C(999999999999),
                          Q_UINT64_C(999999999999999) })
        texts << sizeText(size);
    return texts;
}

// --- Presentation ------------------------------------------------------------

void VfsModelPrivate::setMtime(VfsEntry* e, qint64 mtime)
{
    e->mtime = mtime;
    e->mtimeString.clear();
    if (mtime != 0)
        e->pending |= PendingMtimeText;
    else
        e->pending &= ~PendingMtimeText;
}

void VfsModelPrivate::setFileTypeData(VfsEntry* e)
{
    e->pending |= PendingSizeText;
    if (hasPreviewExtension(e->name))
        e->previewState = VfsModel::PreviewPossible;
    e->pending |= PendingMime | PendingFileIcon;
}

void VfsModelPrivate::settle(VfsEntry* e, quint8 parts)
{
    parts &= e->pending;
    if (!parts)
        return;
    if (parts & (PendingMime | PendingFileIcon)) {
        e->pending &= ~PendingMime;
        if (e->mime.isEmpty()) {
            static const QMimeDatabase mimeDatabase;
            e->mime = mimeDatabase.mimeTypeForFile(e->name, QMimeDatabase::MatchExtension).name();
        }
    }
    if ((parts & PendingFileIcon) && hasGui()) {
        e->pending &= ~PendingFileIcon;
        if (e->icon.isNull()) {
            auto it = sharedIcons().constFind(e->mime);
            if (!e->mime.isEmpty() && it != sharedIcons().constEnd() && !e->name.endsWith(QLatin1String("lnk")))
                e->icon = *it;
            else if (ownPeer())
                queueIcon(e);
        }
        if (e->icon.isNull())
            e->icon = sharedIcon(QStringLiteral("x-file"));
    }
    if ((parts & PendingDirectoryIcon) && hasGui()) {
        e->pending &= ~PendingDirectoryIcon;
        e->icon = sharedIcon(QStringLiteral("x-directory"));
        if (ownPeer())
            queueIcon(e);
    }
    if (parts & PendingSizeText) {
        e->pending &= ~PendingSizeText;
        e->sizeString = sizeText(e->size);
    }
    if (parts & PendingMtimeText) {
        e->pending &= ~PendingMtimeText;
        const QDateTime time = QDateTime::fromMSecsSinceEpoch(e->mtime);
        e->mtimeString = QStringLiteral("%1  %2").arg(time.toString(dateFormat), time.toString(timeFormat));
    }
}

void VfsModelPrivate::queueIcon(VfsEntry* e)
{
    if (!hasGui())
        return;
    if (std::find(iconQueue.begin(), iconQueue.end(), e) == iconQueue.end())
        iconQueue.push_back(e);
    // The queue runs once no listing waits to be merged.
    if (!iconTimer->isActive() && !iconBusy && !(checkTimer && checkTimer->isActive()))
        iconTimer->start(0);
}

// An entry leaves the tree: nothing queued or cached refers to it any more.
void VfsModelPrivate::forget(VfsEntry* e)
{
    iconQueue.erase(std::remove(iconQueue.begin(), iconQueue.end(), e), iconQueue.end());
    if (iconLoading == e)
        iconLoading = nullptr;
    previewQueue.erase(std::remove(previewQueue.begin(), previewQueue.end(), e), previewQueue.end());
    for (PreviewLoad& load : previewLoads) {
        if (load.entry == e)
            load.entry = nullptr;
    }
    VfsPreviewCache::instance().remove(q, e);
}

void VfsModelPrivate::startIconLoad(VfsEntry* e)
{
    iconBusy = true;
    iconLoading = e;
    const QString uuid = peer ? peer->uuid() : QString();
    const QString path = pathOf(e, sep());
    const bool isFile = e->type == VfsModel::FileType;
    iconWatcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(), [uuid, path, isFile]() {
        return loadPlatformIcon(uuid, path, isFile);
    }));
}

// An icon found for an entry of the icon queue is shown; when learn is set,
// it stands for every file of the entry's MIME type from then on.
void VfsModelPrivate::showIcon(VfsEntry* e, const QIcon& icon, bool learn)
{
    e->icon = icon;
    if (learn && !e->mime.isEmpty() && e->type == VfsModel::FileType)
        sharedIcons().insert(e->mime, icon);
    rowChanged(e, {Qt::DecorationRole});
}

void VfsModelPrivate::onIconLoaded()
{
    iconBusy = false;
    const QIcon icon = iconWatcher->result();
    VfsEntry* e = iconLoading;
    iconLoading = nullptr;
    if (e && !iconQueue.empty() && iconQueue.front() == e) {
        if (!icon.isNull()) {
            // A program's or a link's icon is its own.
            const QString suffix = QFileInfo(e->name).suffix().toLower();
            showIcon(e, icon, suffix != QLatin1String("exe") && suffix != QLatin1String("lnk"));
        }
        iconQueue.pop_front();
    }
    iconTimer->stop();
    if (!iconQueue.empty())
        q->processIconQueue();
}

// A view wants the preview of an entry: it is asked for, or, when it waits
// in the queue, it goes to the front (the newest request first).
void VfsModelPrivate::wantPreview(VfsEntry* e)
{
    if (e->previewState == VfsModel::PreviewPossible) {
        if (!cachedPreview(e))
            emit q->noPreviewCached(indexOf(e));
        return;
    }
    if (e->previewState != VfsModel::PreviewRequested || previewQueue.empty() || previewQueue.front() == e)
        return;
    const auto it = std::find(previewQueue.begin(), previewQueue.end(), e);
    if (it != previewQueue.end()) {
        previewQueue.erase(it);
        previewQueue.push_front(e);
    }
}

void VfsModelPrivate::startPreviewLoad(VfsEntry* e)
{
    e->previewState = VfsModel::PreviewLoading;
    Preview::GetImageRequest request;
    request.peerUuid = peer ? peer->uuid() : QString();
    request.path = pathOf(e, sep());
    for (int size : kPreviewSizes)
        request.bounds.emplace_back(size, size);
    request.mtime = e->mtime;
    request.reserved = 0;
    PreviewLoad load;
    load.entry = e;
    load.mtime = e->mtime;
    load.watcher = new QFutureWatcher<Preview::GetImageResult>(q);
    QFutureWatcher<Preview::GetImageResult>* watcher = load.watcher;
    QObject::connect(watcher, &QFutureWatcherBase::finished, q, [this, watcher] { onPreviewLoaded(watcher); });
    previewLoads.push_back(load);
    watcher->setFuture(Preview::getImageAsync(Preview::instance(), request));
}

// A load ended. Its images go to the entry it was started for, and only
// while that entry is still in the tree, shown, and the same file: a result
// for a folder that was left, or for a file changed meanwhile, is dropped
// (the changed file is loaded again).
void VfsModelPrivate::onPreviewLoaded(QFutureWatcher<Preview::GetImageResult>* watcher)
{
    const auto it = std::find_if(previewLoads.begin(), previewLoads.end(),
                                 [watcher](const PreviewLoad& load) { return load.watcher == watcher; });
    if (it == previewLoads.end())
        return;
    const PreviewLoad load = *it;
    previewLoads.erase(it);
    const Preview::GetImageResult result = watcher->result();
    watcher->deleteLater();
    VfsEntry* e = load.entry;
    if (e && e->previewState == VfsModel::PreviewLoading) {
        if (!e->parent || e->parent->useCount == 0) {
            // Nobody shows it now; the next view that wants it asks again.
            e->previewState = VfsModel::PreviewPossible;
        } else if (e->mtime != load.mtime) {
            e->previewState = VfsModel::PreviewPossible;
            emit q->noPreviewCached(indexOf(e));
        } else if (result.images.empty()) {
            // A file the loader cannot read is not asked for again.
            e->previewState = VfsModel::PreviewNone;
        } else {
            e->previewState = VfsModel::PreviewPossible;
            showPreview(e, result);
        }
    }
    if (!previewQueue.empty())
        previewTimer->start(0);
}

// The images of a finished load become the entry's decoration (the small
// ones, made into pixmaps here on the GUI thread) and its cached preview.
void VfsModelPrivate::showPreview(VfsEntry* e, const Preview::GetImageResult& result)
{
    if (hasGui()) {
        QIcon icon;
        for (const QImage& image : result.images) {
            if (image.isNull() || image.width() > kPreviewIconMax || image.height() > kPreviewIconMax)
                continue;
            QPixmap pixmap = QPixmap::fromImage(image);
            if (image.width() != image.height()) {
                const int side = std::max(image.width(), image.height());
                QPixmap square(side, side);
                square.fill(Qt::transparent);
                QPainter painter(&square);
                painter.drawPixmap((side - image.width()) / 2, (side - image.height()) / 2, pixmap);
                painter.end();
                pixmap = square;
            }
            icon.addPixmap(pixmap, QIcon::Normal, QIcon::Off);
        }
        e->previewIcon = icon; // a new preview replaces the old images
    }
    const QImage* chosen = &result.images.front();
    for (const QImage& image : result.images) {
        if (chosen->width() >= result.size.width() || chosen->height() >= result.size.height())
            break;
        if (image.width() > chosen->width() && image.height() > chosen->height())
            chosen = &image;
    }
    const qint64 bytes = chosen->sizeInBytes();
    if (VfsPreviewCache::instance().insert(q, e, *chosen))
        Logger::log(Logger::VMDL, "cached preview image: %lld bytes %s", static_cast<long long>(bytes),
                    qUtf8Printable(result.path));
    else
        Logger::log(Logger::VMDL, "failed to cache preview image: %lld bytes %s", static_cast<long long>(bytes),
                    qUtf8Printable(result.path));
    e->previewSize = chosen->size();
    const QModelIndex index = indexOf(e, 0);
    emit q->dataChanged(index, index);
}

QVariant VfsModelPrivate::foreground(const VfsEntry* e, int column) const
{
    if (!hasGui())
        return QVariant();
    const QPalette palette = QGuiApplication::palette();
    if (column != VfsModel::NameColumn || !linkUp())
        return palette.color(QPalette::Inactive, QPalette::Mid);
    if (e->parent == &root)
        return QVariant();
    const qint64 age = (wallClock() - e->mtime) / 1000;
    for (const AgeColour& band : kAgeColours) {
        if (age < band.below)
            return QColor(QLatin1String(band.colour));
    }
    return palette.color(QPalette::Text);
}

QVariant VfsModelPrivate::decoration(const QModelIndex& index, const VfsEntry* e) const
{
    if (index.column() == VfsModel::AccessColumn) {
        if (e->mode & VfsModel::WriteUser)
            return QVariant();
        const QIcon icon = sharedIcon(QStringLiteral("read-only"));
        return icon.isNull() ? QVariant() : QVariant(icon);
    }
    if (index.column() != VfsModel::NameColumn)
        return QVariant();
    if (!e->previewIcon.isNull())
        return e->previewIcon;
    const_cast<VfsModelPrivate*>(this)->wantPreview(const_cast<VfsEntry*>(e));
    if (!e->icon.isNull())
        return e->icon;
    const QString suffix = QFileInfo(e->name).suffix();
    if (!suffix.isEmpty()) {
        auto it = sharedIcons().constFind(suffix);
        if (it != sharedIcons().constEnd())
            return *it;
    }
    return QVariant();
}

QStringList VfsModelPrivate::components(const VfsEntry* e, bool display) const
{
    QStringList out;
    for (const VfsEntry* p = e; p && p != &root; p = p->parent)
        out.prepend(display && p->origType == VfsModel::ShareType && p->type != VfsModel::DriveType ? p->name
                                                                                                      : componentOf(p));
    return out;
}

// --- VfsModel: presentation -------------------------------------------------

QVariant VfsModel::data(const QModelIndex& index, int role) const
{
    if (role == Qt::TextAlignmentRole) {
        switch (index.column()) {
        case SizeColumn:
            return int(Qt::AlignRight | Qt::AlignVCenter);
        case MTimeStringColumn:
        case MTimeColumn:
            return int(Qt::AlignHCenter | Qt::AlignVCenter);
        default:
            return QVariant();
        }
    }
    const VfsEntry* e = d->entryOf(index);
    if (e == &d->root) {
        // Only the top-level rows can be meant.
        e = size_t(index.row()) < d->root.children.size() ? d->root.children[size_t(index.row())] : nullptr;
    }
    if (!e) {
        if (role == FlagsRole)
            return 0;
        if (role == MimeRole)
            return kDirectoryMime;
        return QVariant();
    }
    const int column = index.column();
    const bool container = hasChildList(e);
    if (role == Qt::DisplayRole) {
        switch (column) {
        case NameColumn:
            return e->name;
        case PathColumn:
            return e->path.isEmpty() ? d->pathOf(e, d->sep()) : e->path;
        case RefColumn:
            return e->ref;
        default:
            role = shownRole(column);
            if (role == 0)
                return QVariant();
        }
    }
    if (e->pending) {
        VfsEntry* entry = const_cast<VfsEntry*>(e);
        if (role == MimeRole)
            d->settle(entry, VfsModelPrivate::PendingMime);
        else if (role == Qt::DecorationRole && column == NameColumn)
            d->settle(entry, VfsModelPrivate::PendingMime | VfsModelPrivate::PendingFileIcon
                                 | VfsModelPrivate::PendingDirectoryIcon);
        else if (role == MtimeStringRole)
            d->settle(entry, VfsModelPrivate::PendingMtimeText);
        else if (role == SizeStringRole || role == Qt::ToolTipRole)
            d->settle(entry, VfsModelPrivate::PendingSizeText);
    }
    switch (role) {
    case Qt::EditRole:
        return column == NameColumn ? QVariant(e->name) : QVariant();
    case Qt::ToolTipRole:
        if (e->sizeString.isEmpty())
            return e->name;
        //% "Size"
        return e->name + QStringLiteral("\n%1: %2").arg(qtTrId("column-size"), e->sizeString);
    case Qt::DecorationRole:
        return d->decoration(index, e);
    case Qt::FontRole:
        if (!hasGui())
            return QVariant();
        if (column == SizeColumn && e->type == DirectoryType)
            return QVariant();
        if (column == SizeColumn || column == MTimeStringColumn || column == MTimeColumn)
            return numberFont();
        return QGuiApplication::font();
    case Qt::BackgroundRole:
        if (hasGui() && (e->flags & DropTargetFlag))
            return QGuiApplication::palette().midlight();
        return QVariant();
    case Qt::ForegroundRole:
        return d->foreground(e, column);
    case Qt::SizeHintRole:
        if (column == AccessColumn)
            return (e->mode & WriteUser) ? QSize(-1, -1) : QSize(22, 22);
        if (column == SizeColumn && hasGui())
            return QSize(QFontMetrics(QGuiApplication::font()).horizontalAdvance(QStringLiteral("0000 Bytes")), 22);
        return QVariant();
    case NameRole:
        if (e->type == DriveType && e->path == QLatin1String("/"))
            return QStringLiteral("%1 %2").arg(sizeText(e->size), e->name);
        return e->name;
    case PathRole:
        return d->pathOf(e, d->sep());
    case PathListRole:
        return d->components(e, false);
    case DisplayPathListRole:
        return d->components(e, true);
    case SizeRole:
        return QVariant::fromValue<quint64>(e->size);
    case SizeStringRole:
        //% "Folder"
        return container ? qtTrId("item-type-folder") : e->sizeString;
    case TypeStringRole:
        switch (e->type) {
        case NoType:
            return QStringLiteral("NoType");
        case DriveType:
            return QStringLiteral("Drive");
        case DirectoryType:
            return QStringLiteral("Directory");
        case FileType:
            return QStringLiteral("File");
        default:
            return QString();
        }
    case TypeRole:
        return int(e->type);
    case OrigTypeRole:
        return int(e->origType);
    case AtimeRole:
        return timeValue(e->atime);
    case CtimeRole:
        return timeValue(e->ctime);
    case MtimeStringRole:
        return e->mtimeString;
    case MtimeRole:
        return timeValue(e->mtime);
    case IconRole:
        switch (e->type) {
        case FileType:
            return QString(QStringLiteral("image://theme/file/") + e->name);
        case DirectoryType:
            return QStringLiteral("image://theme/mime/application/x-directory");
        case DriveType:
            return QStringLiteral("image://theme/icon/drive-disk.svg");
        default:
            return QVariant();
        }
    case MimeRole:
        return e->mime;
    case HiddenRole:
        return bool(e->hidden);
    case FlagsRole:
        return int(e->flags);
    case PreviewRole:
        if (const QImage* image = VfsPreviewCache::instance().find(this, e))
            return *image;
        d->wantPreview(const_cast<VfsEntry*>(e));
        return QVariant();
    case PreviewSizeRole:
        if (const QImage* image = VfsPreviewCache::instance().find(this, e))
            return image->size();
        return QVariant();
    case InfoRole:
        return uint(e->mode);
    case ChildSizeRole:
        return QVariant::fromValue<quint64>(e->childSize);
    case IdRole:
        return QVariant::fromValue<quint64>(e->inode);
    default:
        return QVariant();
    }
}

QVariant VfsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return QVariant();
    if (role == Qt::SizeHintRole)
        return section == AccessColumn ? QVariant(QSize(22, -1)) : QVariant();
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case NameColumn:
        //% "Name"
        return qtTrId("column-name");
    case AccessColumn:
        return QString();
    case TypeColumn:
        //% "Type"
        return qtTrId("column-type");
    case PathColumn:
        //% "Path"
        return qtTrId("column-path");
    case SizeColumn:
        return qtTrId("column-size");
    case ATimeColumn:
        //% "Access"
        return qtTrId("column-access");
    case CTimeColumn:
        //% "Created"
        return qtTrId("column-created");
    case MTimeStringColumn:
    case MTimeColumn:
        //% "Modified"
        return qtTrId("column-modified");
    case MimeColumn:
        //% "Mime"
        return qtTrId("column-mime");
    case FlagsColumn:
        //% "Flags"
        return qtTrId("column-flags");
    case RefColumn:
        //% "Reference"
        return qtTrId("column-reference");
    case HiddenColumn:
        //% "Hidden"
        return qtTrId("column-hidden");
    default:
        return QVariant();
    }
}

Qt::ItemFlags VfsModel::flags(const QModelIndex& index) const
{
    Qt::ItemFlags flags = QAbstractItemModel::flags(index);
    const VfsEntry* e = d->entryOf(index);
    if (e)
        flags |= Qt::ItemIsEditable | Qt::ItemIsDragEnabled;
    // What never lists children says so: a tree view then asks no more of a
    // row of a large directory each time it lays its rows out.
    if (e && e != &d->root
        && (index.column() != 0 || e->type == VfsModel::FileType || e->type == VfsModel::SymlinkType))
        flags |= Qt::ItemNeverHasChildren;
    return flags;
}

bool VfsModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    VfsEntry* e = d->entryOf(index);
    if (!e || e == &d->root)
        return false;
    if (role == Qt::EditRole && index.column() == NameColumn) {
        const QString name = value.toString();
        if (name != e->name)
            emit renameRequest(index, name);
        return false; // the pane renames; the listing that follows shows it
    }
    if (role == FlagsRole) {
        bool ok = false;
        const int flags = value.toInt(&ok);
        if (!ok || quint32(flags) == e->flags)
            return false;
        e->flags = quint32(flags);
        d->rowChanged(e, {});
        return true;
    }
    return false;
}

QHash<int, QByteArray> VfsModel::roleNames() const
{
    return {
        {NameRole, "name"},
        {AccessRole, "access"},
        {PathRole, "path"},
        {PathListRole, "pathList"},
        {DisplayPathListRole, "displayPathList"},
        {SizeRole, "size"},
        {SizeStringRole, "sizeString"},
        {TypeStringRole, "typeString"},
        {TypeRole, "type"},
        {OrigTypeRole, "origType"},
        {AtimeRole, "atime"},
        {CtimeRole, "ctime"},
        {MtimeStringRole, "mtimeString"},
        {MtimeRole, "mtime"},
        {IconRole, "icon"},
        {MimeRole, "mime"},
        {HiddenRole, "hidden"},
        {FlagsRole, "flags"},
        {PreviewRole, "preview"},
        {InfoRole, "info"},
        {ChildSizeRole, "childSize"},
    };
}

// --- Icons and previews ------------------------------------------------------

void VfsModel::processIconQueue()
{
    if (d->iconQueue.empty() || d->iconBusy || d->iconWatcher->isRunning())
        return;
    VfsEntry* e = d->iconQueue.front();
    d->settle(e, VfsModelPrivate::PendingMime);
    const QFileInfo info(d->pathOf(e, d->sep())); // the own machine: a local path
    const QString suffix = info.suffix().toLower();
    const bool exe = suffix == QLatin1String("exe");
    const bool lnk = suffix == QLatin1String("lnk");
    // The icon learnt for the entry's type, else the desktop's icon of the
    // file; else the platform's, loaded on the pool.
    QIcon icon;
    bool learn = false;
    if (!exe && !lnk && !e->mime.isEmpty())
        icon = sharedIcons().value(e->mime);
    if (icon.isNull() && e->type == FileType && !exe) {
        icon = localFileIcon(info);
        learn = !lnk;
    }
    if (icon.isNull()) {
        d->startIconLoad(e);
        return;
    }
    d->showIcon(e, icon, learn);
    if (!d->iconQueue.empty() && d->iconQueue.front() == e)
        d->iconQueue.pop_front();
    d->iconTimer->start(0);
}

void VfsModel::requestPreview(const QModelIndex& index)
{
    VfsEntry* e = d->entryOf(index);
    if (!e || e == &d->root || e->previewState != PreviewPossible || d->cachedPreview(e))
        return;
    Logger::log(Logger::VMDL, "request preview: %s", qUtf8Printable(d->pathOf(e, '/')));
    e->previewState = PreviewRequested;
    d->previewQueue.push_front(e);
    if (!d->previewTimer->isActive())
        d->previewTimer->start(10);
}

// Starts loads from the front of the queue while fewer than the limit run.
void VfsModel::onPreviewTimerFired()
{
    while (!d->previewQueue.empty() && int(d->previewLoads.size()) < d->previewLoadLimit) {
        VfsEntry* e = d->previewQueue.front();
        d->previewQueue.pop_front();
        if (e->previewState != PreviewRequested)
            continue;
        if (!e->parent || e->parent->useCount == 0) {
            // Nobody shows it now; the next view that wants it asks again.
            e->previewState = PreviewPossible;
            continue;
        }
        d->startPreviewLoad(e);
    }
}

void VfsModel::setPreviewLoadLimit(int limit)
{
    d->previewLoadLimit = std::max(1, limit);
    if (!d->previewQueue.empty())
        d->previewTimer->start(0);
}

int VfsModel::previewLoadLimit() const
{
    return d->previewLoadLimit;
}

int VfsModel::previewLoadsRunning() const
{
    return int(d->previewLoads.size());
}

#include "quick/iconlistmodel.h"

#include "core/appsettings.h"

#include <QDirIterator>
#include <QUrl>

#include <vector>

class IconListModelPrivate
{
public:
    QHash<int, QByteArray> roles;
    std::vector<QString> paths;

    void append(const QString& url)
    {
        if (std::find(paths.begin(), paths.end(), url) == paths.end())
            paths.push_back(url);
    }
};

namespace {
bool isIconFile(const QString& path)
{
    return path.endsWith(QLatin1String(".svg")) || path.endsWith(QLatin1String(".png"));
}
} // namespace

IconListModel::IconListModel(QObject* parent) : QAbstractListModel(parent), d(new IconListModelPrivate)
{
    d->roles.insert(PathRole, "path");
    d->roles.insert(IconRole, "icon");

    QDirIterator builtIn(QStringLiteral(":"), QDirIterator::Subdirectories);
    while (builtIn.hasNext()) {
        const QString path = builtIn.next();
        if (!path.startsWith(QLatin1String(":/icons")))
            continue;
        const QString name = path.split(QLatin1Char('/')).last();
        if (isIconFile(name))
            d->append(QStringLiteral("image://theme/icon/%1").arg(name));
    }

    // A user's own icon is named by a file URL, so "#", "%" or "?" in its
    // name stay part of the name.
    QDirIterator own(AppSettings::configDirectory(0) + QStringLiteral("/icons"), QDir::Files,
                     QDirIterator::Subdirectories);
    while (own.hasNext()) {
        const QString path = own.next();
        if (isIconFile(path))
            d->append(QUrl::fromLocalFile(path).toString());
    }
}

IconListModel::~IconListModel() = default;

int IconListModel::rowCount(const QModelIndex&) const
{
    return int(d->paths.size());
}

QVariant IconListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= int(d->paths.size()) || role != PathRole)
        return QVariant();
    return d->paths[size_t(index.row())];
}

QHash<int, QByteArray> IconListModel::roleNames() const
{
    return d->roles;
}

int IconListModel::indexOfPath(const QString& path) const
{
    const auto it = std::find(d->paths.begin(), d->paths.end(), path);
    return it == d->paths.end() ? -1 : int(it - d->paths.begin());
}

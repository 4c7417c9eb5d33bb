#include "models/vfssortfilterproxymodel.h"

#include "models/vfsmodel.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QPalette>

VfsSortFilterProxyModel::VfsSortFilterProxyModel(QObject* parent) : QSortFilterProxyModel(parent) {}

VfsSortFilterProxyModel::~VfsSortFilterProxyModel() = default;

void VfsSortFilterProxyModel::setRootIndex(const QModelIndex& sourceIndex)
{
    const QString path = sourceIndex.data(VfsModel::PathRole).toString();
    if (path == m_rootPath)
        return;
    m_rootPath = path;
    invalidateFilter();
}

void VfsSortFilterProxyModel::setFilterHidden(bool show)
{
    if (show == m_showHidden)
        return;
    m_showHidden = show;
    invalidateFilter();
}

void VfsSortFilterProxyModel::setFilterMaxAge(qint64 seconds)
{
    if (seconds == m_maxAgeSeconds)
        return;
    m_maxAgeSeconds = seconds;
    invalidate();
}

QString VfsSortFilterProxyModel::rootPath() const
{
    return m_rootPath;
}

bool VfsSortFilterProxyModel::showsHidden() const
{
    return m_showHidden;
}

qint64 VfsSortFilterProxyModel::filterMaxAge() const
{
    return m_maxAgeSeconds;
}

QVariant VfsSortFilterProxyModel::data(const QModelIndex& index, int role) const
{
    if (role == Qt::ForegroundRole && index.isValid() && index.column() == VfsModel::NameColumn
        && m_maxAgeSeconds > 0 && qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        const QDateTime mtime = mapToSource(index).data(VfsModel::MtimeRole).toDateTime();
        if (mtime.isValid() && mtime.secsTo(QDateTime::currentDateTime()) > m_maxAgeSeconds)
            return QGuiApplication::palette().color(QPalette::Inactive, QPalette::Mid);
    }
    return QSortFilterProxyModel::data(index, role);
}

// Directories come first in both directions; apart from that (also between
// rows of other different types) the column decides, so that the order is
// a strict weak ordering in either direction.
bool VfsSortFilterProxyModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const bool leftDir = left.data(VfsModel::TypeRole).toInt() == VfsModel::DirectoryType;
    const bool rightDir = right.data(VfsModel::TypeRole).toInt() == VfsModel::DirectoryType;
    if (leftDir != rightDir) {
        // The views read a descending order backwards.
        return sortOrder() == Qt::AscendingOrder ? leftDir : rightDir;
    }
    switch (left.column()) {
    case VfsModel::MTimeStringColumn:
        return left.data(VfsModel::MtimeRole).toDateTime() < right.data(VfsModel::MtimeRole).toDateTime();
    case VfsModel::SizeColumn:
        return left.data(VfsModel::SizeRole).toULongLong() < right.data(VfsModel::SizeRole).toULongLong();
    default:
        return QString::localeAwareCompare(left.data(Qt::DisplayRole).toString(),
                                           right.data(Qt::DisplayRole).toString())
               < 0;
    }
}

bool VfsSortFilterProxyModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    if (!sourceParent.isValid() || m_rootPath.isEmpty())
        return true;
    // The rows on the way down to the shown directory stay, hidden or not.
    const QString parentPath = sourceParent.data(VfsModel::PathRole).toString();
    if (m_rootPath.size() > parentPath.size())
        return true;
    if (m_showHidden)
        return true;
    const QModelIndex hidden = sourceModel()->index(sourceRow, VfsModel::HiddenColumn, sourceParent);
    return !hidden.data(Qt::DisplayRole).toBool();
}

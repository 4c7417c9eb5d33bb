#pragma once

#include <QSortFilterProxyModel>
#include <QString>

// What a pane puts between a peer's VfsModel and its views: directories
// before everything else in either sort direction, sizes and modification
// times sorted by value and the other columns by locale-aware text, hidden
// entries of the shown directory filtered out unless asked for, and the
// names of files older than a chosen age dimmed.
class VfsSortFilterProxyModel : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit VfsSortFilterProxyModel(QObject* parent = nullptr);
    ~VfsSortFilterProxyModel() override;

    // The directory the pane shows (a source index); hidden entries are
    // filtered only in it and below it.
    Q_INVOKABLE void setRootIndex(const QModelIndex& sourceIndex);
    Q_INVOKABLE void setFilterHidden(bool show);
    // Names of files changed longer ago than this are dimmed; 0 or less
    // dims nothing.
    Q_INVOKABLE void setFilterMaxAge(qint64 seconds);

    QString rootPath() const;
    bool showsHidden() const;
    qint64 filterMaxAge() const;

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    bool m_showHidden = false;
    qint64 m_maxAgeSeconds = -1;
    QString m_rootPath;
};

#pragma once

#include <QAbstractListModel>

#include <memory>

class IconListModelPrivate;

// The icons a user can give to a node: every ".svg" and ".png" of the
// built-in ":/icons" (as "image://theme/icon/<name>", by bare file name) and
// of the configuration directory's "icons" folder (as file URLs), in the
// order found. Built once by the constructor.
class IconListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Roles { PathRole = Qt::UserRole + 1, IconRole };
    Q_ENUM(Roles)

    explicit IconListModel(QObject* parent = nullptr);
    ~IconListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    Q_INVOKABLE QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE int indexOfPath(const QString& path) const;

private:
    std::unique_ptr<IconListModelPrivate> d;
};

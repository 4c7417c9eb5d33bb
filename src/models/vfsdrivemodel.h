#pragma once

#include "vfs/client/vfsdrive.h"

#include <QAbstractListModel>

#include <memory>
#include <vector>

class VfsDriveModelPrivate;

// The drives a peer's file-system server reports, one row each. Listings are
// handed over from any thread with updateDrives() and merged into the rows on
// the model's own thread: rows keep their place, changed drives announce
// themselves, new ones are inserted (lettered drives in letter order, the
// root "/" first) and drives the listing no longer holds are removed. Shares
// and drives without capacity (other than "/") are never shown.
class VfsDriveModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum DriveRoles {
        NameRole = Qt::UserRole + 1, // 257
        DisplayNameRole,
        ShortNameRole,
        IconRole,
        IconNameRole,
        PathRole,
        TypeRole,
        PlugTypeRole,
        StateRole,
        BytesAvailableRole,
        BytesTotalRole,
    };
    Q_ENUM(DriveRoles)

    enum DriveType : quint8 { DiskType = 0, HotplugType = 1, SmbType = 2, ShareType = 3 };
    static constexpr int ColumnCount = 6;

    explicit VfsDriveModel(QObject* parent = nullptr);
    ~VfsDriveModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    Q_INVOKABLE QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    Q_INVOKABLE QString getPathForRow(int row) const;
    // Column 0 of the drive whose path is exactly path; invalid when none.
    QModelIndex indexForPath(const QString& path) const;
    // The drive that holds path: the one whose root path is the longest that
    // path lies in, compared by whole path components ("/media/usb" holds
    // "/media/usb/a" but not "/media/usb2"). A default drive when none does.
    VfsDrive driveForPath(const QString& path) const;
    // A copy of the row's drive; a default drive outside the rows.
    VfsDrive drive(int row) const;

    // The texts the views show for a drive at a row.
    static QString displayName(const VfsDrive& drive);
    static QString shortName(const VfsDrive& drive, int row);
    static QString iconName(const VfsDrive& drive);
    static QString typeText(quint8 type);
    static QString plugTypeText(quint8 plugType);

public slots:
    // A finished listing; any thread. Only the newest listing handed over
    // before the merge runs counts.
    void updateDrives(const std::vector<VfsDrive>& drives);
    // Merges the listing handed over last; the model's thread.
    void processUpdatedDrivesQueue();

private:
    std::unique_ptr<VfsDriveModelPrivate> d;
};

Q_DECLARE_METATYPE(VfsDriveModel*)

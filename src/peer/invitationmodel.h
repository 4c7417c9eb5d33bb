#pragma once

#include "core/invitationdto.h"

#include <QAbstractListModel>

#include <vector>

class IDatabase;

// The pending invitations of the own machine. Reads the rows once and then
// follows the database's addedInvitation and removedInvitation signals;
// lives on the main thread, where changes made on other threads arrive
// queued.
class InvitationModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Roles {
        UuidRole = Qt::UserRole + 1,
        NameRole,
        PasswordRole,
        TimestampRole,
        ExpiresRole,
    };
    Q_ENUM(Roles)

    InvitationModel(IDatabase* db, QObject* parent = nullptr);
    ~InvitationModel() override;

    static InvitationModel* instance();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

public slots:
    // A stored invitation that is listed already (the store writes by
    // upsert) is replaced in its row; a new one is appended.
    void onAddedInvitation(const QString& invUuid);
    void onRemovedInvitation(const QString& invUuid);

private:
    int rowOf(const QString& invUuid) const;

    IDatabase* m_db;
    std::vector<InvitationDto> m_rows;
};

#pragma once

#include <QAbstractListModel>

class IDatabase;

// The pending invitations of the own machine.
class InvitationModel : public QAbstractListModel
{
    Q_OBJECT
public:
    InvitationModel(IDatabase* db, QObject* parent = nullptr);
    ~InvitationModel() override;

    static InvitationModel* instance();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    IDatabase* m_db;
};

#pragma once

#include "core/peeracldto.h"

#include <QAbstractListModel>
#include <QHash>

#include <vector>

// The shares granted to one peer, as its views list them: directories
// first, then by name without regard to case.
class PeerAclModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum AclRoles {
        NameRole = Qt::UserRole + 1,
        SelectorRole,
        UuidRole,
        FlagsRole,
        MimeTypeRole,
        TimestampRole,
        IconRole,
    };
    Q_ENUM(AclRoles)

    explicit PeerAclModel(QObject* parent = nullptr);
    ~PeerAclModel() override;

    std::vector<PeerAclDto> acls() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    Q_INVOKABLE QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

public slots:
    // Replaces the whole list. May be called from any thread (the peer
    // loader calls it on the io thread): the rows are swapped, and the views
    // told, on the model's own thread.
    void updateAcls(const std::vector<PeerAclDto>& acls);

private:
    void applyAcls(std::vector<PeerAclDto> acls);

    QHash<int, QByteArray> m_roleNames;
    std::vector<PeerAclDto> m_acls;
};

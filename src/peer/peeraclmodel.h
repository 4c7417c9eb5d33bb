#pragma once

#include "core/peeracldto.h"

#include <QAbstractListModel>

#include <vector>

// The shares granted to one peer, as its views list them.
class PeerAclModel : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit PeerAclModel(QObject* parent = nullptr);
    ~PeerAclModel() override;

    // Replaces the list; may be called from any thread, the rows change on
    // the model's own thread.
    void updateAcls(const std::vector<PeerAclDto>& acls);
    std::vector<PeerAclDto> acls() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    void applyAcls(const std::vector<PeerAclDto>& acls);

    std::vector<PeerAclDto> m_acls;
};

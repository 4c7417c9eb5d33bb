#pragma once

#include <QAbstractListModel>

// The list of known peers, the one way to find a peer by uuid.
class PeerModel : public QAbstractListModel
{
    Q_OBJECT
public:
    explicit PeerModel(QObject* parent = nullptr);
    ~PeerModel() override;

    static PeerModel* instance();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
};

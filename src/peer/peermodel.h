#pragma once

#include <QAbstractListModel>
#include <QMutex>

#include <vector>

class IPeer;

// Every peer object of the process, the own machine included, as a list
// model for the views, and the one place where code finds a peer by uuid.
// Rows are appended on the main thread; lookups by uuid may come from any
// thread and see a consistent list.
class PeerModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Roles {
        NameRole = Qt::UserRole + 1, // 257
        TypeRole,
        SizeRole,
        LinkStateRole,
        PlatformRole,
        ObjectRole,
        IconRole,
        UuidRole,
    };
    Q_ENUM(Roles)

    // The delay before a newly added peer's link supervisor first runs.
    static constexpr int FirstSupervisorRunMs = 2000;

    explicit PeerModel(QObject* parent = nullptr);
    ~PeerModel() override;

    static PeerModel* instance();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Lists the peer and becomes its parent; false (and nothing changes)
    // when a peer with the same uuid is listed already. Main thread.
    bool addPeer(IPeer* peer);
    void removePeer(IPeer* peer);

    // Any thread. The uuid is compared exactly, braces included.
    Q_INVOKABLE IPeer* getPeerForUuid(const QString& uuid) const;
    Q_INVOKABLE IPeer* getPeerForRow(int row) const;

private:
    void peerChanged(IPeer* peer, int role);

    mutable QMutex m_mutex; // guards m_peers against lookups from the io thread
    std::vector<IPeer*> m_peers;
};
